"""Shared fixtures for the Python tests of sarvo_functions."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

# The examples' modules (the road, the tiled road, the Dask script) are imported by their tests.
EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))


@pytest.fixture(scope="session")
def sf():
    import sarvo_functions
    return sarvo_functions


@pytest.fixture(scope="session")
def module_path(sf):
    return sf.__file__


def run_python(code, env=None, timeout=300):
    """Runs code in a fresh interpreter, so that a crash is a failed test, not a lost run."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, timeout=timeout)
