"""Zero-copy data exchange between queltcore's containers and the Python ecosystem."""
__all__ = []
