"""segment_tiled against masks_from_flow of the whole image: equal cell for cell, QC included, on
noisy flows, far-travelling flows and speckled probability maps, over every kind of source and
output, with the windows that could not certify their cores widened."""
import numpy as np
import pytest

pytest.importorskip("dask")

import sarvo_segment as ss  # noqa: E402
from sarvo_segment import cli  # noqa: E402

import segmentation_road as road  # noqa: E402

SCALE = 5.0


def noisy_flow(masks, noise, correlated, seed):
    """The unit flow of `masks` blurred at cell borders, plus noise of amplitude `noise`:
    spatially correlated over a few pixels, or independent per pixel; times SCALE."""
    rng = np.random.default_rng(seed)
    flow = road.blur(ss.flows_of(masks), 1.0)
    if correlated:
        field = np.stack([2.0 * road.smooth_field(masks.shape, 3.0, rng) - 1.0 for _ in range(2)])
        field /= field.std() + 1e-12
    else:
        field = rng.standard_normal((2, *masks.shape))
    return (SCALE * (flow + noise * field)).astype(np.float32)


def speckled_logits(masks, seed, share=0.02):
    """Logits with soft edges and a `share` of pixels flipped: holes in cells, specks outside."""
    logits = 4.0 * road.blur(np.where(masks > 0, 1.0, -1.0), 1.5)
    flipped = np.random.default_rng(seed).random(masks.shape) < share
    logits[flipped] = -logits[flipped]
    return logits.astype(np.float32)


@pytest.fixture(scope="module")
def masks():
    return road.synthetic_mask((192, 176), seed=7)


# A flow threshold that keeps some cells and removes others at these noise levels.
QC = dict(flow_threshold=1.2, min_size=20)


def assert_same_as_whole(flow, logits, tile, margin=16, **kw):
    """Both ways of running the road after flow following (whole-image arrays in this process,
    and scratch files a tile at a time) give the whole image's masks and intermediates."""
    whole = ss.masks_from_flow(flow, logits, details=True, **kw)
    assert whole.n_cells >= 5 and len(whole.removed_flow) + len(whole.removed_small) > 0
    for chunked_from in (flow[0].size + 1, 0):
        tiled = ss.segment_tiled(flow, logits, tile, margin=margin, details=True, workers=2,
                                 chunked_from=chunked_from, **kw)
        np.testing.assert_array_equal(tiled.masks, whole.masks)
        for name in ("displacements", "histogram", "seeds", "grown", "errors", "sizes", "removed_flow",
                     "removed_small", "holes_filled"):
            np.testing.assert_array_equal(getattr(tiled.run, name), getattr(whole, name), err_msg=name)
    return tiled


@pytest.mark.parametrize("noise", [0.5, 1.0])
@pytest.mark.parametrize("correlated", [False, True])
def test_noisy_flows_give_the_whole_images_masks(masks, noise, correlated):
    flow = noisy_flow(masks, noise, correlated, seed=3)
    # The flow error grows with the noise: a threshold that keeps some cells and removes others.
    assert_same_as_whole(flow, speckled_logits(masks, 3), 48, flow_scale=SCALE, min_size=20,
                         flow_threshold=0.6 + 1.6 * noise ** 2)


def test_pixels_travelling_further_than_a_cell_make_small_windows_widen(masks):
    # Read at unit scale, the flow is five times too long, plus a drift across the image:
    # pixels leave their cell and the first windows of 4 pixels of context cannot hold them.
    flow = noisy_flow(masks, 0.5, True, seed=4)
    flow[1] += 2.0
    tiled = assert_same_as_whole(flow, speckled_logits(masks, 4), 40, margin=4, flow_scale=1.0,
                                 flow_threshold=float("inf"), min_size=20)
    assert tiled.widened_tiles > 0 and tiled.margins.max() >= 16
    assert np.all(tiled.margins == 4 * 2 ** tiled.widenings)


def test_nearest_sampling_and_probabilities_give_the_whole_images_masks(masks):
    flow = noisy_flow(masks, 0.5, False, seed=5)
    probability = 1.0 / (1.0 + np.exp(-speckled_logits(masks, 5).astype(np.float64)))
    assert_same_as_whole(flow, probability, 64, flow_scale=SCALE, interpolate=False,
                         probability_kind="probability", **QC)


