"""The tiled road: overlapping tiles stitched into exactly the whole image's segmentation, the
same on threads, on a two-process cluster and through .npy files."""

import numpy as np
import pytest

pytest.importorskip("dask")

import segmentation_road as road  # noqa: E402
import tiled_road  # noqa: E402


@pytest.fixture(scope="module")
def image():
    """512 x 512 cells, with the whole-image segmentation and the overlap it needs."""
    masks = road.synthetic_mask((512, 512), diameter=(10.0, 30.0), seed=11)
    return masks, road.segment(masks).masks, tiled_road.required_overlap(tiled_road.largest_cell(masks))


def corner_cells(masks, tile):
    """Labels with pixels in all four cores around some interior tile corner."""
    found = set()
    for y in range(tile, masks.shape[0], tile):
        for x in range(tile, masks.shape[1], tile):
            quads = [masks[y - tile:y, x - tile:x], masks[y - tile:y, x:x + tile],
                     masks[y:y + tile, x - tile:x], masks[y:y + tile, x:x + tile]]
            common = set.intersection(*(set(np.unique(q).tolist()) for q in quads)) - {0}
            found |= common
    return found


@pytest.mark.parametrize("tile", [128, 100])
def test_tiles_with_the_needed_overlap_give_the_whole_image_segmentation(image, tile):
    masks, whole, overlap = image
    run = tiled_road.TiledRun(0, 0, [], 0.0)
    tiled = tiled_road.segment_tiled(masks, tile, overlap, workers=2, report=run)
    # The same pixels for every cell, and every cell once: the pixel pairs are a bijection.
    np.testing.assert_array_equal(tiled > 0, whole > 0)
    pt, pf, iou = road.overlaps(whole, tiled)
    n = int(whole.max())
    assert len(pt) == n and np.all(iou == 1.0)
    assert sorted(pt.tolist()) == list(range(1, n + 1)) and sorted(pf.tolist()) == list(range(1, n + 1))
    assert (run.n_cells, run.orphan_pixels) == (n, 0)
    # Cells cross tile borders and corners, and come back whole.
    assert corner_cells(tiled, tile)


def test_cells_are_numbered_by_the_row_major_order_of_their_seeds(image):
    masks, _, overlap = image
    tiled = tiled_road.segment_tiled(masks, 128, overlap)
    seeds = road.segment(road.relabel_consecutive(masks)).seeds
    first_seed_label = tiled[seeds[:, 0], seeds[:, 1]]
    labels, first = np.unique(first_seed_label, return_index=True)
    # The first seed of cell k + 1 comes after that of cell k.
    assert labels[0] == 1 and np.all(np.diff(first) > 0) and len(labels) == tiled.max()


@pytest.mark.parametrize("overlap, orphans", [(0, False), (6, True)])
def test_a_short_overlap_still_keeps_each_cell_once(image, overlap, orphans):
    masks, whole, _ = image
    run = tiled_road.TiledRun(0, 0, [], 0.0)
    tiled = tiled_road.segment_tiled(masks, 128, overlap, report=run)
    # Numbers 1 … n, each held by the tile of its seed; cells cut by a window differ.
    assert np.array_equal(np.unique(tiled), np.arange(run.n_cells + 1))
    agree = tiled_road.agreement(whole, tiled)
    assert agree.identical < agree.n_whole
    assert agree.merged <= agree.n_whole - agree.identical
    # Pixels of cells that their seed's tile did not keep are orphans (none when windows are
    # cores); the whole-image fill gives them a neighbouring label, as every unclaimed pixel.
    assert (run.orphan_pixels > 0) == orphans and not np.any((tiled == 0) & (masks > 0))


def test_threads_a_two_process_cluster_and_npy_files_give_the_same_mask(image, tmp_path, module_path):
    pytest.importorskip("distributed")
    import dask_batch

    masks, whole, overlap = image
    np.save(tmp_path / "in.npy", masks.astype(np.uint16))
    threads = tiled_road.segment_tiled(masks, 128, overlap, workers=2)
    client = dask_batch.local_cluster(2)
    try:
        on_cluster = tiled_road.segment_tiled(masks, 128, overlap, client)
        through_files = tiled_road.segment_tiled(tmp_path / "in.npy", 128, overlap, client, out=tmp_path / "out.npy")
    finally:
        client.close()
        client.cluster.close()
    np.testing.assert_array_equal(on_cluster, threads)
    np.testing.assert_array_equal(through_files, threads)
    np.testing.assert_array_equal(np.load(tmp_path / "out.npy"), threads)


