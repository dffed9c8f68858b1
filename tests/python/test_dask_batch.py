"""The Dask example: a batch, or the tiles of one image, segmented on two threads (or on a
local distributed cluster) gives exactly what the serial loop gives."""
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("dask")
pytest.importorskip("dask.array")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))

import dask_batch  # noqa: E402
import segmentation_road as road  # noqa: E402


@pytest.fixture(scope="module")
def batch():
    return [road.synthetic_mask((96 + 16 * i, 112), seed=i) for i in range(4)]


def test_two_threads_give_the_serial_result(batch):
    found = dask_batch.segment_batch(batch, workers=2)
    expected = dask_batch.segment_serially(batch, None)
    assert len(found) == len(batch)
    for f, e, truth in zip(found, expected, batch):
        np.testing.assert_array_equal(f, e)
        assert road.match(truth, f).mean_iou > 0.95


@pytest.mark.parametrize("tile", [48, 64, 200])
def test_tiles_on_two_threads_give_the_serial_result(tile):
    mask = road.synthetic_mask((160, 176), seed=9)
    found = dask_batch.segment_tiles(mask, tile, workers=2)
    np.testing.assert_array_equal(found, dask_batch.segment_serially([mask], tile)[0])
    # Labels are unique across tiles: no label occurs in two tiles.
    seen = set()
    for y in range(0, mask.shape[0], tile):
        for x in range(0, mask.shape[1], tile):
            labels = set(np.unique(found[y:y + tile, x:x + tile]).tolist()) - {0}
            assert not labels & seen
            seen |= labels
    assert seen == set(range(1, len(seen) + 1))


def test_stitching_shifts_each_tile_past_the_ones_before():
    tiles = np.array([[1, 2, 1, 0], [0, 1, 3, 1]], np.uint32)
    np.testing.assert_array_equal(dask_batch.stitch_labels(tiles, 2), [[1, 2, 3, 0], [0, 1, 5, 3]])


def test_a_distributed_cluster_gives_the_serial_result(batch):
    pytest.importorskip("distributed")
    client = dask_batch.local_cluster(2)
    try:
        found = dask_batch.segment_batch(batch[:2], workers=2, client=client)
    finally:
        client.close()
        client.cluster.close()
    for f, e in zip(found, dask_batch.segment_serially(batch[:2], None)):
        np.testing.assert_array_equal(f, e)


@pytest.mark.parametrize("mode", [[], ["--tiles", "64"]], ids=["batch", "tiles"])
def test_the_script_reports_throughput_per_worker_count(module_path, mode):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(module_path), env.get("PYTHONPATH", "")])
    run = subprocess.run([sys.executable, str(EXAMPLES / "dask_batch.py"), "--images", "3", "--size", "128",
                          "--workers", "1,2", *mode], capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stderr
    rows = [line.split() for line in run.stdout.splitlines() if re.fullmatch(r"(\s+[\d.]+){5}", line)]
    assert [r[0] for r in rows] == ["1", "2"]
    for workers, seconds, rate, mpx, speedup in rows:
        assert float(seconds) > 0 and float(rate) > 0 and float(mpx) > 0
    assert float(rows[0][4]) == 1.0
    assert run.stdout.rstrip().endswith("every run equals the serial result")