def test_a_cell_over_two_fifths_of_the_image_is_deleted_as_the_whole_image_deletes_it():
    # The large cell spans many tiles, none of which holds 40 % of the image in it.
    ys, xs = np.mgrid[0:72, 0:60]
    masks = np.zeros((72, 60), np.uint32)
    masks[(ys - 36) ** 2 + (xs - 30) ** 2 < 27 ** 2] = 1
    masks[2:9, 2:9], masks[62:70, 50:58] = 2, 3
    flow, logits = SCALE * ss.flows_of(masks), np.where(masks > 0, 4.0, -4.0).astype(np.float32)
    whole = ss.masks_from_flow(flow, logits, flow_scale=SCALE)
    assert whole[36, 30] == 0 and whole.max() == 2
    tiled = ss.segment_tiled(flow, logits, 16, chunked_from=0, flow_scale=SCALE)
    np.testing.assert_array_equal(tiled, whole)


@pytest.fixture(scope="module")
def pair(masks):
    flow = noisy_flow(masks, 0.5, True, seed=6)
    logits = speckled_logits(masks, 6)
    return flow, logits, ss.masks_from_flow(flow, logits, flow_scale=SCALE, **QC)


@pytest.mark.parametrize("chunked_from", [ss.tiled.CHUNKED_FROM, 0])
def test_sources_and_outputs_of_every_kind_give_the_same_masks(pair, tmp_path, chunked_from):
    da = pytest.importorskip("dask.array")
    zarr = pytest.importorskip("zarr")
    flow, logits, whole = pair
    np.save(tmp_path / "flow.npy", flow)
    np.save(tmp_path / "logits.npy", logits)
    zflow = zarr.open_array(str(tmp_path / "flow.zarr"), mode="w", shape=flow.shape, dtype=flow.dtype,
                            chunks=(2, 50, 70))
    zflow[...] = flow
    lazy = da.from_array(logits, chunks=(70, 50))
    # Output chunks that match no tile: threads writing them must lose no pixel.
    zout = zarr.open_array(str(tmp_path / "out.zarr"), mode="w", shape=whole.shape, dtype=np.uint32,
                           chunks=(37, 53))
    ss.segment_tiled(zflow, lazy, 48, out=zout, workers=2, chunked_from=chunked_from, flow_scale=SCALE, **QC)
    np.testing.assert_array_equal(zout[...], whole)
    mapped = np.load(tmp_path / "flow.npy", mmap_mode="r")
    written = ss.segment_tiled(mapped, tmp_path / "logits.npy", 64, out=tmp_path / "out.npy",
                               chunked_from=chunked_from, scratch=tmp_path, flow_scale=SCALE, **QC)
    np.testing.assert_array_equal(written, whole)
    np.testing.assert_array_equal(np.load(tmp_path / "out.npy"), whole)
    assert not list(tmp_path.glob("sarvo-tiles-*"))          # the scratch files are gone


def test_a_two_process_cluster_gives_the_same_masks_and_reports_every_tile(pair, monkeypatch):
    pytest.importorskip("distributed")
    import dask_batch

    monkeypatch.setattr("sarvo_segment._chunked_run.SHARED_BYTES", 0)     # every table goes to the workers once

    flow, logits, whole = pair
    said = []
    client = dask_batch.local_cluster(2)
    try:
        masks = ss.segment_tiled(flow, logits, 96, client=client, progress=said.append, chunked_from=0,
                                 flow_scale=SCALE, **QC)
    finally:
        client.close()
        client.cluster.close()
    np.testing.assert_array_equal(masks, whole)
    assert [s.split(" followed")[0] for s in said if " followed" in s] == ["tile 1/4", "tile 2/4", "tile 3/4",
                                                                          "tile 4/4"]


@pytest.mark.parametrize("change, error", [
    (lambda f, p: (f[:1], p), "shape (2, Ly, Lx)"),
    (lambda f, p: (f, p[:, :-1]), "disagree"),
    (lambda f, p: (f.astype(np.int32), p), "floating-point"),
])
def test_bad_inputs_are_refused_before_any_tile_runs(pair, change, error):
    flow, logits, _ = pair
    flow, logits = change(flow, logits)
    said = []
    with pytest.raises((ValueError, TypeError), match=error.replace("(", r"\(").replace(")", r"\)")):
        ss.segment_tiled(flow, logits, 64, progress=said.append)
    assert not any("tile" in s for s in said)


@pytest.mark.parametrize("chunked_from", [ss.tiled.CHUNKED_FROM, 0])
def test_a_nan_found_by_one_tile_leaves_an_existing_output_untouched(pair, tmp_path, chunked_from):
    flow, logits, _ = pair
    flow = flow.copy()
    flow[1, 150, 20] = np.nan
    earlier = np.arange(flow[0].size, dtype=np.uint32).reshape(flow.shape[1:])
    np.save(tmp_path / "out.npy", earlier)
    with pytest.raises(ValueError, match="NaN"):
        ss.segment_tiled(flow, logits, 64, out=tmp_path / "out.npy", chunked_from=chunked_from, scratch=tmp_path)
    np.testing.assert_array_equal(np.load(tmp_path / "out.npy"), earlier)
    assert [p.name for p in tmp_path.iterdir()] == ["out.npy"]      # no scratch files left behind


