"""The segmentation demo and the road module it shares with the other examples: the helpers
against SciPy oracles, the road end to end, and the demo's report and picture."""
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
from scipy import ndimage

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
DEMO = EXAMPLES / "segment_demo.py"

import segmentation_road as road  # noqa: E402

STAGES = ["boxes", "_masks_to_flow", "to float32", "_steps2D_all", "round to int16", "p_histogram",
          "find_seeds", "bfs", "extend_seed", "cut to foreground", "join unclaimed foreground", "renumbering"]
FLOW_STAGES = ["check and convert", *STAGES[3:], "compute_flow_error_cell_size", "renum_masks", "fill enclosed holes"]


def scipy_boxes(masks):
    boxes = np.zeros((int(masks.max(initial=0)), 2, 2), np.int32)
    for k, s in enumerate(ndimage.find_objects(masks)):
        if s is not None:
            boxes[k] = [[s[0].start, s[0].stop], [s[1].start, s[1].stop]]
    return boxes


def random_labels(seed, shape=(37, 41), n=9):
    """Blocky random labels with gaps in their numbers and pieces of one label far apart."""
    rng = np.random.default_rng(seed)
    coarse = rng.integers(0, n + 1, size=(shape[0] // 3 + 1, shape[1] // 3 + 1))
    labels = np.kron(coarse, np.ones((3, 3), np.int64))[:shape[0], :shape[1]]
    return (labels * 3).astype(np.uint32)


# ---------------------------------------------------------------------------------------------
# Helpers of the road module

@pytest.mark.parametrize("masks", [random_labels(0), random_labels(1), np.zeros((4, 5), np.uint32),
                                   np.array([[0, 0, 2]], np.uint32), np.full((3, 3), 1, np.uint32),
                                   (np.eye(5, dtype=np.uint32) + np.fliplr(np.eye(5, dtype=np.uint32)) * 2)[:, ::-1]],
                         ids=["blocks", "blocks2", "empty", "label 1 absent", "full", "crossed diagonals"])
def test_boxes_are_the_bounding_boxes_and_absent_labels_are_skipped(masks):
    boxes = road.boxes_of(masks)
    assert boxes.dtype == np.int32 and boxes.flags.c_contiguous
    np.testing.assert_array_equal(boxes, scipy_boxes(masks))


def test_boxes_drive_the_kernels_to_the_right_pixels(sf):
    masks = random_labels(2)
    sizes = sf.compute_cell_size(masks, road.boxes_of(masks))
    np.testing.assert_array_equal(sizes, np.bincount(masks.ravel(), minlength=int(masks.max()) + 1)[1:])


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_largest_piece_per_label_keeps_one_connected_piece(seed):
    labels = random_labels(seed).astype(np.int64)
    kept = road.largest_piece_per_label(labels)
    for value in np.unique(labels[labels > 0]):
        pieces, n = ndimage.label(labels == value)
        sizes = np.bincount(pieces.ravel())[1:]
        left = kept == value
        # Exactly one piece survives, and no other piece is larger.
        assert ndimage.label(left)[1] == 1
        assert left.sum() == sizes.max()
        assert np.all(labels[left] == value)
    assert np.all((kept == 0) | (kept == labels))


@pytest.mark.parametrize("reach", [40.0, 1.5], ids=["windows", "fallback"])
def test_nearest_site_agrees_with_brute_force(reach):
    rng = np.random.default_rng(5)
    shape = (60, 70)
    sites = rng.uniform(0, 60, size=(25, 2))
    yy, xx = np.mgrid[0:shape[0], 0:shape[1]].astype(np.float64)
    wy = yy + rng.uniform(-3, 3, shape)
    wx = xx + rng.uniform(-3, 3, shape)
    owner = road.nearest_site(wy, wx, sites, reach, 3 * np.sqrt(2))
    d2 = (wy[..., None] - sites[:, 0]) ** 2 + (wx[..., None] - sites[:, 1]) ** 2
    np.testing.assert_array_equal(owner, np.argmin(d2, axis=-1))


def test_relabel_consecutive_keeps_order_and_background():
    labels = np.array([[0, 7, 7], [30, 0, 5]], np.int64)
    np.testing.assert_array_equal(road.relabel_consecutive(labels), [[0, 2, 2], [3, 0, 1]])
    np.testing.assert_array_equal(road.relabel_consecutive(np.array([4, 9, 4])), [1, 2, 1])


def test_synthetic_mask_looks_like_a_field_of_touching_cells():
    masks = road.synthetic_mask((512, 512), seed=3)
    n = int(masks.max())
    assert masks.dtype == np.uint32 and 200 <= n <= 500
    sizes = np.bincount(masks.ravel())[1:]
    assert sizes.min() >= 20                                 # labels 1 … n, none empty or tiny
    assert sizes.std() / sizes.mean() > 0.3                  # varied sizes
    assert 0.65 < (masks > 0).mean() < 0.85                  # cut by the foreground
    for k, box in enumerate(ndimage.find_objects(masks)):
        assert ndimage.label(masks[box] == k + 1)[1] == 1    # every object in one piece
    # Most objects touch another one (4-neighbours of different non-zero labels).
    a, b = masks[:, :-1].ravel(), masks[:, 1:].ravel()
    c, d = masks[:-1, :].ravel(), masks[1:, :].ravel()
    touching = np.r_[a[(a != b) & (a > 0) & (b > 0)], c[(c != d) & (c > 0) & (d > 0)]]
    assert len(np.unique(touching)) > 0.8 * n


def test_synthetic_mask_is_reproducible_by_seed():
    a = road.synthetic_mask((96, 128), seed=4)
    assert a.shape == (96, 128)
    np.testing.assert_array_equal(a, road.synthetic_mask((96, 128), seed=4))
    assert not np.array_equal(a, road.synthetic_mask((96, 128), seed=5))


def test_match_pairs_objects_by_iou_whatever_their_numbers():
    truth = np.zeros((4, 10), np.uint32)
    truth[:, :5], truth[:, 5:] = 1, 2
    found = np.zeros_like(truth)
    found[:, :3], found[:, 3:5], found[:, 5:] = 7, 4, 3      # object 1 split 12 / 8, object 2 as is
    m = road.match(truth, found)
    assert (m.n_true, m.n_found, m.n_matched) == (2, 3, 2)
    assert sorted(zip(m.matched_true.tolist(), m.matched_found.tolist())) == [(1, 7), (2, 3)]
    assert m.mean_iou == pytest.approx((12 / 20 + 1.0) / 2)
    np.testing.assert_allclose(m.best_iou, [12 / 20, 1.0])
    none = road.match(truth, np.zeros_like(truth))
    assert (none.n_found, none.n_matched, none.mean_iou) == (0, 0, 0.0)


@pytest.mark.parametrize("call, error", [
    (lambda: road.match(np.zeros((2, 2), np.uint32), np.zeros((2, 3), np.uint32)), "different shapes"),
    (lambda: road.match(np.zeros((2, 2), np.uint32), np.zeros((2, 2), np.uint32), 0.3), "at least 0.5"),
])
def test_match_refuses_what_it_cannot_answer(call, error):
    with pytest.raises(ValueError, match=error):
        call()


# ---------------------------------------------------------------------------------------------
# The road

@pytest.mark.parametrize("seed, approx_frac", [(0, 0.5), (1, 0.0), (2, 1.0)])
def test_the_road_rebuilds_the_synthetic_cells(sf, seed, approx_frac):
    truth = road.synthetic_mask((256, 256), seed=seed)
    result = road.segment(truth, approx_frac=approx_frac)
    assert result.flow.dtype == np.float32 and result.disp.dtype == np.float32
    assert result.masks.dtype == np.uint32 and result.masks.shape == truth.shape
    assert list(result.seconds) == STAGES
    m = road.match(truth, result.masks)
    assert m.n_matched >= 0.97 * m.n_true and m.mean_iou > 0.97
    # Renumbered 1 … n and cut to the foreground.
    assert np.array_equal(np.unique(result.masks), np.arange(m.n_found + 1))
    assert not np.any(result.masks[truth == 0])


def test_flow_errors_vanish_against_the_own_flow_and_grow_with_noise():
    truth = road.synthetic_mask((160, 160), seed=6)
    flow = road.flows_of(truth)
    errors, sizes = road.flow_errors(truth, flow, min_size=15)
    np.testing.assert_array_equal(sizes, np.bincount(truth.ravel())[1:])
    assert np.all(errors < 1e-10)
    noisy = flow + np.float32(0.3) * np.where(truth > 0, 1, 0).astype(np.float32)
    worse, _ = road.flow_errors(truth, noisy, min_size=15)
    assert np.all(worse > 0.01)
    # The straight-line reference is another flow: a diffusion flow departs from it.
    straight, _ = road.flow_errors(truth, flow, min_size=15, approx_frac=1.0)
    assert np.median(straight) > 1e-4


def test_masks_from_flow_leaves_the_flow_alone():
    truth = road.synthetic_mask((96, 96), seed=7)
    flow = road.flows_of(truth)
    before = flow.copy()
    road.masks_from_flow(flow, truth > 0, n_steps=20)      # two composition rounds
    np.testing.assert_array_equal(flow, before)


# ---------------------------------------------------------------------------------------------
# Files

def write_png(path, labels):
    Image = pytest.importorskip("PIL.Image")
    Image.fromarray(labels.astype(np.uint16)).save(path)


def write_tif(path, labels):
    tifffile = pytest.importorskip("tifffile")
    tifffile.imwrite(path, labels)


@pytest.mark.parametrize("suffix, write", [(".npy", np.save), (".png", write_png), (".tif", write_tif)])
def test_label_files_are_read_and_numbered_consecutively(tmp_path, suffix, write):
    labels = random_labels(3)
    path = tmp_path / f"labels{suffix}"
    write(path, labels)
    masks = road.load_mask(path)
    assert masks.dtype == np.uint32 and masks.flags.c_contiguous
    np.testing.assert_array_equal(masks, road.relabel_consecutive(labels))


@pytest.mark.parametrize("data, message", [(np.zeros((3, 4, 5), np.uint16), "two dimensions"),
                                           (np.zeros((3, 4), np.float32), "integers"),
                                           (np.array([[1, -2], [0, 3]]), "negative")])
def test_unusable_label_files_are_refused_with_a_reason(tmp_path, data, message):
    path = tmp_path / "bad.npy"
    np.save(path, data)
    with pytest.raises(SystemExit, match=message):
        road.load_mask(path)


# ---------------------------------------------------------------------------------------------
# The demo as a person runs it

@pytest.fixture
def run_demo(module_path):
    """Runs the demo in a fresh interpreter that imports the module under test, after `prelude`."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(module_path), env.get("PYTHONPATH", "")])

    def run(*args, cwd, prelude=""):
        code = (f"import sys, runpy\n{prelude}\nsys.argv = [{str(DEMO)!r}, *{list(map(str, args))!r}]\n"
                f"runpy.run_path({str(DEMO)!r}, run_name='__main__')")
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=cwd,
                              env=env, timeout=300)
    return run


def report_value(stdout, name):
    line = next(line for line in stdout.splitlines() if line.strip().startswith(name))
    return line


def png_size(path):
    data = pathlib.Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")


def test_demo_reports_the_job_and_writes_its_picture(run_demo, tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "road.png"
    run = run_demo("--size", 192, "--seed", 2, "--out", out, "--progress", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    n = int(road.synthetic_mask((192, 192), seed=2).max())
    assert report_value(run.stdout, "objects in").split()[-1] == str(n)
    matched = re.search(r"matched \(IoU > 0\.5\) (\d+) of (\d+), mean IoU ([\d.]+)", run.stdout)
    assert matched and int(matched[2]) == n and int(matched[1]) >= 0.9 * n and float(matched[3]) > 0.95
    grown = re.search(r"grown +(\d+), of which quality control removed (\d+) under the minimum size "
                      r"and (\d+) for their flow error", run.stdout)
    found = int(report_value(run.stdout, "objects out").split()[-1])
    assert grown and int(grown[1]) - int(grown[2]) - int(grown[3]) == found
    for stage in FLOW_STAGES + ["total"]:
        assert re.search(rf"^\s+{re.escape(stage)}\s+\d+\.\d$", run.stdout, re.M), stage
    # Progress goes to stderr, one line per stage, and the report stays on stdout.
    assert "_steps2D_all" in run.stderr and "[" not in run.stdout
    width, height = png_size(out)
    assert width > 3 * height > 600
    assert f"picture: {out}" in run.stdout
    Image = pytest.importorskip("PIL.Image")
    with Image.open(out) as im:
        colours = len(np.unique(np.asarray(im.convert("RGB")).reshape(-1, 3), axis=0))
    assert colours > 500                                    # four panels of content, not a blank page


def test_demo_segments_a_label_file(run_demo, tmp_path):
    truth = road.synthetic_mask((128, 160), seed=8) * 5     # gaps in the numbers
    np.save(tmp_path / "cells.npy", truth)
    run = run_demo(tmp_path / "cells.npy", "--no-picture", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    n = len(np.unique(truth)) - 1
    assert f"cells.npy, 128 x 160 pixels" in run.stdout
    assert report_value(run.stdout, "objects in").split()[-1] == str(n)
    assert "picture" not in run.stdout and not list(tmp_path.glob("*.png"))


def test_demo_needs_only_numpy_and_says_when_it_skips_the_picture(run_demo, tmp_path):
    blocked = ["matplotlib", "scipy", "PIL", "tifffile", "dask"]
    run = run_demo("--size", 96, cwd=tmp_path, prelude=f"sys.modules.update(dict.fromkeys({blocked!r}))")
    assert run.returncode == 0, run.stderr
    assert "picture skipped: matplotlib is not installed" in run.stdout
    assert not list(tmp_path.glob("*.png"))


def test_demo_refuses_an_unusable_file_with_a_message(run_demo, tmp_path):
    np.save(tmp_path / "volume.npy", np.zeros((2, 3, 4), np.uint16))
    run = run_demo(tmp_path / "volume.npy", cwd=tmp_path)
    assert run.returncode != 0
    assert "two dimensions" in run.stderr and "Traceback" not in run.stderr


def test_demo_reports_progress_before_making_a_large_synthetic_mask(monkeypatch, capsys):
    import segment_demo

    monkeypatch.setattr(segment_demo, "PROGRESS_PIXELS", 64 * 64)
    assert segment_demo.main(["--size", "64", "--no-picture"]) == 0
    lines = capsys.readouterr().err.splitlines()
    assert lines and lines[0].endswith("making a synthetic label mask")


# ---------------------------------------------------------------------------------------------
# The picture reads at a glance

@pytest.mark.parametrize("n", [1, 7, 280, 5000])
def test_no_cell_colour_comes_close_to_the_unmatched_red(n):
    pytest.importorskip("matplotlib")
    import road_picture

    palette = road_picture.label_palette(n)
    distance = np.linalg.norm(palette[1:] - road_picture.UNMATCHED, axis=1)
    assert len(palette) == n + 1 and distance.min() >= road_picture.UNMATCHED_CLEARANCE


@pytest.mark.parametrize("shape", [(96, 96), (80, 200), (200, 90)], ids=["square", "wide", "tall"])
def test_colour_bar_spans_its_panel_and_the_flow_key_hides_no_cell(shape):
    pytest.importorskip("matplotlib")
    import matplotlib.pyplot as plt
    import road_picture

    truth = road.synthetic_mask(shape, seed=1)
    result = road.segment(truth)
    fig = road_picture.road_figure(truth, result, road.match(truth, result.masks), "check")
    try:
        fig.canvas.draw()
        renderer = fig.canvas.get_renderer()
        flow_panel, count_panel = fig.axes[1], fig.axes[2]
        key, bar = flow_panel.child_axes[0], count_panel.child_axes[0]
        panel, colour_bar = count_panel.get_window_extent(renderer), bar.get_window_extent(renderer)
        assert abs(colour_bar.y0 - panel.y0) < 1 and abs(colour_bar.y1 - panel.y1) < 1
        assert not key.get_window_extent(renderer).overlaps(flow_panel.get_window_extent(renderer))
        assert key.get_window_extent(renderer).y0 >= 0               # and the key is on the page
    finally:
        plt.close(fig)
