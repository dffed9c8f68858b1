"""The installed road from a predictor's output (sarvo_segment): quality control removes exactly
what the errors and sizes say, inputs of any float kind give one answer, misuse is refused with
the argument named, and the command exits 2 with one line for input it cannot use."""
import re

import numpy as np
import pytest

import sarvo_segment as ss
from sarvo_segment import cli

import segmentation_road as road  # noqa: E402


@pytest.fixture(scope="module")
def predicted():
    """A noisy predicted-looking flow (four times unit length) and logits, with their mask."""
    masks = road.synthetic_mask((192, 224), seed=5)
    flow, logits = road.predicted_looking(masks, noise=0.35, seed=5, scale=4.0)
    return masks, flow, logits


def test_quality_control_removes_exactly_the_masks_its_errors_and_sizes_condemn(sf, predicted):
    _, flow, logits = predicted
    run = ss.masks_from_flow(flow, logits, flow_scale=4.0, min_size=60, flow_threshold=0.5, details=True)
    errors, sizes = sf.compute_flow_error_cell_size(run.grown, run.flow, ss.boxes_of(run.grown), 60, 0.5)
    labels = np.arange(1, len(sizes) + 1)
    np.testing.assert_array_equal(run.removed_small, labels[sizes < 60])
    np.testing.assert_array_equal(run.removed_flow, labels[(sizes >= 60) & (errors > 0.5)])
    assert len(run.removed_small) and len(run.removed_flow)
    # Kept masks keep every grown pixel, numbered 1 … n in order; other labelled pixels are filled holes.
    kept = np.zeros(len(sizes) + 1, np.uint32)
    kept[run.kept] = np.arange(1, len(run.kept) + 1)
    grown_kept = kept[run.grown] > 0
    np.testing.assert_array_equal(run.masks[grown_kept], kept[run.grown][grown_kept])
    assert np.count_nonzero(run.masks[~grown_kept]) == run.holes_filled > 0
    np.testing.assert_array_equal(ss.masks_from_flow(flow, logits, flow_scale=4.0, min_size=60, flow_threshold=0.5),
                                  run.masks)


@pytest.mark.parametrize("case, filled", [
    ("hole in one mask", [(2, 2), (2, 3)]),
    ("gap between two masks", []),
    ("bay open to the edge", []),
    # Pixels of a hole that no mask pixel touches are filled with it.
    ("hole wider than its rim", [(y, x) for y in range(2, 5) for x in range(2, 5)]),
])
def test_only_holes_inside_one_mask_are_filled(case, filled):
    masks = np.zeros((6, 7), np.uint32)
    masks[1:5, 1:6] = 1
    masks[2, 2:4] = 0
    if case == "hole wider than its rim":
        masks = np.zeros((7, 7), np.uint32)
        masks[1:6, 1:6] = 1
        masks[2:5, 2:5] = 0
    if case == "gap between two masks":
        masks[1:5, 4:6] = 2
    elif case == "bay open to the edge":
        masks[0:3, 2] = 0
        masks[2, 3] = 0
    before = masks.copy()
    assert ss.fill_enclosed_holes(masks) == len(filled)
    changed = np.argwhere(masks != before)
    assert [tuple(p) for p in changed] == filled and np.all(masks[tuple(changed.T)] == 1)


@pytest.mark.parametrize("band_rows", [1, 3, None])
def test_holes_are_filled_by_the_rule_whatever_the_band_of_rows(monkeypatch, band_rows):
    # Speckled cells: single-pixel holes inside one mask, between two, touching one only at a
    # corner, on the edge, and across the seams of bands of rows.
    ndimage = pytest.importorskip("scipy.ndimage")
    masks = road.synthetic_mask((61, 83), diameter=(8.0, 16.0), seed=3)
    masks[np.random.default_rng(3).random(masks.shape) < 0.15] = 0
    masks[1:, 0] = masks[:-1, -1]           # a row's last label goes on at the next row's start
    if band_rows:
        monkeypatch.setattr("sarvo_segment._bands.BAND_BYTES", 4 * masks.shape[1] * band_rows)
    square = np.ones((3, 3), bool)
    pieces, n = ndimage.label(masks == 0, structure=square)
    expected = masks.copy()
    on_edge = np.concatenate([pieces[0], pieces[-1], pieces[:, 0], pieces[:, -1]])
    for k in np.setdiff1d(np.arange(1, n + 1), on_edge):
        piece = pieces == k
        around = np.unique(masks[ndimage.binary_dilation(piece, square) & ~piece])
        expected[piece] = around[0] if len(around) == 1 else 0
    filled = masks.copy()
    # Growth only writes into the scratch displacements: what they held does not matter.
    scratch = np.full((2, *masks.shape), 7, np.int16) if band_rows == 3 else None
    assert ss.fill_enclosed_holes(filled, scratch=scratch) == np.count_nonzero(expected != masks) > 20
    np.testing.assert_array_equal(filled, expected)
    np.testing.assert_array_equal(ss.boxes_of(filled), [[[s.start, s.stop] for s in box]
                                                        for box in ndimage.find_objects(filled)])
    with pytest.raises(TypeError, match=r"scratch must be .* shape \(2, Ly, Lx\) = \(2, 61, 83\)"):
        ss.fill_enclosed_holes(masks, scratch=np.zeros((2, 61, 82), np.int16))


