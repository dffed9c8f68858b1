"""Compiled array kernels of a cell-segmentation toolkit.

Conventions shared by every function:

* Images are indexed [row, column] = [y, x]; a two-channel array is indexed [channel, y, x],
  channel 0 holding the row component and channel 1 the column component. Ly, Lx are the row
  and column extents.
* A label mask is uint32 (Ly, Lx); 0 is background. Where object boxes come with it, object k
  (from 0) carries label k + 1.
* Object boxes are int32 (nobj, 2, 2): box k is [[y0, y1], [x0, x1]], half-open ranges read like
  Python slices. A box with y0 == y1 marks an object that every function skips.
* Array arguments must have the stated number of dimensions and, unless said otherwise, be
  C-contiguous; an array of another dtype with the same item size is accepted and its bytes are
  read as the stated dtype. Anything else raises TypeError "can't unbox array from PyObject into
  native value.  The object maybe of a different type". An array that a function writes must be
  writeable, else ValueError "<name> writes into argument <n>, which is a read-only array".
* Integer arguments are converted like int() and keep their low 32 bits; uint32 arguments
  refuse negative values with OverflowError.
* Every function releases the interpreter lock while it runs, so threads run kernels in
  parallel. Calls that write the same array must not overlap.
* Input that would make a kernel read or write outside its arrays is refused with ValueError
  before anything is written.

What a type checker can tell from these annotations (they are found as the stub-only package
sarvo_functions-stubs that the wheel installs): a wrong dtype where it is known statically (an
array made with np.zeros(..., np.int64) passed where a uint32 array is declared, also inside
the call), a missing
or extra argument, a keyword argument, a tuple where an array is expected, and a misused result
(a None treated as an array, a float as a tuple). What it cannot tell: the number of dimensions
and the shape (NumPy's shape typing is too coarse), C-contiguity and writeability, the values
(labels, coordinates, boxes), and the dtype of arrays typed as plain np.ndarray or Any. The
module checks all of those itself when it is called, as described above.
"""
from typing import Any, TypeAlias, TypeVar

import numpy as np
from numpy.typing import NDArray

_S = TypeVar("_S", bound=np.generic)
# Arguments are typed through type variables bounded by their element type: mypy then checks the
# dtype of an array made inside the call too, which a plain NDArray[...] parameter lets through.
_Arg: TypeAlias = np.ndarray[Any, np.dtype[_S]]
_I32 = TypeVar("_I32", bound=np.int32)
_U32 = TypeVar("_U32", bound=np.uint32)
_F32 = TypeVar("_F32", bound=np.float32)
_I64 = TypeVar("_I64", bound=np.int64)
_U8 = TypeVar("_U8", bound=np.uint8)
_I16 = TypeVar("_I16", bound=np.int16)
_Bool = TypeVar("_Bool", bound=np.bool_)

def _approximate_diffusion(dy: _Arg[_I32], dx: _Arg[_I32], niter: int, /) -> NDArray[np.float64]:
    """Closed form of `niter` diffusion iterations at the offsets (dy[j], dx[j]) from a source.

    With r = 0.75 * (dy**2 + dx**2) and g(z) = exp(-z) * log1p(1/z), entry j is
    (g(r / (niter + 1)) - g(r)) * 3/(4 pi), or log1p(niter) * 3/(4 pi) at the source (r == 0).

    dy, dx: int32 (n,), C-contiguous; one of length 1 is broadcast against the other.
    Returns: float64 (n,), a new array.
    Modifies: nothing.
    Raises: ValueError "unable to broadcast argument 1 to output array ..." when the lengths
    differ and neither is 1; ZeroDivisionError "division by zero" when niter == -1 and some
    offset is not zero, or when r / (niter + 1) underflows to 0.
    """

