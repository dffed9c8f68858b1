"""The grid of tiles and the places tiles read from and write to, shared by the tiled runs of
the road (from flows, and the round trip from masks): cores that partition the image,
windows around them, .npy files read and written a window at a time, and writes into
chunked outputs that lose no pixel when chunks and tiles disagree."""
from __future__ import annotations

import pathlib
import threading
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

Slices = tuple[slice, slice]


@dataclass(frozen=True)
class Tile:
    index: int            # row-major number of the tile
    core: Slices          # the pixels this tile writes, in image coordinates
    window: Slices        # the pixels it reads: the core widened by the overlap, cut at the border

    @property
    def core_in_window(self) -> Slices:
        (cy, cx), (wy, wx) = self.core, self.window
        return (slice(cy.start - wy.start, cy.stop - wy.start), slice(cx.start - wx.start, cx.stop - wx.start))


def window_around(core: Slices, overlap: int, shape: tuple[int, int]) -> Slices:
    """`core` widened by `overlap` pixels on every side, cut at the image border."""
    (cy, cx), (ly, lx) = core, shape
    return (slice(max(cy.start - overlap, 0), min(cy.stop + overlap, ly)),
            slice(max(cx.start - overlap, 0), min(cx.stop + overlap, lx)))


def tile_grid(shape: tuple[int, int], tile: int, overlap: int) -> list[Tile]:
    """The tiles of an image of `shape` in row-major order."""
    if tile < 1 or overlap < 0:
        raise ValueError(f"a tile needs a side of at least 1 and an overlap of at least 0, not {tile} and {overlap}")
    ly, lx = shape
    tiles: list[Tile] = []
    for y in range(0, ly, tile):
        for x in range(0, lx, tile):
            core = (slice(y, min(y + tile, ly)), slice(x, min(x + tile, lx)))
            tiles.append(Tile(len(tiles), core, window_around(core, overlap, shape)))
    return tiles


# A .npy header is read by `ast.literal_eval`, and CPython 3.11's compiler state is shared by
# threads: two tasks loading at once can fail with "AST constructor recursion depth mismatch".
NPY_HEADER = threading.Lock()


def load_npy(path: str | pathlib.Path, mmap_mode: Literal["r", "r+"] | None = None) -> Any:
    """`np.load` of a .npy file (no pickles), one header at a time in this process."""
    with NPY_HEADER:
        return np.load(path, mmap_mode=mmap_mode, allow_pickle=False)


class NpyFile:
    """A .npy file read and written a window at a time through short-lived memory maps, so
    that a task holds only the window it copied, never pages of the whole file."""

    def __init__(self, path: str | pathlib.Path, durable: bool = True) -> None:
        self.path = pathlib.Path(path)
        # A scratch file is read back through the same page cache, by this machine only:
        # forcing each write to disk would only cost time.
        self.durable = durable
        mapped = load_npy(self.path, mmap_mode="r")
        self.shape: tuple[int, ...] = mapped.shape
        self.dtype = mapped.dtype
        self.offset = int(mapped.offset)
        self.order: Literal["C", "F"] = "F" if mapped.flags.f_contiguous and not mapped.flags.c_contiguous else "C"
        del mapped

    @classmethod
    def create(cls, path: str | pathlib.Path, shape: tuple[int, ...], dtype: Any = np.uint32,
               durable: bool = True) -> NpyFile:
        open_memmap: Any = np.lib.format.open_memmap      # untyped in NumPy 1.26
        mapped = open_memmap(path, mode="w+", dtype=dtype, shape=shape)
        del mapped                                  # a new file reads as zeros: nothing to flush
        return cls(path, durable)

    def mapped(self, mode: Literal["r", "r+"]) -> np.memmap[Any, np.dtype[Any]]:
        # The layout read once at opening: tasks on threads never parse the header again.
        return np.memmap(self.path, np.dtype(self.dtype), mode, self.offset, self.shape, self.order)

    def read(self, where: Any) -> NDArray[Any]:
        mapped = self.mapped("r")
        try:
            return np.array(mapped[where])
        finally:
            del mapped

    def write(self, where: Any, values: NDArray[Any]) -> None:
        mapped = self.mapped("r+")
        try:
            mapped[where] = values
            if self.durable:
                mapped.flush()
        finally:
            del mapped


# Chunked outputs (zarr and the like) write a region by reading, changing and writing back
# every chunk it touches; two threads doing that to a shared chunk lose one's pixels. Writes
# to such outputs take turns; a NumPy array or a .npy file is written in place.
CHUNKED_WRITE = threading.Lock()


def write_region(out: Any, where: tuple[slice, ...], values: NDArray[Any]) -> None:
    if isinstance(out, NpyFile):
        out.write(where, values)
    elif isinstance(out, np.ndarray):
        out[where] = values
    else:
        with CHUNKED_WRITE:
            out[where] = values
