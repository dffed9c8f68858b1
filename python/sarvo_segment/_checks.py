"""The checks at the door of the installed road: what a caller hands in is turned into the
kinds the kernels take (float32, uint8, bool, C order) once, and anything else is refused
here, naming the argument and what it needs, before any kernel runs."""
from __future__ import annotations

import math
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray


def as_array(value: ArrayLike, name: str) -> NDArray[Any]:
    """value as a NumPy array without copying one; TypeError for what is not numeric."""
    if value is None:
        raise TypeError(f"{name} must be an array, got None")
    array = np.asarray(value)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be a numeric array, got {type(value).__name__} of dtype {array.dtype}")
    return array


def check_flow(flow: ArrayLike) -> NDArray[np.floating[Any]]:
    """A flow field: floating point of any width and layout, shape (2, Ly, Lx)."""
    array = as_array(flow, "flow")
    if array.dtype.kind != "f":
        raise TypeError(f"flow must hold floating-point values (float16, float32 or float64), got {array.dtype}")
    if array.ndim != 3 or array.shape[0] != 2:
        raise ValueError(f"flow must have shape (2, Ly, Lx): row and column components; got shape {array.shape}")
    return array


def check_probability(probability: ArrayLike, flow_shape: tuple[int, ...]) -> NDArray[Any]:
    """A cell-probability map of shape (Ly, Lx) to match a flow of (2, Ly, Lx): floating point
    (logits or probabilities) or bool (the foreground itself)."""
    array = as_array(probability, "probability")
    if array.dtype.kind not in "fb":
        raise TypeError(f"probability must hold floating-point values (logits or probabilities) or bools "
                        f"(the foreground itself), got {array.dtype}")
    if array.shape != tuple(flow_shape[1:]):
        raise ValueError(f"flow of shape {tuple(flow_shape)} and probability of shape {array.shape} disagree: "
                         f"a flow of shape (2, Ly, Lx) needs a probability map of shape (Ly, Lx)")
    return array


def check_count(name: str, value: object, least: int = 0) -> int:
    """An integer parameter (bools refused) of at least `least`."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}, got {value}")
    return int(value)


def check_real(name: str, value: object, *, positive: bool = False, least: float | None = None,
               allow_inf: bool = False) -> float:
    """A real parameter: finite (or +inf when allowed), above 0 or at least `least`."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    number = float(value)
    if math.isnan(number) or (math.isinf(number) and not (allow_inf and number > 0)):
        raise ValueError(f"{name} must be a finite number, got {number}")
    if positive and not number > 0:
        raise ValueError(f"{name} must be above 0, got {number}")
    if least is not None and number < least:
        raise ValueError(f"{name} must be at least {least}, got {number}")
    return number


def check_labels(masks: ArrayLike, name: str = "masks") -> NDArray[np.uint32]:
    """A label mask as the kernels read it, uint32 (Ly, Lx) in C order: integers or bools,
    none negative or beyond uint32. A float mask is refused rather than read as bit patterns."""
    array = as_array(masks, name)
    if array.dtype.kind not in "biu":
        raise TypeError(f"{name} must hold integer labels, got {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"{name} must have shape (Ly, Lx), got shape {array.shape}")
    if array.size and array.dtype.kind == "i" and array.min() < 0:
        raise ValueError(f"{name} holds negative labels")
    if array.size and array.dtype.itemsize > 4 and array.max() > np.iinfo(np.uint32).max:
        raise ValueError(f"{name} holds labels beyond {np.iinfo(np.uint32).max}")
    return np.ascontiguousarray(array, np.uint32)