def test_the_road_in_bands_of_one_row_gives_the_whole_image_answer(monkeypatch, predicted):
    _, flow, logits = predicted
    whole = ss.masks_from_flow(flow, logits, flow_scale=4.0, details=True)
    monkeypatch.setattr("sarvo_segment._bands.BAND_BYTES", 1)
    banded = ss.masks_from_flow(flow, logits, flow_scale=4.0, details=True)
    for name in ("masks", "grown", "foreground", "flow", "errors"):
        np.testing.assert_array_equal(getattr(banded, name), getattr(whole, name))


@pytest.mark.parametrize("kind", ["float16", "float64", "fortran", "strided"])
def test_every_float_kind_and_layout_gives_the_float32_answer(predicted, kind):
    _, flow, logits = predicted
    flow = flow.astype(np.float16).astype(np.float32) if kind == "float16" else flow
    expected = ss.masks_from_flow(flow, logits, flow_scale=4.0)
    given = {"float16": lambda: flow.astype(np.float16), "float64": lambda: flow.astype(np.float64),
             "fortran": lambda: np.asfortranarray(flow),
             "strided": lambda: np.repeat(flow, 2, axis=2)[:, :, ::2]}[kind]()
    np.testing.assert_array_equal(ss.masks_from_flow(given, logits, flow_scale=4.0), expected)


def test_the_flow_scale_and_the_probability_kind_state_the_same_job(predicted):
    _, flow, logits = predicted
    unit = ss.masks_from_flow(flow / np.float32(4.0), logits)
    np.testing.assert_array_equal(ss.masks_from_flow(flow, logits, flow_scale=4.0), unit)
    np.testing.assert_array_equal(ss.masks_from_flow(flow / np.float32(4.0), logits > 0), unit)
    probability = (logits > 0) * np.float32(0.75) + np.float32(0.125)
    np.testing.assert_array_equal(ss.masks_from_flow(flow / np.float32(4.0), probability,
                                                     probability_kind="probability"), unit)


@pytest.mark.parametrize("flow, probability, kwargs, error, message", [
    (np.zeros((2, 4, 5)), np.zeros((5, 4)), {}, ValueError, r"flow of shape \(2, 4, 5\) and probability of shape \(5, 4\)"),
    (np.zeros((3, 4, 5)), np.zeros((4, 5)), {}, ValueError, r"shape \(2, Ly, Lx\).*got shape \(3, 4, 5\)"),
    (np.zeros((2, 4, 5), np.int32), np.zeros((4, 5)), {}, TypeError, "flow must hold floating-point values.*int32"),
    (None, np.zeros((4, 5)), {}, TypeError, "flow must be an array, got None"),
    (np.zeros((2, 4, 5)), np.zeros((4, 5), np.uint8), {}, TypeError, "probability must hold floating-point.*uint8"),
    (np.full((2, 4, 5), np.nan), np.zeros((4, 5)), {}, ValueError, "flow holds 40 NaN or infinite values"),
    (np.full((2, 4, 5), 1e39) * [1, -1, 1, 1, 1], np.ones((4, 5)), {}, ValueError,
     "flow holds 40 NaN or infinite values .in float32"),
    (np.zeros((2, 4, 5)), np.full((4, 5), np.inf) * [1, -1, 1, 1, np.nan], {}, ValueError, "probability holds NaN"),
    (np.zeros((2, 4, 5)), np.full((4, 5), 2.0), {"probability_kind": "probability"}, ValueError, r"outside \[0, 1\]"),
    (np.zeros((2, 4, 5)), np.zeros((4, 5)), {"flow_scale": 0.0}, ValueError, "flow_scale must be above 0"),
    (np.zeros((2, 4, 5)), np.zeros((4, 5)), {"min_size": 1.5}, TypeError, "min_size must be an integer"),
    (np.zeros((2, 4, 5)), np.zeros((4, 5)), {"probability_kind": "odds"}, ValueError, "'logits' or 'probability'"),
])
def test_misuse_is_refused_naming_the_argument(flow, probability, kwargs, error, message):
    with pytest.raises(error, match=message):
        ss.masks_from_flow(flow, probability, **kwargs)


