"""The typed interface sarvo_functions.pyi: it describes the module that is installed (names,
argument counts, result dtypes, documentation), and mypy --strict accepts the examples against
it while it refuses a call with the wrong dtype."""
import ast
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


@pytest.fixture(scope="module")
def stub_path(sf):
    """The stub-only package that lies beside the module, as a wheel installs it (and the test
    build lays it out): what a type checker finds with no search path of its own."""
    package = pathlib.Path(sf.__file__).with_name("sarvo_functions-stubs")
    assert (package / "py.typed").is_file(), f"no stub package beside {sf.__file__}"
    return package / "__init__.pyi"


@pytest.fixture(scope="module")
def stub(stub_path):
    tree = ast.parse(stub_path.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def public_functions(sf):
    return {name for name in dir(sf) if not name.startswith("__") and callable(getattr(sf, name))}


def test_the_stub_names_exactly_the_fifteen_functions(sf, stub):
    assert len(stub) == 15
    assert set(stub) == public_functions(sf)


def test_stub_arity_is_the_arity_the_module_enforces(sf, stub):
    for name, node in stub.items():
        with pytest.raises(TypeError) as excinfo:
            getattr(sf, name)()
        enforced = int(re.search(r"expected (\d+) argument", str(excinfo.value))[1])
        # Every parameter is positional-only: the wrappers ignore keywords.
        assert not node.args.args and not node.args.kwonlyargs
        assert len(node.args.posonlyargs) == enforced, name


@pytest.mark.parametrize("name", ["Returns:", "Modifies:", "Raises:"])
def test_every_function_documents_results_effects_and_errors(stub, name):
    missing = [f for f, node in stub.items() if name not in (ast.get_docstring(node) or "")]
    assert not missing


def small_calls():
    """One valid call of every function on tiny arrays."""
    masks = np.array([[1, 1, 0], [1, 0, 2], [0, 2, 2]], np.uint32)
    boxes = np.array([[[0, 2], [0, 2]], [[1, 3], [1, 3]]], np.int32)
    flow = np.zeros((2, 3, 3), np.float32)
    pos = np.zeros((2, 3, 3), np.int16)
    ys = np.array([0, 1], np.int32)
    xs = np.array([0, 0], np.int32)
    hist = np.full((3, 3), 20, np.uint8)
    return {
        "_approximate_diffusion": (ys, xs, 4),
        "_extend_centers": (ys, xs, 2, 2, 0.5),
        "_masks_to_flow": (masks, boxes, 0.5),
        "_steps2D": (flow, (np.array([0], np.int64), np.array([0], np.int64)), flow.copy(), 3, 0.9, True),
        "_steps2D_all": (flow.copy(), 5, True),
        "bfs": (hist, pos.copy(), np.array([[1, 1]], np.uint32)),
        "compute_cell_size": (masks, boxes),
        "compute_flow_error_cell_size": (masks, flow, boxes, 1, 1.0),
        "extend_seed": (masks.copy(), pos),
        "fill_holes": (masks.copy(),),
        "find_seeds": (hist,),
        "flow_error_estimate": (ys, xs, flow),
        "p_histogram": (pos, masks > 0),
        "renum_masks": (masks.copy(), np.array([False, True])),
        "renumbering": (masks.ravel().copy(), 0),
    }


def annotated_result(node):
    """The stub's result as Python values: None, float, a dtype, or a tuple of dtypes."""
    text = ast.unparse(node.returns)
    if text in ("None", "float"):
        return {"None": None, "float": float}[text]
    dtypes = [np.dtype(getattr(np, t)) for t in re.findall(r"NDArray\[np\.(\w+)\]", text)]
    return tuple(dtypes) if text.startswith("tuple") else dtypes[0]


def test_stub_results_are_what_the_functions_return(sf, stub):
    calls = small_calls()
    assert set(calls) == set(stub)
    for name, args in calls.items():
        result = getattr(sf, name)(*args)
        expected = annotated_result(stub[name])
        if expected is None:
            assert result is None, name
        elif expected is float:
            assert type(result) is float, name
        elif isinstance(expected, tuple):
            assert tuple(r.dtype for r in result) == expected, name
        else:
            assert result.dtype == expected, name


def run_mypy(tmp_path, *targets):
    """mypy --strict as a user runs it: no MYPYPATH, so it finds the types through this
    interpreter's search path (site-packages, or the build folder on PYTHONPATH)."""
    pytest.importorskip("mypy")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                           *map(str, targets)], capture_output=True, text=True, env=env, timeout=600,
                          cwd=tmp_path)


def test_mypy_strict_accepts_the_examples_and_the_road_package(stub_path, tmp_path):
    # The examples import these; without them mypy would report the imports, not the stub.
    for module in ("matplotlib", "dask", "distributed"):
        pytest.importorskip(module)
    # The package's source, not its installed copy: a folder inside site-packages as a target
    # makes site-packages a source root, and every module there would shadow its library.
    run = run_mypy(tmp_path, EXAMPLES, ROOT / "python" / "sarvo_segment")
    assert run.returncode == 0, run.stdout + run.stderr


def test_mypy_strict_refuses_wrong_dtypes_and_arities(stub_path, tmp_path):
    bad = tmp_path / "bad_calls.py"
    bad.write_text(
        "import numpy as np\n"
        "import sarvo_functions as sf\n"
        "masks = np.zeros((4, 4), np.float64)\n"
        "sf.fill_holes(masks)\n"                                   # float64 where uint32 is declared
        "sf.fill_holes(np.zeros((4, 4), np.int64))\n"             # int64 in a literal call
        "sf.renumbering(np.zeros(4, np.uint32))\n"                 # min_labels missing
        "errors: np.ndarray[tuple[int], np.dtype[np.uint32]] = sf.compute_flow_error_cell_size(\n"
        "    np.zeros((4, 4), np.uint32), np.zeros((2, 4, 4), np.float32), np.zeros((0, 2, 2), np.int32), 1, 0.5)[0]\n")
    run = run_mypy(tmp_path, bad)
    assert run.returncode == 1
    lines = [line for line in run.stdout.splitlines() if ": error:" in line]
    assert [int(line.split(":")[1]) for line in lines] == [4, 5, 6, 7], run.stdout


def test_mypy_strict_checks_a_user_script_against_the_installed_road(sf, tmp_path):
    import sarvo_segment
    assert (pathlib.Path(sarvo_segment.__file__).parent / "py.typed").is_file()
    script = tmp_path / "user.py"
    script.write_text(
        "import numpy as np\n"
        "from numpy.typing import NDArray\n"
        "from sarvo_segment import FlowSegmentation, masks_from_flow\n"
        "flow = np.zeros((2, 8, 8), np.float16)\n"
        "masks: NDArray[np.uint32] = masks_from_flow(flow, np.zeros((8, 8)), flow_scale=5.0)\n"
        "run: FlowSegmentation = masks_from_flow(flow, np.zeros((8, 8)), details=True)\n"
        "sizes: NDArray[np.uint32] = run.sizes\n"
        "wrong: FlowSegmentation = masks_from_flow(flow, np.zeros((8, 8)))\n"        # masks, not details
        "masks_from_flow(flow, np.zeros((8, 8)), 0.0)\n"                              # options are keywords
        "masks_from_flow(flow, np.zeros((8, 8)), probability_kind='odds')\n")        # not a kind
    run = run_mypy(tmp_path, script)
    lines = [line for line in run.stdout.splitlines() if ": error:" in line]
    assert [int(line.split(":")[1]) for line in lines] == [8, 9, 10], run.stdout
