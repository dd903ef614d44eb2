from os import PathLike
from typing import Any, Dict, Iterable, Mapping, Optional, Tuple, Union

# float32 float64 float16 bfloat16 int8 uint8 int16 uint16 int32 uint32 int64 uint64 bool
# string complex64 complex128
ElementType = str
Dimension = Union[int, str, None]
# a Tensor, a buffer (numbers; strings as formats Nw, Ns, O), a queltcore container, (nested lists
# of) scalars, a list, a dict, None
FeedValue = Any
Result = Union["Tensor", list, dict, None]

class TensorInfo:
    @property
    def name(self) -> str: ...
    @property
    def kind(self) -> str: ...  # "tensor", "sequence", "map" or "optional"
    @property
    def dtype(self) -> Optional[ElementType]: ...
    @property
    def shape(self) -> Optional[Tuple[Dimension, ...]]: ...
    @property
    def has_default(self) -> bool: ...

class ModelMetadata:
    @property
    def producer(self) -> str: ...
    @property
    def producer_version(self) -> str: ...
    @property
    def graph_name(self) -> str: ...
    @property
    def domain(self) -> str: ...
    @property
    def description(self) -> str: ...  # the model's doc string
    @property
    def version(self) -> Optional[int]: ...  # None when unset
    @property
    def custom(self) -> Dict[str, str]: ...  # a new dict on every read

class Cancelled(RuntimeError): ...  # a run stopped by its Cancel token

class Cancel:  # stops the runs carrying it, from any thread
    def __init__(self) -> None: ...
    def cancel(self) -> None: ...
    @property
    def cancelled(self) -> bool: ...

class Tensor:
    @property
    def dtype(self) -> ElementType: ...
    @property
    def shape(self) -> Tuple[int, ...]: ...
    def tolist(self) -> Any: ...
    def __len__(self) -> int: ...

class Session:
    def __init__(self, model: Union[str, PathLike, bytes, bytearray, memoryview], *, threads: int = 0,
                 inter_threads: int = 0, execution: str = "sequential", optimization: str = "all",
                 optimized_path: Optional[Union[str, PathLike]] = None, profile: Optional[Union[str, PathLike]] = None,
                 free_dimensions: Optional[Dict[str, int]] = None,
                 external_data: Optional[Union[str, PathLike]] = None) -> None: ...
    @property
    def metadata(self) -> ModelMetadata: ...
    def end_profiling(self) -> Optional[str]: ...
    @property
    def inputs(self) -> Tuple[TensorInfo, ...]: ...
    @property
    def outputs(self) -> Tuple[TensorInfo, ...]: ...
    def run(self, feeds: Mapping[str, FeedValue], outputs: Optional[Iterable[str]] = None, *,
            into: Optional[Dict[str, Any]] = None, cancel: Optional[Cancel] = None,
            timeout: Optional[float] = None) -> Dict[str, Any]: ...  # into's objects come back as themselves

def tensor(data: FeedValue, dtype: Optional[ElementType] = None, shape: Optional[Iterable[int]] = None) -> Tensor: ...
