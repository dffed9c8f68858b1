"""The scalar C++ transcriptions of benchmarks/scalar/, compiled at run time and called via ctypes.

Each source is built with `g++ -O2 -ffp-contract=off -shared -fPIC` into a temporary folder
(the flags of the module minus its vector code), so the baseline is what a compiler makes of
the kernels' loops on this machine. The wrappers take and return NumPy arrays like the kernels.
"""
import ctypes
import pathlib
import subprocess
import tempfile

import numpy as np

SOURCES = pathlib.Path(__file__).resolve().parent / "scalar"
FLAGS = ["-O2", "-ffp-contract=off", "-shared", "-fPIC"]

_i64, _i32, _f32, _f64, _ptr = ctypes.c_int64, ctypes.c_int32, ctypes.c_float, ctypes.c_double, ctypes.c_void_p


def _p(a):
    return a.ctypes.data_as(_ptr)


class Scalar:
    """The compiled baselines; keep the instance alive while its functions are used."""

    def __init__(self, compiler="g++"):
        self._dir = tempfile.TemporaryDirectory(prefix="sarvo_scalar_")
        self.diffusion = self._build(compiler, "diffusion_flows")
        self.flow = self._build(compiler, "flow_following")
        self.seeds = self._build(compiler, "seeds_and_growth")
        self.cleanup = self._build(compiler, "mask_cleanup")
        self.cleanup.scalar_renumbering.argtypes = [_ptr, _i64, ctypes.c_uint32]
        self.cleanup.scalar_renumbering.restype = None
        d, f, g = self.diffusion, self.flow, self.seeds
        d.scalar_extend_centers.argtypes = [_ptr, _ptr, _i64, _i32, _i32, _f64, _ptr]
        d.scalar_extend_centers_many.argtypes = [_ptr, _ptr, _ptr, _ptr, _ptr, _i64, _f64, _ptr]
        d.scalar_masks_to_flow.argtypes = [_ptr, _i64, _i64, _ptr, _i64, _f64, _ptr]
        d.scalar_flow_error_cell_size.argtypes = [_ptr, _ptr, _i64, _i64, _ptr, _i64, ctypes.c_uint32, _f64, _ptr, _ptr]
        f.scalar_steps2D.argtypes = [_ptr, _ptr, _i64, _i64, _ptr, _ptr, _i64, _i32, _f32, ctypes.c_int]
        f.scalar_steps2D.restype = None
        f.scalar_steps2D_all.argtypes = [_ptr, _ptr, _i64, _i64, _i32, ctypes.c_int]
        f.scalar_gather_floor.argtypes = [_ptr, _ptr, _i64, _i64, _i32, _ptr]
        f.scalar_gather_floor.restype = None
        d.scalar_approximate_diffusion.argtypes = [_ptr, _ptr, _i64, _i32, _ptr]
        g.scalar_p_histogram.argtypes = [_ptr, _ptr, _i64, _i64, _ptr]
        g.scalar_bfs.argtypes = [_ptr, _ptr, _ptr, _i64, _i64, _i64, _ptr]
        g.scalar_extend_seed.argtypes = [_ptr, _ptr, _i64, _i64]
        for fn in (g.scalar_p_histogram, g.scalar_bfs, g.scalar_extend_seed):
            fn.restype = None

    def _build(self, compiler, name):
        out = pathlib.Path(self._dir.name) / f"lib{name}.so"
        subprocess.run([compiler, *FLAGS, "-o", str(out), str(SOURCES / f"{name}.cpp")], check=True)
        return ctypes.CDLL(str(out))

    def extend_centers(self, ys, xs, ly, lx, approx_frac):
        ys, xs = np.ascontiguousarray(ys, np.int32), np.ascontiguousarray(xs, np.int32)
        assert len(ys) == len(xs)
        out = np.empty((len(ys), 2))
        if self.diffusion.scalar_extend_centers(_p(ys), _p(xs), len(ys), ly, lx, approx_frac, _p(out)):
            raise ZeroDivisionError("division by zero")
        return out

    def extend_centers_many(self, objects):
        """Packs [(ys, xs, ly, lx), ...] for extend_centers_batch: one call for all objects."""
        start = np.zeros(len(objects) + 1, np.int64)
        start[1:] = np.cumsum([len(o[0]) for o in objects])
        ys = np.concatenate([o[0] for o in objects]).astype(np.int32)
        xs = np.concatenate([o[1] for o in objects]).astype(np.int32)
        ly = np.array([o[2] for o in objects], np.int32)
        lx = np.array([o[3] for o in objects], np.int32)
        return ys, xs, start, ly, lx

    def extend_centers_batch(self, packed, approx_frac):
        ys, xs, start, ly, lx = packed
        out = np.empty((len(ys), 2))
        if self.diffusion.scalar_extend_centers_many(_p(ys), _p(xs), _p(start), _p(ly), _p(lx), len(ly), approx_frac,
                                                     _p(out)):
            raise ZeroDivisionError("division by zero")
        return out

    def masks_to_flow(self, masks, slices, approx_frac):
        masks = np.ascontiguousarray(masks, np.uint32)
        slices = np.ascontiguousarray(slices, np.int32)
        mu = np.empty((2,) + masks.shape)
        if self.diffusion.scalar_masks_to_flow(_p(masks), masks.shape[0], masks.shape[1], _p(slices),
                                               slices.shape[0], approx_frac, _p(mu)):
            raise ZeroDivisionError("division by zero")
        return mu

    def flow_error_cell_size(self, masks, flow, slices, min_size, approx_frac):
        assert approx_frac < 1.0, "the transcription covers the diffusion branch only"
        masks = np.ascontiguousarray(masks, np.uint32)
        flow = np.ascontiguousarray(flow, np.float32)
        slices = np.ascontiguousarray(slices, np.int32)
        errors = np.empty(slices.shape[0])
        sizes = np.empty(slices.shape[0], np.uint32)
        if self.diffusion.scalar_flow_error_cell_size(_p(masks), _p(flow), masks.shape[0], masks.shape[1], _p(slices),
                                                      slices.shape[0], min_size, approx_frac, _p(errors), _p(sizes)):
            raise ZeroDivisionError("division by zero")
        return errors, sizes

    def steps2D(self, flow, coords, disp, n_steps, decay, interpolate):
        rows, cols = (np.ascontiguousarray(c, np.int64) for c in coords)
        self.flow.scalar_steps2D(_p(flow), _p(disp), flow.shape[1], flow.shape[2], _p(rows), _p(cols), len(rows),
                                 n_steps, decay, int(interpolate))

    def steps2D_all(self, flow, n_steps, interpolate):
        """Works on flow in place like the kernel; returns the array that holds the result."""
        assert flow.dtype == np.float32 and flow.flags.c_contiguous
        other = np.empty_like(flow)
        which = self.flow.scalar_steps2D_all(_p(flow), _p(other), flow.shape[1], flow.shape[2], n_steps,
                                             int(interpolate))
        return other if which else flow

    def gather_floor(self, field, disp, passes):
        """The bilinear gathers of a walk of `passes` steps towards disp, without the walk."""
        assert field.dtype == disp.dtype == np.float32 and field.shape == disp.shape
        out = np.empty(field.shape[1:], np.float32)
        self.flow.scalar_gather_floor(_p(field), _p(disp), field.shape[1], field.shape[2], passes, _p(out))
        return out

    def approximate_diffusion(self, dy, dx, niter):
        out = np.empty(len(dy))
        if self.diffusion.scalar_approximate_diffusion(_p(dy), _p(dx), len(dy), niter, _p(out)):
            raise ZeroDivisionError("division by zero")
        return out

    def p_histogram(self, pos, mask):
        hist = np.empty(pos.shape[1:], np.uint8)
        self.seeds.scalar_p_histogram(_p(pos), _p(mask), pos.shape[1], pos.shape[2], _p(hist))
        return hist

    def bfs(self, hist, pos, seeds):
        labels = np.empty(pos.shape[1:], np.uint32)
        self.seeds.scalar_bfs(_p(hist), _p(pos), _p(seeds), len(seeds), pos.shape[1], pos.shape[2], _p(labels))
        return labels

    def extend_seed(self, masks, pos):
        self.seeds.scalar_extend_seed(_p(masks), _p(pos), pos.shape[1], pos.shape[2])

    def renumbering(self, labels, min_labels):
        assert labels.dtype == np.uint32 and labels.ndim == 1 and labels.flags.c_contiguous
        self.cleanup.scalar_renumbering(_p(labels), len(labels), min_labels)
