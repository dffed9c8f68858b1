"""Arrays in and label masks out, as the command reads and writes them: .npy (memory-mapped),
.tif/.tiff (tifffile) and .zarr (zarr). Every refusal is an `InputError` whose message is
one line that says what to fix."""
from __future__ import annotations

import importlib
import os
import pathlib
import shutil
from typing import Any

import numpy as np
from numpy.typing import NDArray

SUFFIXES = (".npy", ".tif", ".tiff", ".zarr")
# Output chunks of a .zarr mask: square, a few MiB of uint32 each.
ZARR_CHUNK = 1024


class InputError(Exception):
    """Input the command cannot use; the message is the one line it prints."""


def _suffix(path: pathlib.Path, what: str) -> str:
    suffix = path.suffix.lower()
    if suffix not in SUFFIXES:
        raise InputError(f"{path}: {what} must be a .npy, .tif, .tiff or .zarr file, not {suffix or 'no suffix'}")
    return suffix


def _optional(module: str, path: pathlib.Path) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise InputError(f"{path}: this format needs {module} (pip install {module})") from None


def read_array(path: str | os.PathLike[str], what: str, lazy: bool = False) -> Any:
    """The array in `path`: a memory map for .npy, read whole for .tif, and for .zarr read
    whole, or opened and left on disk when `lazy` (for a run that reads it by windows)."""
    path = pathlib.Path(path)
    suffix = _suffix(path, what)
    if not path.exists():
        raise InputError(f"{path}: no such {what} file")
    try:
        if suffix == ".npy":
            mapped: NDArray[Any] = np.load(path, mmap_mode="r", allow_pickle=False)
            return mapped
        if suffix == ".zarr":
            opened = _optional("zarr", path).open_array(str(path), mode="r")
            return opened if lazy else np.asarray(opened)
        return np.asarray(_optional("tifffile", path).imread(path))
    except InputError:
        raise
    except Exception as error:            # a damaged or foreign file: say which and why
        raise InputError(f"{path}: cannot read the {what}: {error}".splitlines()[0]) from None


def check_output(path: str | os.PathLike[str], overwrite: bool) -> pathlib.Path:
    """The output path, refused before any work when it exists (without `overwrite`), has
    another suffix or lies in a folder that does not exist."""
    path = pathlib.Path(path)
    suffix = _suffix(path, "the output")
    if path.exists() and not overwrite:
        raise InputError(f"{path}: the output exists; pass --overwrite to replace it")
    if not path.parent.is_dir():
        raise InputError(f"{path}: the output's folder {path.parent} does not exist")
    if suffix != ".npy":
        _optional("zarr" if suffix == ".zarr" else "tifffile", path)
    return path


def write_masks(path: pathlib.Path, masks: NDArray[np.uint32]) -> None:
    """Writes `masks` beside `path` first and moves it into place, so that a failed write
    leaves any earlier output whole."""
    suffix = path.suffix.lower()
    partial = path.with_name(path.name + ".partial")
    if suffix == ".npy":
        with open(partial, "wb") as handle:
            np.save(handle, masks)
    elif suffix == ".zarr":
        zarr = importlib.import_module("zarr")
        out = zarr.open_array(str(partial), mode="w", shape=masks.shape, dtype=masks.dtype,
                              chunks=(min(ZARR_CHUNK, max(masks.shape[0], 1)), min(ZARR_CHUNK, max(masks.shape[1], 1))))
        out[...] = masks
    else:
        importlib.import_module("tifffile").imwrite(partial, masks)
    if path.is_dir():
        shutil.rmtree(path)
    os.replace(partial, path)
