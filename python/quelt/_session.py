"""A session runner for real ONNX models: every element type, dynamic shapes, whole tensors,
cancellation and deadlines from any thread, outputs into the caller's memory."""
from ._native import Cancel, Cancelled, ModelMetadata, Session, Tensor, TensorInfo, tensor

__all__ = ["Cancel", "Cancelled", "ModelMetadata", "Session", "Tensor", "TensorInfo", "tensor"]