@pytest.mark.parametrize("call, error, message", [
    (lambda: ss.segment(np.ones((4, 5), np.float32)), TypeError, "masks must hold integer labels, got float32"),
    (lambda: ss.flows_of(np.array([[1, -2]])), ValueError, "masks holds negative labels"),
    (lambda: ss.flow_errors(np.ones((4, 5), np.uint8), np.zeros((2, 5, 4))), ValueError, r"\(2, 5, 4\).*\(4, 5\)"),
])
def test_the_round_trip_refuses_what_the_kernels_would_misread(call, error, message):
    with pytest.raises(error, match=message):
        call()


# ---------------------------------------------------------------------------------------------
# The command

@pytest.fixture(scope="module")
def files(predicted, tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    _, flow, logits = predicted
    np.save(folder / "flow.npy", flow)
    np.save(folder / "prob.npy", logits)
    np.save(folder / "nan.npy", np.full_like(flow, np.nan))
    np.save(folder / "empty.npy", np.full_like(logits, -3.0))
    np.save(folder / "short.npy", logits[:-1])
    (folder / "taken.npy").write_bytes(b"keep me")
    return folder


@pytest.mark.parametrize("fmt", ["npy", "zarr", "tif"])
def test_the_command_writes_the_masks_and_reports_them(files, predicted, tmp_path, capsys, fmt):
    pytest.importorskip({"npy": "numpy", "zarr": "zarr", "tif": "tifffile"}[fmt])
    out = tmp_path / f"masks.{fmt}"
    assert cli.main([str(files / "flow.npy"), str(files / "prob.npy"), str(out), "--flow-scale", "4"]) == 0
    expected = ss.masks_from_flow(predicted[1], predicted[2], flow_scale=4.0, details=True)
    written = {"npy": np.load, "zarr": lambda p: np.asarray(pytest.importorskip("zarr").open_array(str(p))),
               "tif": lambda p: pytest.importorskip("tifffile").imread(p)}[fmt](out)
    np.testing.assert_array_equal(written, expected.masks)
    report = capsys.readouterr().out
    assert f"cells found         {expected.n_cells}\n" in report
    assert (f"removed by QC       {len(expected.removed_small)} under 15 pixels, "
            f"{len(expected.removed_flow)} with a flow error above 0.4") in report


@pytest.mark.parametrize("args, message", [
    (["missing.npy", "prob.npy", "out.npy"], "missing.npy: no such flow file"),
    (["flow.npy", "prob.npy", "taken.npy"], "the output exists; pass --overwrite"),
    (["nan.npy", "prob.npy", "out.npy"], "NaN or infinite"),
    (["flow.npy", "empty.npy", "out.npy"], "the probability map is empty"),
    (["flow.npy", "short.npy", "out.npy"], r"flow of shape \(2, 192, 224\) and probability of shape \(191, 224\)"),
    (["prob.npy", "prob.npy", "out.npy"], r"flow must have shape \(2, Ly, Lx\)"),
    (["flow.npy", "prob.npy", "out.png"], "must be a .npy, .tif, .tiff or .zarr file"),
    (["flow.npy", "prob.npy", "out.npy", "--min-size", "-1"], "min_size must be at least 0"),
], ids=["missing", "exists", "nan", "empty", "shapes", "flow-dims", "suffix", "parameter"])
def test_unusable_input_ends_with_one_line_and_status_2(files, capsys, monkeypatch, args, message):
    monkeypatch.chdir(files)
    assert cli.main(args) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("sarvo-segment: error: ")
    assert re.search(message, err), err
    assert (files / "taken.npy").read_bytes() == b"keep me" and not (files / "out.npy").exists()


def test_unclaimed_foreground_joins_the_mask_it_reaches_through_the_foreground(predicted):
    # Every grown mask lies in one 4-connected piece of the foreground: a speck no seed claims
    # is never handed a far cell's label across the background.
    ndimage = pytest.importorskip("scipy.ndimage")
    _, flow, logits = predicted
    run = ss.masks_from_flow(flow, logits, flow_scale=4.0, details=True)
    pieces, _ = ndimage.label(run.foreground)
    labelled = run.grown > 0
    pairs = np.unique(np.stack([run.grown[labelled], pieces[labelled]]), axis=1)
    assert np.array_equal(pairs[0], np.unique(run.grown[labelled]))
    assert np.count_nonzero(run.foreground & ~labelled) > 0
    # By hand: the first labelled neighbour (up, down, left, right) of the round that reaches a pixel.
    labels = np.array([[1, 0, 0, 0, 2],
                       [0, 0, 0, 0, 0],
                       [0, 0, 0, 0, 0],
                       [0, 0, 0, 0, 0]], np.uint32)
    foreground = np.ones(labels.shape, bool)
    foreground[2:, :] = [[False, False, True, False, False],
                         [True, False, True, False, False]]       # (3, 0): a speck
    ss.finish_masks(labels, foreground, ss.Stopwatch())
    np.testing.assert_array_equal(labels, [[1, 1, 1, 2, 2],
                                           [1, 1, 1, 2, 2],
                                           [0, 0, 1, 0, 0],
                                           [0, 0, 1, 0, 0]])
