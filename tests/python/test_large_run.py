"""The larger-than-memory run, small: inputs written chunk by chunk are the field made in
memory, the whole run on a one-worker cluster ends with an exact crop, and the crop check
counts what it compares and what it leaves out."""
import numpy as np
import pytest

pytest.importorskip("zarr")
pytest.importorskip("distributed")

import large_input  # noqa: E402
import large_run  # noqa: E402


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
