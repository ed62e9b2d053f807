"""Arrays from other libraries: DLPack exporters read in place as NumPy arrays.

A tensor of PyTorch, JAX or CuPy exports its memory through `__dlpack__`; on the CPU,
`numpy.from_dlpack` wraps the same memory in an ndarray with the exporter's strides
and dtype, without copying. The dtype is never changed: a float32 tensor becomes a
float32 ndarray, which the native functions then refuse as they refuse any float32
array. Memory on a device (a GPU) cannot be read by the kernels at all; the caller is
told to move it.
"""

from __future__ import annotations

from typing import Any, Final

import numpy as np

# DLPack's device types (dlpack.h, DLDeviceType); the host-memory ones are readable.
_HOST: Final = {1, 3, 11}  # CPU, CUDA pinned host memory, ROCm pinned host memory
_DEVICE_NAMES: Final = {2: "cuda", 4: "opencl", 7: "vulkan", 8: "metal", 9: "vpi",
                        10: "rocm", 12: "ext_dev", 13: "cuda managed", 14: "oneapi",
                        15: "webgpu", 16: "hexagon", 17: "maia"}
# Forbid the exporter to copy where NumPy lets us say so (2.1 and later).
_NO_COPY: Final[dict[str, Any]] = (
    {"copy": False} if np.lib.NumpyVersion(np.__version__) >= "2.1.0" else {})


def is_exporter(a: object) -> bool:
    """Whether `a` is a DLPack exporter that is not already an ndarray."""
    return not isinstance(a, np.ndarray) and hasattr(type(a), "__dlpack__")


def device_of(a: object) -> tuple[int, int]:
    kind, number = type(a).__dlpack_device__(a)  # type: ignore[attr-defined]
    return int(kind), int(number)


def unreadable(name: str, device: tuple[int, int]) -> TypeError:
    kind, number = device
    what = _DEVICE_NAMES.get(kind, f"DLPack device type {kind}")
    return TypeError(f"argument '{name}': a {what} array (device {number}) cannot be read; "
                     f"move it to the CPU first")


def on_host(device: tuple[int, int]) -> bool:
    return device[0] in _HOST


def from_exporter(name: str, a: object) -> np.ndarray[Any, Any]:
    """The ndarray over an exporter's host memory, or the TypeError that names `name`."""
    device = device_of(a)
    if not on_host(device):
        raise unreadable(name, device)
    from_dlpack: Any = getattr(np, "from_dlpack", None)
    if from_dlpack is None:
        raise TypeError(f"argument '{name}': reading a DLPack array needs NumPy 1.22 or later")
    try:
        out: np.ndarray[Any, Any] = from_dlpack(a, **_NO_COPY)
    except (BufferError, TypeError, ValueError, RuntimeError) as e:
        raise TypeError(f"argument '{name}': its DLPack export cannot be read in place "
                        f"({type(e).__name__}: {e})") from e
    return out
