"""A session runner for real ONNX models: every element type, dynamic shapes, whole tensors."""
from ._native import Session, Tensor, TensorInfo, tensor

__all__ = ["Session", "Tensor", "TensorInfo", "tensor"]
