"""The larger-than-memory run, small: inputs written chunk by chunk are the field made in
memory, the whole run on a one-worker cluster ends with an exact crop, and the crop check
counts what it compares and what it leaves out; the road benchmark's clock of kernel calls."""
import importlib.util
import pathlib

import numpy as np
import pytest

import sarvo_segment as ss

pytest.importorskip("zarr")
pytest.importorskip("distributed")

import large_input  # noqa: E402
import large_run  # noqa: E402
import segmentation_road as road  # noqa: E402

BENCHMARKS = pathlib.Path(__file__).resolve().parents[2] / "benchmarks"


def test_inputs_written_by_two_processes_are_the_field_made_in_memory(tmp_path):
    plan = large_input.InputPlan(tmp_path, 256, 128, patterns=3)
    flow, probability = large_input.write_inputs(plan, jobs=2)
    expected_flow, expected_logits, truth = large_input.predicted_field(plan)
    np.testing.assert_array_equal(flow[:], expected_flow)
    np.testing.assert_array_equal(probability[:], expected_logits)
    # No cell comes near a chunk's edge, and labels are distinct across chunks.
    blocks = truth.reshape(2, 128, 2, 128)
    assert not blocks[:, :large_input.MARGIN].any() and not blocks[:, -large_input.MARGIN:].any()
    assert not blocks[:, :, :, :large_input.MARGIN].any() and not blocks[:, :, :, -large_input.MARGIN:].any()
    assert all(blocks[i, :, j].any() for i in range(2) for j in range(2))
    assert len(np.unique(truth)) - 1 == truth.max()


@pytest.mark.parametrize("side, chunk", [(300, 128), (256, 16)])
def test_a_plan_that_does_not_tile_into_chunks_with_room_for_cells_is_refused(tmp_path, side, chunk):
    with pytest.raises(ValueError, match="multiple of the chunk"):
        large_input.write_inputs(large_input.InputPlan(tmp_path, side, chunk))
    assert not list(tmp_path.iterdir())


def test_the_run_ends_with_an_exact_crop_and_reports_every_peak(tmp_path, capsys):
    status = large_run.main(["--size", "512", "--chunk", "256", "--tile", "192", "--crop", "256", "--workers", "1",
                             "--memory-limit", "1GiB", "--dir", str(tmp_path / "run")])
    out = capsys.readouterr().out
    assert status == 0, out
    assert "exact" in out and out.count("peak resident, worker") == 1
    assert not (tmp_path / "run").exists()


def test_the_crop_check_compares_inner_cells_in_one_piece_only():
    own = np.zeros((8, 8), np.uint32)
    own[2:4, 2:4] = 1          # inner, equal in both
    own[0:2, 5:7] = 2          # touches a side: left out
    own[5:7, 1:3] = 3          # inner, one pixel fewer in the tiled mask
    own[6, 6] = own[4, 6] = 4  # two pieces: left out
    tiled = own * 10
    tiled[6, 2] = 0
    check = large_run.interior_agreement(own, tiled)
    assert (check.cells, check.equal, check.tiled_cells, check.tiled_equal) == (2, 1, 2, 1)
    assert (check.scattered, check.tiled_scattered) == (1, 1)
    assert check.unmatched.tolist() == [30] and not check.exact


@pytest.mark.parametrize("way", [1, 2, 3])
def test_a_turned_field_carries_the_flow_of_the_turned_mask(way):
    masks = large_input.clear_margin(road.synthetic_mask((96, 112), seed=3), large_input.MARGIN)
    turned, flow, _ = large_input.turned(masks, road.flows_of(masks).astype(np.float64), np.zeros(masks.shape), way)
    np.testing.assert_allclose(flow, road.flows_of(turned), atol=1e-6)


def test_the_crop_check_of_the_whole_image_answer_is_exact_and_leaves_it_as_it_was():
    plan = large_input.InputPlan(pathlib.Path("unused"), 512, 256, patterns=2)
    flow, logits, _ = large_input.predicted_field(plan)
    whole = ss.masks_from_flow(flow, logits, flow_scale=large_input.PREDICTOR_SCALE)
    before = whole.copy()
    check = large_run.check_crop(flow, logits, whole, 256, large_run.crop_origin(512, 256, 256))
    assert check.exact and check.cells > 0
    np.testing.assert_array_equal(whole, before)


def test_the_kernel_clock_times_every_kernel_call_and_puts_the_module_back(sf, monkeypatch):
    monkeypatch.syspath_prepend(str(BENCHMARKS))
    found = importlib.util.spec_from_file_location("road_benchmark", BENCHMARKS / "road.py")
    bench = importlib.util.module_from_spec(found)
    found.loader.exec_module(bench)
    kernels = {name: getattr(sf, name) for name in dir(sf) if not name.startswith("__")}
    with bench.KernelClock(sf) as clock:
        ss.segment(road.synthetic_mask((96, 96), seed=1))
    assert clock.calls == dict.fromkeys(["_masks_to_flow", "_steps2D_all", "p_histogram", "find_seeds", "bfs",
                                         "extend_seed", "renumbering"], 1)
    assert set(clock.seconds) == set(clock.calls) and clock.total > 0
    assert all(getattr(sf, name) is kernel for name, kernel in kernels.items())