def _extend_centers(ys: _Arg[_I32], xs: _Arg[_I32], ly: int, lx: int, approx_frac: float, /
                    ) -> NDArray[np.float64]:
    """Diffusion flow of one object given as pixel coordinates inside its ly x lx box.

    The centre is the object pixel nearest to the mean of the pixels (the first on ties). Heat is
    released there and diffused over the object's pixels for ly + lx iterations, the first
    trunc((ly + lx) * approx_frac) of them replaced by the closed form of _approximate_diffusion;
    each pixel gets the unit vector of the gradient of log(1 + heat). A one-pixel object gets
    (0, 0).

    ys, xs: int32 (n,), C-contiguous, box-local coordinates 0 <= ys < ly, 0 <= xs < lx; one of
    length 1 is broadcast against the other.
    Returns: float64 (n, 2), a new array; column 0 is the row component, column 1 the column one.
    Modifies: nothing.
    Raises: ZeroDivisionError "division by zero" when ys or xs is empty; ValueError "unable to
    broadcast argument 2 to output array ..." for lengths that do not broadcast; ValueError "box
    extents must not be negative" when ly or lx < 0; ValueError "pixel coordinates lie outside
    the box"; MemoryError when the heat grid cannot be allocated.
    """

def _masks_to_flow(masks: _Arg[_U32], slices: _Arg[_I32], approx_frac: float, /
                   ) -> NDArray[np.float64]:
    """Diffusion flow field of a whole label mask: for every object k whose box is not skipped,
    the pixels labelled k + 1 inside box k get the unit vectors of _extend_centers, pointing
    along the object towards its centre. Following the field leads each pixel to its centre.

    masks: uint32 (Ly, Lx), C-contiguous. slices: int32 (nobj, 2, 2), C-contiguous, the boxes.
    approx_frac: share of the diffusion iterations taken by the closed form (0 = none,
    >= 1 = all); the larger it is, the cheaper the call.
    Returns: float64 (2, Ly, Lx), a new array; 0 outside the processed objects. Convert it to
    float32 for _steps2D_all and compute_flow_error_cell_size.
    Modifies: nothing.
    Raises: ValueError (no message) when nobj > 0 and slices.shape[1] != 2; ValueError "slices
    must hold two bounds per axis" when slices.shape[2] < 2; ValueError "a box's region is
    larger than its extents y1 - y0, x1 - x0" for a box with a negative stop and a non-negative
    start; ZeroDivisionError "division by zero" when a box that is not skipped holds no pixel of
    its label.
    """

def _steps2D(flow: _Arg[_F32], coords: tuple[_Arg[_I64], _Arg[_I64]],
             disp: _Arg[_F32], n_steps: int, decay: float, interpolate: bool, /) -> None:
    """Moves the listed pixels n_steps steps along `flow`; step k has length factor decay**k.

    The flow is sampled at each pixel's current position, bilinearly when `interpolate` is true,
    at the nearest pixel otherwise; positions are clamped to the image.

    flow: float32 (2, Ly, Lx), C-contiguous. coords: (rows, cols), int64 (N,) each,
    C-contiguous, every pixel inside the image, cols at least as long as rows.
    disp: float32 (2, Ly, Lx), C-contiguous, writeable.
    Returns: None.
    Modifies: disp, in place: set to 0, then disp[:, y, x] holds the offset from each listed
    pixel (y, x) to where it ends.
    Raises: AssertionError (no message) when flow or disp does not have 2 channels; ValueError
    "flow and disp must have the same extents", "the column coordinate array is shorter than
    the row coordinate array" or "coordinates lie outside the image"; ValueError "size
    mismatch for tuple, expected 2 element(s) but got <n>" when coords is not a pair.
    Nothing is written when it raises.
    """

