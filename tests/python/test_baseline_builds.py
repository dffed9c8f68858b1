"""The module on every routine's baseline build (SARVO_NO_AVX2=1, as on a processor without
AVX2), and on its AVX2 builds (SARVO_NO_AVX512=1, as on a processor without AVX-512), gives the
bits of the widest build this processor runs, call for call: every function on the shared valid
calls, at sizes that fill several vector groups and leave a tail. In-place functions are compared
by their arguments after the call too.

SARVO_BITS_REFERENCE names the results of another build of the module (another compiler, another
architecture), written by `python test_baseline_builds.py PATH`: then both builds here must give
its bits too."""
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import reliability_calls as rc

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import pickle, sys
import numpy as np
import sarvo_functions as sf
import reliability_calls as rc
out = {}
for name in rc.FUNCTIONS:
    for seed, (ly, lx) in enumerate([(24, 20), (71, 53)]):
        args = rc.valid_args(name, np.random.default_rng(seed), ly, lx)
        out[name, ly, lx] = (getattr(sf, name)(*args), args)
sys.stdout.buffer.write(pickle.dumps(out))
"""


# The narrower builds, by the setting that selects them.
NARROWER = {"baseline": {"SARVO_NO_AVX2": "1"}, "AVX2": {"SARVO_NO_AVX512": "1"}}


def results(settings):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE] + [p for p in sys.path if p]))
    env.update({"SARVO_NO_AVX2": "0", "SARVO_NO_AVX512": "0", **settings})
    done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr.decode()
    return pickle.loads(done.stdout)


def same_bits(a, b):
    if isinstance(a, np.ndarray):
        return (isinstance(b, np.ndarray) and a.dtype == b.dtype and a.shape == b.shape
                and np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes())
    if isinstance(a, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same_bits, a, b))
    if isinstance(a, float):
        return isinstance(b, float) and np.float64(a).tobytes() == np.float64(b).tobytes()
    return type(a) is type(b) and a == b


@pytest.fixture(scope="module")
def widest_build():
    return results({})


@pytest.fixture(scope="module", params=list(NARROWER))
def narrower_build(request):
    return results(NARROWER[request.param])


def reference():
    path = os.environ.get("SARVO_BITS_REFERENCE")
    if not path:
        return None
    with open(path, "rb") as f:
        return pickle.load(f)


@pytest.mark.parametrize("name", rc.FUNCTIONS)
def test_narrower_build_gives_the_same_bits(widest_build, narrower_build, name):
    vector, narrower = widest_build, narrower_build
    other = reference()
    keys = [k for k in vector if k[0] == name]
    assert len(keys) == 2
    for key in keys:
        assert same_bits(vector[key], narrower[key]), key
        if other is not None:
            assert same_bits(vector[key], other[key]), ("the reference build differs", key)


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        pickle.dump(results({}), f)
