"""Memory layouts of float64 arrays, for every test that varies them.

The module reads its inputs through raw byte strides, so each builder returns an array
equal to `values` (for the broadcasts: to its first row or column, repeated) whose
elements sit somewhere else in memory: slices with any step, reversed and Fortran
order, stride 0, byte strides that are not multiples of 8, unaligned addresses.

Three front ends share the builders: `layout(a, name)` for parametrized tables
(LAYOUTS_1D, LAYOUTS_2D), the Hypothesis strategy `arranged`, and the fuzzer, which
calls the builders with parameters decoded from its input.
"""

from __future__ import annotations

import numpy as np

# Fills the gaps of sliced layouts: reading a gap instead of the element meant changes
# every result it touches.
GAP = 1234.5


def sliced(values, steps, offsets=None, order="C", transpose=False) -> np.ndarray:
    """values placed in a larger buffer with a nonzero step (negative: reversed) and an
    offset along each axis; transpose=True takes the view through a transposed base."""
    values = np.asarray(values, dtype=np.float64)
    offsets = offsets or [0] * values.ndim
    base_shape = [abs(s) * n + o + 1 for s, n, o in zip(steps, values.shape, offsets)]
    if transpose:
        base = np.full(base_shape[::-1], GAP, order=order).T
    else:
        base = np.full(base_shape, GAP, order=order)
    view = base[tuple(slice(o, o + abs(s) * n, abs(s))
                      for o, s, n in zip(offsets, steps, values.shape))]
    view = view[tuple(slice(None, None, -1 if s < 0 else 1) for s in steps)]
    view[...] = values
    return view


def broadcast(values, axes, flip=False) -> np.ndarray:
    """Stride 0 along `axes`: the first row, column or value of `values`, repeated."""
    values = np.asarray(values, dtype=np.float64)
    source = values[tuple(slice(0, 1) if a in axes else slice(None) for a in range(values.ndim))]
    view = np.broadcast_to(source, values.shape)
    return view[::-1] if flip else view


def byte_strided(values, strides, offset, slack=0, seed=None) -> np.ndarray:
    """float64 at byte `offset` with byte `strides` (any integers) in a buffer of zero
    bytes, or of random ones from `seed`. Elements may overlap: then they hold whatever
    the bytes say, which both sides of a comparison read alike."""
    values = np.asarray(values, dtype=np.float64)
    reach = [s * (n - 1) for s, n in zip(strides, values.shape) if n > 0]
    start = offset - sum(min(0, r) for r in reach)
    size = start + sum(max(0, r) for r in reach) + 8 + slack
    buffer = bytearray(size if seed is None else np.random.default_rng(seed).bytes(size))
    view = np.ndarray(values.shape, np.float64, buffer=buffer, offset=start, strides=strides)
    view[...] = values
    return view


def structured(values, offset, itemsize, column_major=False, reverse=False) -> np.ndarray:
    """The float64 field at byte `offset` of records of `itemsize` bytes."""
    values = np.asarray(values, dtype=np.float64)
    dtype = np.dtype({"names": ["v"], "formats": ["<f8"], "offsets": [offset],
                      "itemsize": itemsize})
    if column_major:
        view = np.zeros(values.shape[::-1], dtype).T["v"]
    else:
        view = np.zeros(values.shape, dtype)["v"]
    if reverse:
        view = view[tuple(slice(None, None, -1) for _ in values.shape)]
    view[...] = values
    return view


def readonly(values) -> np.ndarray:
    out = np.array(values, dtype=np.float64)
    out.flags.writeable = False
    return out


def _unaligned(a):
    # C order one byte past an 8-byte boundary.
    return byte_strided(a, [8 * int(np.prod(a.shape[i + 1:])) for i in range(a.ndim)], 1)