def _steps2D_all(flow: _Arg[_F32], n_steps: int, interpolate: bool, /) -> NDArray[np.float32]:
    """Follows the flow for about n_steps steps from every pixel whose squared flow magnitude
    exceeds 1e-6, in a few composition rounds (200 steps take four rounds of four passes).

    flow: float32 (2, Ly, Lx), C-contiguous; only read (a read-only array is accepted).
    Returns: float32 (2, Ly, Lx) displacements: the pixel (y, x) ends at
    (y + d[0, y, x], x + d[1, y, x]), always inside the image; pixels that do not move get 0.
    For n_steps < 2 the result is `flow` itself, unchanged; otherwise a new array.
    Modifies: nothing.
    Raises: AssertionError (no message) when flow does not have 2 channels; MemoryError when the
    work buffers cannot be allocated.
    """

def bfs(hist: _Arg[_U8], pos: _Arg[_I16], seeds: _Arg[_U32], /) -> NDArray[np.uint32]:
    """Grows one 8-connected region per seed over the pixels with a count above 2; seed k gets
    label k + 1. A seed already inside an earlier region is skipped (a gap in the labels); a
    later region takes over pixels of earlier ones it reaches.

    hist: uint8 (Ly, Lx) counts, C-contiguous. pos: int16 (2, Ly, Lx) integer displacements,
    C-contiguous, writeable. seeds: uint32 (K, 2) rows and columns, C-contiguous, inside the
    image.
    Returns: uint32 (Ly, Lx) label mask, a new array.
    Modifies: pos, in place: every grown pixel becomes settled (both offsets 0).
    Raises: AssertionError (no message) when seeds.shape[1] != 2 or hist.shape != pos.shape[1:];
    ValueError "seed coordinates lie outside the image" (before pos is touched); MemoryError.
    """

def compute_cell_size(masks: _Arg[_U32], slices: _Arg[_I32], /) -> NDArray[np.uint32]:
    """Pixel count of every object: the pixels labelled k + 1 inside box k; 0 for a skipped box.

    masks: uint32 (Ly, Lx), C-contiguous. slices: int32 (nobj, 2, 2), C-contiguous.
    Returns: uint32 (nobj,), a new array.
    Modifies: nothing.
    Raises: AssertionError (no message) when slices.shape[1:] != (2, 2).
    """

def compute_flow_error_cell_size(masks: _Arg[_U32], flow: _Arg[_F32], slices: _Arg[_I32],
                                 min_size: int, approx_frac: float, /
                                 ) -> tuple[NDArray[np.float64], NDArray[np.uint32]]:
    """Per object: its pixel count, and the mean squared difference between `flow` and the
    object's reference flow. The reference is the diffusion flow of _masks_to_flow with this
    approx_frac, or, when approx_frac >= 1, the cheaper straight line to the centre pixel.

    masks: uint32 (Ly, Lx), C-contiguous. flow: float32 (2, Ly, Lx), C-contiguous.
    slices: int32 (nobj, 2, 2), C-contiguous. min_size: uint32, smaller objects are not scored.
    Returns: (errors, sizes): float64 (nobj,) with +inf for skipped and too small objects, and
    uint32 (nobj,) counts (0 for a skipped box); new arrays.
    Modifies: nothing.
    Raises: AssertionError (no message) when flow.shape != (2, Ly, Lx) or slices.shape[1:] !=
    (2, 2); ZeroDivisionError "division by zero" when min_size is 0 and a box that is not
    skipped holds no pixel of its label; the errors of _extend_centers for malformed boxes.
    """

def extend_seed(masks: _Arg[_U32], pos: _Arg[_I16], /) -> None:
    """Labels every unlabelled pixel whose displacement ends on a settled (both offsets 0),
    labelled pixel with that pixel's label. Labels do not propagate in chains.

    masks: uint32 (Ly, Lx), C-contiguous, writeable. pos: int16 (2, Ly, Lx), C-contiguous; a
    negative target counts once from the end of its axis.
    Returns: None.
    Modifies: masks, in place.
    Raises: AssertionError (no message) when masks.shape != pos.shape[1:] or pos.shape[0] != 2;
    ValueError "a displacement points outside the image" (before masks is touched).
    """

