"""Kernels run without the interpreter lock: four Python threads calling all fifteen functions
at once, on their own inputs or on shared read-only ones, get exactly the results of serial
calls, refusals included; and a child forked while another thread is inside a kernel gets
working kernels."""
import copy
import threading

import numpy as np
import pytest

from conftest import run_python
from reliability_calls import FUNCTIONS, outcome, refused_args, valid_args

THREADS = 4
ROUNDS = 12
# Larger than the other tests' images, so that kernel calls on different threads overlap.
LY, LX = 72, 64


def call_plan(thread):
    """(name, args) of every call one thread makes: each function, valid and refused, per round."""
    plan = []
    for r in range(ROUNDS):
        for i, name in enumerate(FUNCTIONS):
            rng = np.random.default_rng([thread, r, i])
            plan.append((name, valid_args(name, rng, LY, LX)))
            plan.append((name, refused_args(name, rng, LY, LX)[0]))
    return plan


def run_plan(sf, plan, start=None):
    if start:
        start.wait()
    return [outcome(getattr(sf, name), args) for name, args in plan]


def run_threads(target, count):
    start = threading.Barrier(count)
    results, errors = [None] * count, []

    def body(t):
        try:
            results[t] = target(t, start)
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(t,)) for t in range(count)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=120)
    assert not any(th.is_alive() for th in threads), "a thread hung"
    assert not errors, errors
    return results


def test_threads_on_their_own_inputs_give_the_serial_results(sf):
    plans = [call_plan(t) for t in range(THREADS)]
    expected = [run_plan(sf, copy.deepcopy(plan)) for plan in plans]
    got = run_threads(lambda t, start: run_plan(sf, plans[t], start), THREADS)
    for t in range(THREADS):
        for (name, _), e, g in zip(plans[t], expected[t], got[t]):
            assert g == e, f"thread {t}: {name} differs from its serial result"
    # Every function both returned and refused somewhere in the plan.
    kinds = {(name, o[0]) for (name, _), o in zip(plans[0], got[0])}
    assert kinds == {(n, k) for n in FUNCTIONS for k in ("returned", "raised")}


READ_ONLY = ["_approximate_diffusion", "_extend_centers", "_masks_to_flow", "compute_cell_size",
             "compute_flow_error_cell_size", "find_seeds", "flow_error_estimate", "p_histogram"]


def test_threads_sharing_read_only_inputs_give_the_serial_results(sf):
    shared = {name: valid_args(name, np.random.default_rng(99), LY, LX) for name in READ_ONLY}
    # _steps2D reads the shared flow and coordinates and writes only its thread's own disp.
    flow, coords, _, *rest = valid_args("_steps2D", np.random.default_rng(98), LY, LX)
    frozen = copy.deepcopy(shared)
    expected = {name: outcome(getattr(sf, name), args) for name, args in shared.items()}
    steps_expected = outcome(sf._steps2D, (flow, coords, np.zeros_like(flow), *rest))

    def body(t, start):
        start.wait()
        mismatches = []
        for _ in range(ROUNDS * 4):
            for name, args in shared.items():
                if outcome(getattr(sf, name), args) != expected[name]:
                    mismatches.append(name)
            if outcome(sf._steps2D, (flow, coords, np.zeros_like(flow), *rest)) != steps_expected:
                mismatches.append("_steps2D")
        return mismatches

    assert run_threads(body, THREADS) == [[]] * THREADS
    for name in READ_ONLY:
        for a, b in zip(shared[name], frozen[name]):
            if isinstance(a, np.ndarray):
                np.testing.assert_array_equal(a, b)


FORK_SCRIPT = """
    import os, sys, threading
    sys.path.insert(0, {tests!r})
    import numpy as np, sarvo_functions as sf
    from reliability_calls import FUNCTIONS, outcome, refused_args, valid_args

    def plan(seed):
        out = []
        for i, name in enumerate(FUNCTIONS):
            rng = np.random.default_rng([seed, i])
            out += [(name, valid_args(name, rng, 48, 40)), (name, refused_args(name, rng, 48, 40)[0])]
        return out

    def outcomes(seed):
        return [outcome(getattr(sf, name), args) for name, args in plan(seed)]

    expected = outcomes(5)
    # Another thread stays inside kernels while the children are forked.
    stop = threading.Event()
    def busy():
        flow = np.random.default_rng(1).normal(size=(2, 300, 300)).astype(np.float32)
        while not stop.is_set():
            sf._steps2D_all(flow.copy(), 40, True)
    worker = threading.Thread(target=busy)
    worker.start()
    children = []
    for _ in range({children}):
        pid = os.fork()
        if pid == 0:
            os._exit(0 if outcomes(5) == expected else 3)
        children.append(pid)
    statuses = [os.waitpid(pid, 0)[1] for pid in children]
    stop.set()
    worker.join()
    print(statuses, outcomes(5) == expected)
"""


@pytest.mark.parametrize("children", [4])
def test_forked_children_get_working_kernels(children):
    import pathlib
    tests = str(pathlib.Path(__file__).parent)
    out = run_python(FORK_SCRIPT.format(tests=tests, children=children), timeout=120)
    assert out.returncode == 0, out.stderr
    statuses, parent_ok = out.stdout.split("] ")
    assert statuses + "]" == str([0] * children), "a child's kernels failed (exit status 3) or crashed"
    assert parent_ok.strip() == "True"