_BUILDERS = {
    "contiguous": lambda a: a.copy(),
    "strided": lambda a: sliced(a, [2] * a.ndim, [1] * a.ndim),
    "reversed": lambda a: sliced(a, [-1] * a.ndim),  # negative strides on every axis
    "reversed_step3": lambda a: sliced(a, [-3] * a.ndim, [2] * a.ndim),
    "fortran_row": lambda a: sliced(a, [3], [1]),  # stride 24 bytes, as in a Fortran (3, n)
    "readonly": readonly,
    "broadcast": lambda a: broadcast(a, (0,)),
    "unaligned": _unaligned,
    "packed_field": lambda a: structured(a, 0, 9),  # byte strides 9 (and 9 * columns)
    "strided_columns": lambda a: sliced(a, [1, 2], [0, 1]),
    "strided_rows": lambda a: sliced(a, [3, 1], [2, 0]),
    "rows_reversed": lambda a: sliced(a, [-1, 1]),
    "columns_reversed": lambda a: sliced(a, [1, -1]),
    "fortran": np.asfortranarray,
    "transposed": lambda a: sliced(a, [1, 1], transpose=True),  # a view of a C matrix's .T
    "broadcast_rows": lambda a: broadcast(a, (0,)),  # stride 0 along the paths
    "broadcast_columns": lambda a: broadcast(a, (1,)),  # stride 0 along the steps
}

LAYOUTS_1D = ("contiguous", "strided", "reversed", "reversed_step3", "fortran_row",
              "readonly", "broadcast", "unaligned", "packed_field")
LAYOUTS_2D = ("contiguous", "strided_columns", "strided_rows", "reversed", "rows_reversed",
              "columns_reversed", "fortran", "transposed", "readonly", "broadcast_rows",
              "broadcast_columns", "unaligned", "packed_field")


def layout(a, name: str) -> np.ndarray:
    """a (1-D or 2-D) in the named layout of LAYOUTS_1D or LAYOUTS_2D."""
    out = _BUILDERS[name](np.ascontiguousarray(a, dtype=np.float64))
    assert out.dtype == np.float64 and out.shape == np.shape(a)
    return out


# --- drawn by Hypothesis ---------------------------------------------------------------

ALL_KINDS = ("contiguous", "fortran", "sliced", "broadcast", "byte_strided", "structured")
ODD_KINDS = ("byte_strided", "structured")  # byte strides that are not multiples of 8


def arranged(values, kinds=ALL_KINDS):
    """Hypothesis strategy: an array with the shape of `values` in a drawn layout."""
    from hypothesis import note
    from hypothesis import strategies as st

    @st.composite
    def draw_layout(draw):
        ndim = values.ndim
        kind = draw(st.sampled_from([k for k in kinds if k != "fortran" or ndim == 2]))
        note(f"layout {kind}")
        if kind == "contiguous":
            view = values.copy()
        elif kind == "fortran":
            view = np.asfortranarray(values)
        elif kind == "sliced":
            steps = [draw(st.sampled_from([-3, -2, -1, 1, 2, 3])) for _ in range(ndim)]
            offsets = [draw(st.integers(0, 2)) for _ in range(ndim)]
            view = sliced(values, steps, offsets, draw(st.sampled_from("CF")),
                          ndim == 2 and draw(st.booleans()))
        elif kind == "broadcast":
            axes = draw(st.sampled_from([(0,), (1,), (0, 1)] if ndim == 2 else [(0,)]))
            view = broadcast(values, axes, draw(st.booleans()))
        elif kind == "byte_strided":
            strides = [draw(st.one_of(st.integers(-40, 40), st.sampled_from([9, 12, -9, 17, 0])))
                       for _ in range(ndim)]
            view = byte_strided(values, strides, draw(st.integers(0, 7)),
                                draw(st.integers(0, 7)), draw(st.integers(0, 2**32 - 1)))
        else:
            offset = draw(st.integers(0, 7))
            view = structured(values, offset, offset + 8 + draw(st.integers(0, 5)),
                              ndim == 2 and draw(st.booleans()), draw(st.booleans()))
        if view.flags.writeable and draw(st.booleans()):
            view.flags.writeable = False
        assert view.dtype == np.float64 and view.shape == values.shape
        return view

    return draw_layout()
