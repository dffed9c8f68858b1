"""What a user would pick instead of the flow-following kernel: a loop of bilinear steps with
torch.nn.functional.grid_sample (on the CPU, one thread) or with scipy.ndimage.map_coordinates.
Every pixel starts on itself and takes n_steps Euler steps along the field, its position
clamped to the image. torch is optional: torch_steps is None when it does not import."""
import numpy as np
from scipy import ndimage

try:
    import torch
    import torch.nn.functional as F
except ImportError:  # the benchmarks run without torch; the row says so
    torch = None


def map_coordinates_steps(flow, n_steps):
    """flow: float32 (2, ly, lx). Returns the final positions (2, ly, lx)."""
    ly, lx = flow.shape[1:]
    pos = np.mgrid[:ly, :lx].astype(np.float32)
    upper = np.array([ly - 1, lx - 1], np.float32)[:, None, None]
    for _ in range(n_steps):
        step = np.stack([ndimage.map_coordinates(flow[c], pos, order=1, mode="nearest") for c in (0, 1)])
        pos = np.clip(pos + step, 0, upper)
    return pos


def _torch_steps(flow, n_steps):
    """The same loop with grid_sample; its grid holds (x, y) in [-1, 1] (corners aligned)."""
    torch.set_num_threads(1)
    ly, lx = flow.shape[1:]
    with torch.no_grad():
        field = torch.from_numpy(np.ascontiguousarray(flow[::-1]))[None]  # channels (x, y)
        ys, xs = torch.meshgrid(torch.arange(ly, dtype=torch.float32), torch.arange(lx, dtype=torch.float32),
                                indexing="ij")
        pos = torch.stack([xs, ys], -1)[None]
        scale = torch.tensor([2 / max(lx - 1, 1), 2 / max(ly - 1, 1)])
        upper = torch.tensor([lx - 1, ly - 1], dtype=torch.float32)
        for _ in range(n_steps):
            step = F.grid_sample(field, pos * scale - 1, mode="bilinear", padding_mode="border", align_corners=True)
            pos = torch.minimum(torch.clamp(pos + step.permute(0, 2, 3, 1), min=0), upper)
    return pos[0].permute(2, 0, 1).numpy()[::-1]


torch_steps = _torch_steps if torch is not None else None


def torch_version():
    return None if torch is None else torch.__version__
