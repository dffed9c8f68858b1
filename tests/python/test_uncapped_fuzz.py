"""Random hostile calls of every function in child processes without a memory cap (the
bad-input suite caps the address space, which hides a table sized by a label value): a
process that dies, or whose resident memory passes what its small arrays could need, fails
the test and names the call it was making."""
import os
import pathlib
import subprocess
import sys
import time

import pytest

HERE = pathlib.Path(__file__).resolve().parent
CALLS_PER_PROCESS = 700
RESIDENT_LIMIT = 1 << 30  # the arrays are a few kilobytes; the interpreter and NumPy about 60 MB
TIME_LIMIT = 120


def resident_bytes(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            return int(next(line for line in f if line.startswith("VmRSS")).split()[1]) * 1024
    except (OSError, StopIteration):
        return 0


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's quarantine keeps freed memory resident")
@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_random_hostile_calls_never_kill_the_process_or_grow_its_memory(seed, tmp_path):
    log = tmp_path / "calls.log"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))
    with open(log, "w") as out:
        child = subprocess.Popen([sys.executable, str(HERE / "uncapped_fuzz.py"), str(seed), str(CALLS_PER_PROCESS)],
                                 stdout=out, stderr=subprocess.STDOUT, env=env)
        peak, start, verdict = 0, time.monotonic(), None
        while child.poll() is None:
            peak = max(peak, resident_bytes(child.pid))
            if peak > RESIDENT_LIMIT:
                verdict = f"resident memory {peak >> 20} MiB"
            elif time.monotonic() - start > TIME_LIMIT:
                verdict = f"still running after {TIME_LIMIT} s"
            if verdict:
                child.kill()
                child.wait()
                break
            time.sleep(0.01)
    lines = log.read_text().splitlines()
    last_call = next((line for line in reversed(lines) if line[:1].isdigit()), "(none)")
    verdict = verdict or (None if child.returncode == 0 and lines[-1:] == ["done"]
                          else f"exit status {child.returncode}")
    assert verdict is None, f"{verdict}; the last call made:\n{last_call}\n" + "\n".join(lines[-5:])
