"""Generated sources are what their generators write today, byte for byte."""
import pathlib
import subprocess
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_pickled_constants_are_current():
    # NumPy 1.26 and 2.x pickle these dtypes and numpy.ndarray to the same bytes, without warnings.
    out = subprocess.run([sys.executable, "-W", "error", str(ROOT / "tools" / "gen_constants.py"), "--check"],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stdout + out.stderr


def test_environment_pickles_hold_the_result_dtypes(sf):
    # What the wrappers box results with: the dtype of each result array, in order.
    flows = sf._steps2D_all(np.zeros((2, 3, 3), np.float32), 4, True)
    assert flows.dtype == np.dtype("<f4")
    if hasattr(sf, "compute_flow_error_cell_size"):
        errors, sizes = sf.compute_flow_error_cell_size(np.zeros((3, 3), np.uint32), np.zeros((2, 3, 3), np.float32),
                                                        np.zeros((0, 2, 2), np.int32), 0, 0.5)
        assert (errors.dtype, sizes.dtype) == (np.dtype("<f8"), np.dtype("<u4"))