def test_an_image_without_foreground_gives_empty_masks_a_tile_at_a_time(pair):
    flow, logits, _ = pair
    masks = ss.segment_tiled(flow, -np.abs(logits) - 1, 50, chunked_from=0, flow_scale=SCALE)
    assert masks.shape == logits.shape and masks.dtype == np.uint32 and not masks.any()


@pytest.mark.parametrize("tile", [7, 13])
def test_tiles_much_smaller_than_a_cell_give_the_whole_images_road(pair, tile):
    # Every grown piece and background piece spans many cores, seeds of one piece fall in
    # different tiles, and the grid does not divide the image.
    flow, logits, whole = pair
    expected = ss.masks_from_flow(flow, logits, flow_scale=SCALE, details=True, **QC)
    tiled = ss.segment_tiled(flow, logits, tile, margin=16, chunked_from=0, details=True, workers=2,
                             flow_scale=SCALE, **QC)
    np.testing.assert_array_equal(tiled.masks, whole)
    for name in ("histogram", "seeds", "grown", "errors", "holes_filled"):
        np.testing.assert_array_equal(getattr(tiled.run, name), getattr(expected, name), err_msg=name)
    assert expected.holes_filled > 0


def test_the_command_with_tiles_writes_the_whole_images_masks(pair, tmp_path, capsys):
    flow, logits, whole = pair
    np.save(tmp_path / "flow.npy", flow)
    np.save(tmp_path / "logits.npy", logits)
    args = [str(tmp_path / "flow.npy"), str(tmp_path / "logits.npy"), str(tmp_path / "masks.npy"),
            "--flow-scale", str(SCALE), "--flow-threshold", str(QC["flow_threshold"]),
            "--min-size", str(QC["min_size"]), "--tiles", "64", "--workers", "2", "--progress"]
    assert cli.main(args) == 0
    np.testing.assert_array_equal(np.load(tmp_path / "masks.npy"), whole)
    out, err = capsys.readouterr()
    assert f"cells found         {whole.max()}" in out and "tile 9/9 followed" in err
    assert cli.main(args[:3] + ["--tiles", "0"]) == 2
    assert "--tiles" in capsys.readouterr().err


@pytest.mark.parametrize("pull, certified", [(0.0, True), (1.5, False)])
def test_a_core_whose_pixels_reach_the_poisoned_ring_is_not_certified(sf, pull, certified):
    # A sink in the middle of a 48-pixel window; `pull` adds a drift to the right that carries
    # the core's pixels past the window's right side, which is not an image edge.
    from sarvo_segment.tiled import certified_displacements

    ys, xs = np.mgrid[0:48, 0:96].astype(np.float32)
    flow = np.stack([24 - ys, 24 - xs]) / np.hypot(24 - ys, 24 - xs).clip(1)
    flow[1] += pull
    flow = np.ascontiguousarray(flow, np.float32)
    core = (slice(16, 32), slice(16, 32))
    found = certified_displacements(np.ascontiguousarray(flow[:, :, :48]), (0, 0, 0, 2), core, 200, True)
    assert (found is not None) == certified
    if certified:
        whole = sf._steps2D_all(flow.copy(), 200, True)
        np.testing.assert_array_equal(found, whole[:, 16:32, 16:32])


@pytest.mark.parametrize("tile", [1, 5, 16])
@pytest.mark.parametrize("share", [0.3, 0.6])
def test_pieces_numbered_per_core_and_joined_are_the_whole_images_pieces(tile, share):
    ndimage = pytest.importorskip("scipy.ndimage")
    from sarvo_segment._joins import Rim, join_rims, pieces_of
    from sarvo_segment._tiles import tile_grid

    selected = np.random.default_rng(tile).random((37, 29)) < share
    grid = tile_grid(selected.shape, tile, 0)
    cores = [pieces_of(np.ascontiguousarray(selected[t.core])) for t in grid]
    offsets, root = join_rims([Rim.of(c) for c in cores], -(-37 // tile), -(-29 // tile))
    joined = np.zeros(selected.shape, np.int64)
    for t, c in zip(grid, cores):
        joined[t.core] = np.where(c > 0, root[c.astype(np.int64) + offsets[t.index]], 0)
    expected, n = ndimage.label(selected, structure=np.ones((3, 3)))
    # The same partition of the selection: each joined number names exactly one piece and back.
    pairs = np.unique(np.stack([joined[selected], expected[selected]]), axis=1)
    assert pairs.shape[1] == n == len(np.unique(joined[selected])) and not joined[~selected].any()
