"""What must read the same on every supported interpreter and NumPy: no warnings at import or in
any call, and the traceback entry that a kernel's exception carries; and which interpreters
those are, said alike by every version guard."""
import pathlib
import re
import sys

import numpy as np
import pytest

from conftest import run_python
from reliability_calls import FUNCTIONS

KERNEL_SOURCE = "/project/./src/pelmarinex/deviverozo_new/sarvo_functions.py"
ROOT = pathlib.Path(__file__).resolve().parents[2]


def admitted_by_guards():
    """The CPython 3.x minors each version guard admits: requires-python, the classifiers,
    CMake's Python range and the compatibility header's #error."""
    pyproject = (ROOT / "pyproject.toml").read_text()
    low, high = map(int, re.search(r'requires-python = ">=3\.(\d+),<3\.(\d+)"', pyproject).groups())
    cmake_low, cmake_high = map(int, re.search(r"find_package\(Python 3\.(\d+)\.\.\.<3\.(\d+) ",
                                               (ROOT / "CMakeLists.txt").read_text()).groups())
    header_low, header_high = (int(h, 16) >> 16 & 0xFF for h in re.search(
        r"#if PY_VERSION_HEX < 0x(\w+) \|\| PY_VERSION_HEX >= 0x(\w+)\n#error",
        (ROOT / "csrc" / "core" / "python_compat.h").read_text()).groups())
    return {"requires-python": set(range(low, high)),
            "classifiers": {int(m) for m in re.findall(r'"Programming Language :: Python :: 3\.(\d+)"', pyproject)},
            "CMake": set(range(cmake_low, cmake_high)),
            "python_compat.h": set(range(header_low, header_high))}


def test_every_version_guard_admits_the_same_interpreters():
    guards = admitted_by_guards()
    assert all(minors == guards["requires-python"] for minors in guards.values()), guards
    assert sys.version_info[1] in guards["requires-python"]


def test_import_and_every_call_raise_no_warning():
    # Warnings become errors: a deprecated NumPy path in the import, the unpickled constants or
    # the boxing would fail the accepted calls or change the refused calls' exceptions.
    run = run_python("""
        import warnings
        warnings.simplefilter("error")
        import numpy as np
        import sarvo_functions as sf
        from reliability_calls import FUNCTIONS, valid_args, refused_args
        rng = np.random.default_rng(1)
        for name in FUNCTIONS:
            getattr(sf, name)(*valid_args(name, rng))
            args, expected = refused_args(name, rng)
            try:
                getattr(sf, name)(*args)
            except expected:
                pass
            else:
                raise SystemExit(f"{name} accepted what it must refuse")
        print("calls", len(FUNCTIONS))
    """, env={"PYTHONPATH": ":".join(sys.path), "PYTHONWARNINGS": "error"})
    assert run.returncode == 0 and run.stdout.split() == ["calls", "15"], run.stdout + run.stderr


def test_kernel_exception_carries_an_entry_for_the_kernel_line(sf):
    with pytest.raises(AssertionError) as info:
        sf._steps2D_all(np.zeros((3, 4, 4), np.float32), 3, True)
    tb = info.tb
    while tb.tb_next:
        tb = tb.tb_next
    code = tb.tb_frame.f_code
    assert (code.co_name, code.co_filename, tb.tb_lineno, tb.tb_frame.f_lineno) == \
        ("_steps2D_all", KERNEL_SOURCE, 83, 83)
    # The entry stands on its own: it is the last one, below the caller's frame.
    assert tb.tb_frame.f_back is None


def test_the_fifteen_functions_are_there(sf):
    assert sorted(n for n in dir(sf) if not n.startswith("__")) == FUNCTIONS