def fill_holes(masks: _Arg[_U32], /) -> NDArray[np.uint32]:
    """Gives zero pixels the label of an adjacent labelled pixel by depth-first walks over the
    zero areas. Every zero area that does not reach the top row (every enclosed hole) is filled
    completely, each pixel taking the label directly above it; an area that reaches the top row
    is filled along its walk. Cut the result back to the foreground afterwards.

    masks: uint32 (Ly, Lx), C-contiguous, writeable.
    Returns: masks itself (the same object) for a uint32 array.
    Modifies: masks, in place.
    Raises: MemoryError when the work arrays cannot be allocated.
    """

def find_seeds(hist: _Arg[_U8], /) -> NDArray[np.uint32]:
    """The local maxima of a count map: every pixel with a count above 10 that is not smaller
    than any count in its 5 x 5 neighbourhood (cut at the border). Equal maxima all count.

    hist: uint8 (Ly, Lx), C-contiguous.
    Returns: uint32 (K, 2) rows and columns in row-major order, a new array; (0, 2) when none.
    Modifies: nothing.
    Raises: MemoryError.
    """

def flow_error_estimate(ys: _Arg[_I32], xs: _Arg[_I32], flow: _Arg[_F32], /) -> float:
    """Mean squared difference between `flow` at the pixels (ys[i], xs[i]) of one object and the
    unit vectors from each pixel to the object's centre pixel ((0, 0) at the centre itself).

    ys, xs: int32 (n,), C-contiguous, coordinates in `flow` (a negative one counts once from the
    end). flow: float32 (>= 2, Ly, Lx), any strides.
    Returns: a float.
    Modifies: nothing.
    Raises: ZeroDivisionError "division by zero" when ys or xs is empty; ValueError "unable to
    broadcast argument 2 to output array ..." for lengths that do not broadcast; ValueError
    "flow must have at least two channels" or "coordinates lie outside the image".
    """

def p_histogram(pos: _Arg[_I16], mask: _Arg[_Bool], /) -> NDArray[np.uint8]:
    """Counts, for every pixel, how many selected pixels end there: pixel (y, x) with mask[y, x]
    true ends at (y + pos[0, y, x], x + pos[1, y, x]). Counts saturate at 255.

    pos: int16 (2, Ly, Lx), C-contiguous, whole-pixel displacements (np.rint of the result of
    _steps2D_all, as int16); a negative target counts once from the end of its axis.
    mask: bool (Ly, Lx) or larger, C-contiguous, the selection (usually the foreground).
    Returns: uint8 (Ly, Lx), a new array.
    Modifies: nothing.
    Raises: AssertionError (no message) when pos.shape[0] != 2; ValueError "the selection mask is
    smaller than the image" or "a displacement points outside the image"; MemoryError.
    """

def renum_masks(masks: _Arg[_U32], remove: _Arg[_Bool], /) -> None:
    """Deletes the labels l with remove[l - 1] true and numbers the others 1, 2, 3, ... in their
    old order; background stays 0.

    masks: uint32 (Ly, Lx), C-contiguous, writeable, every label <= len(remove).
    remove: bool (n,), C-contiguous.
    Returns: None.
    Modifies: masks, in place.
    Raises: ValueError "a mask label is larger than the length of remove" (before masks is
    touched); MemoryError.
    """

def renumbering(labels: _Arg[_U32], min_labels: int, /) -> None:
    """Deletes the labels that cover more than 40 % of the entries and numbers the others
    1, 2, 3, ... in their old order; 0 stays 0. Pass masks.reshape(-1) of a C-contiguous mask
    to renumber the mask itself.

    labels: uint32 (N,), C-contiguous, writeable.
    min_labels: uint32, the least length of the internal count table (0 is fine).
    Returns: None.
    Modifies: labels, in place.
    Raises: MemoryError.
    """
