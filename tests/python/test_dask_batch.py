"""The Dask example: a batch segmented on two threads (or on a local distributed cluster) gives
exactly what the serial loop gives; the tiled image gives the whole image's segmentation."""
import os
import re
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("dask")
pytest.importorskip("dask.array")

from conftest import EXAMPLES  # noqa: E402
import dask_batch  # noqa: E402
import segmentation_road as road  # noqa: E402


@pytest.fixture(scope="module")
def batch():
    return [road.synthetic_mask((96 + 16 * i, 112), seed=i) for i in range(4)]


def test_two_threads_give_the_serial_result(batch):
    found = dask_batch.segment_batch(batch, workers=2)
    expected = dask_batch.segment_serially(batch)
    assert len(found) == len(batch)
    for f, e, truth in zip(found, expected, batch):
        np.testing.assert_array_equal(f, e)
        assert road.match(truth, f).mean_iou > 0.95


def test_a_distributed_cluster_gives_the_serial_result(batch):
    pytest.importorskip("distributed")
    client = dask_batch.local_cluster(2)
    try:
        found = dask_batch.segment_batch(batch[:2], workers=2, client=client)
    finally:
        client.close()
        client.cluster.close()
    for f, e in zip(found, dask_batch.segment_serially(batch[:2])):
        np.testing.assert_array_equal(f, e)


@pytest.fixture
def run_script(module_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(module_path), env.get("PYTHONPATH", "")])

    def run(*args, prelude=""):
        code = (f"import sys, runpy\n{prelude}\nsys.argv = ['dask_batch.py', *{list(map(str, args))!r}]\n"
                f"runpy.run_path({str(EXAMPLES / 'dask_batch.py')!r}, run_name='__main__')")
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    return run


def table(stdout, columns):
    return [line.split() for line in stdout.splitlines() if re.fullmatch(rf"(\s+[\d.]+){{{columns}}}", line)]


def test_the_script_reports_batch_throughput_per_worker_count(run_script):
    run = run_script("--images", 3, "--size", 128, "--workers", "1,2")
    assert run.returncode == 0, run.stderr
    rows = table(run.stdout, 5)
    assert [r[0] for r in rows] == ["1", "2"]
    for workers, seconds, rate, mpx, speedup in rows:
        assert float(seconds) > 0 and float(rate) > 0 and float(mpx) > 0
    assert float(rows[0][4]) == 1.0
    assert run.stdout.rstrip().endswith("every run equals the serial result")


@pytest.mark.parametrize("args,first,last", [
    (("--images", 2, "--size", 96), "making synthetic image 1 of 2", "1 workers"),
    (("--tiles", 128, "--size", 300), "making a synthetic 300 x 300 mosaic of 1 field", "1 workers: tile 9 of 9"),
])
def test_progress_goes_to_stderr_from_the_making_of_the_input_on(run_script, args, first, last):
    run = run_script(*args, "--workers", 1, "--progress")
    assert run.returncode == 0, run.stderr
    stages = [line.split("] ", 1)[1] for line in run.stderr.splitlines() if line.startswith("[")]
    assert stages[0] == first and stages[-1] == last
    assert "mosaic field 1 of 1" in stages or "--images" in args


def test_the_script_tiles_a_mask_file_and_saves_the_whole_image_answer(run_script, tmp_path):
    pytest.importorskip("matplotlib")
    truth = road.synthetic_mask((160, 200), seed=4) * 3         # gaps in the numbers
    np.save(tmp_path / "cells.npy", truth)
    pytest.importorskip("distributed")
    run = run_script("--tiles", 64, "--mask", tmp_path / "cells.npy", "--workers", "1,2", "--distributed",
                     "--save", tmp_path / "out.npy", "--picture", tmp_path / "tiles.png")
    assert run.returncode == 0, run.stderr
    rows = table(run.stdout, 9)
    # Each row: workers, seconds, tiles/s, Mpx/s, speed-up, wall and processor time against the
    # whole image, and the peak memory of a worker in MB and in tiles.
    assert [r[0] for r in rows] == ["1", "2"] and all(float(r[6]) > 0 and float(r[8]) > 0 for r in rows)
    n = int(road.relabel_consecutive(truth).max())
    whole = road.segment(road.relabel_consecutive(truth)).masks
    saved = np.load(tmp_path / "out.npy")
    assert road.match(whole, saved, 0.999).n_matched == whole.max() == saved.max()
    assert f"{n} cells identical, none split or duplicated" in run.stdout
    assert (tmp_path / "tiles.png").stat().st_size > 10_000


def test_the_script_says_which_overlap_makes_the_tiles_exact(run_script, tmp_path):
    np.save(tmp_path / "cells.npy", road.synthetic_mask((160, 160), seed=4))
    run = run_script("--tiles", 64, "--overlap", 2, "--mask", tmp_path / "cells.npy", "--workers", 1)
    assert run.returncode == 1
    assert re.search(r"an overlap of \d+ makes them all identical", run.stderr)


def test_without_dask_the_script_says_what_to_install(run_script):
    run = run_script("--images", 1, prelude="sys.modules['dask'] = None")
    assert run.returncode == 1
    assert 'pip install "dask[array]"' in run.stderr and "Traceback" not in run.stderr
