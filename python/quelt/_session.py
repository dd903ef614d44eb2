"""A session runner for real ONNX models."""
__all__ = []