def test_a_lazy_dask_array_is_read_window_by_window(image):
    da = pytest.importorskip("dask.array")
    masks, _, overlap = image
    lazy = da.from_array(masks, chunks=(96, 96))
    np.testing.assert_array_equal(tiled_road.segment_tiled(lazy, 160, overlap),
                                  tiled_road.segment_tiled(masks, 160, overlap))


@pytest.mark.parametrize("shape, tile, overlap", [((10, 7), 4, 2), ((8, 8), 8, 3), ((5, 9), 20, 0)])
def test_cores_cover_the_image_once_and_windows_add_the_overlap(shape, tile, overlap):
    seen = np.zeros(shape, int)
    for t in tiled_road.tile_grid(shape, tile, overlap):
        seen[t.core] += 1
        (cy, cx), (wy, wx) = t.core, t.window
        assert (wy.start, wx.start) == (max(cy.start - overlap, 0), max(cx.start - overlap, 0))
        assert (wy.stop, wx.stop) == (min(cy.stop + overlap, shape[0]), min(cx.stop + overlap, shape[1]))
    assert np.all(seen == 1)


@pytest.mark.parametrize("labels", [np.array([[0, 9, 9], [4, 0, 70]]), np.array([[2**31, 5], [0, 5]], np.int64),
                                    np.zeros((2, 2), np.uint8)], ids=["table", "wide range", "empty"])
def test_window_labels_are_numbered_like_relabel_consecutive(labels):
    np.testing.assert_array_equal(tiled_road.relabel_window(labels), road.relabel_consecutive(labels))


@pytest.mark.parametrize("masks, tile, overlap, message", [
    (np.zeros((4, 4, 2), np.uint32), 2, 0, "two dimensions"),
    (np.zeros((4, 4), np.float32), 2, 0, "integers"),
    (np.array([[0, -1], [1, 1]]), 2, 0, "negative"),
    (np.zeros((4, 4), np.uint32), 0, 0, "at least 1"),
    (np.zeros((4, 4), np.uint32), 2, -1, "at least 0"),
])
def test_unusable_input_is_refused_before_anything_is_written(tmp_path, masks, tile, overlap, message):
    with pytest.raises(ValueError, match=message):
        tiled_road.segment_tiled(masks, tile, overlap, out=tmp_path / "out.npy")
    assert not (tmp_path / "out.npy").exists()


@pytest.mark.parametrize("width", [200, 60], ids=["cell under 40 % of the image", "cell over 40 % of the image"])
def test_the_40_percent_rule_counts_the_whole_image_not_a_window(width):
    # A 20 x 40 cell beside narrow ones: over 40 % of the window of the first 8-pixel tile,
    # and of the whole image only when that is 60 wide.
    masks = np.zeros((20, width), np.uint32)
    masks[:, :40] = 1
    for k, x in enumerate(range(42, width - 10, 12)):
        masks[:, x:x + 10] = k + 2
    overlap = tiled_road.required_overlap(tiled_road.largest_cell(masks))
    whole = road.segment(masks).masks
    tiled = tiled_road.segment_tiled(masks, 8, overlap)
    np.testing.assert_array_equal(tiled, whole)


def test_threads_writing_a_zarr_array_of_other_chunks_lose_no_pixel(image, tmp_path):
    zarr = pytest.importorskip("zarr")
    masks, whole, overlap = image
    out = zarr.open_array(str(tmp_path / "out.zarr"), mode="w", shape=masks.shape, dtype=np.uint32, chunks=(96, 96))
    tiled_road.segment_tiled(masks, 64, overlap, out=out, workers=4)
    np.testing.assert_array_equal(out[...], tiled_road.segment_tiled(masks, 64, overlap))


def test_pixels_no_seed_claims_are_filled_as_the_whole_image_fills_them():
    # 2 x 2 specks hold no seed (counts of 4): fill_holes labels them by walks through the
    # background that start at the image's top row, which no window has.
    masks = road.synthetic_mask((256, 256), diameter=(10.0, 30.0), seed=11, coverage=0.6)
    n = int(masks.max())
    for y, x in np.random.default_rng(0).integers(2, 250, size=(150, 2)):
        if not masks[y - 1:y + 3, x - 1:x + 3].any():
            n += 1
            masks[y:y + 2, x:x + 2] = n
    masks = road.relabel_consecutive(masks)
    overlap = tiled_road.required_overlap(tiled_road.largest_cell(masks))
    np.testing.assert_array_equal(tiled_road.segment_tiled(masks, 64, overlap), road.segment(masks).masks)
