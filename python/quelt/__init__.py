"""quelt: typed dense linear algebra on OpenBLAS and ONNX models on ONNX Runtime.

Everything queltcore offers (the containers, the operations and the model class), and beside
it zero-copy data exchange and a session runner for real models. The containers and the model
class are queltcore's own; the operations are quelt's, which let other threads run while a
large BLAS or LAPACK call works.
"""
from queltcore import *  # noqa: F401,F403 (the whole public face of the core, re-exported)
from queltcore import model  # noqa: F401

from ._operations import *  # noqa: F401,F403 (after the core's: these replace its operations)
from ._exchange import *  # noqa: F401,F403
from ._exchange import __all__ as _exchange_names
from ._session import *  # noqa: F401,F403
from ._session import __all__ as _session_names

import queltcore as _core

__all__ = sorted(name for name in dir(_core) if not name.startswith("_")) + _exchange_names + _session_names
del _core
