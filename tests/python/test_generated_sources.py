"""Generated sources are what their generators write today, byte for byte."""
import pathlib
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.skipif(not np.__version__.startswith("1.26"), reason="pickled dtypes are NumPy 1.26's")
def test_pickled_constants_are_current():
    out = subprocess.run([sys.executable, str(ROOT / "tools" / "gen_constants.py"), "--check"],
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
