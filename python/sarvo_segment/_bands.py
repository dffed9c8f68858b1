"""Whole-image passes a band of rows at a time. A band's temporaries stay in a core's caches
and in memory the allocator already holds; full-image temporaries would be fresh mappings
that the system hands out, and clears, a page at a time on every call."""
from __future__ import annotations

from collections.abc import Iterator

# Bytes of the widest array a band reads: about a core's L2 cache.
BAND_BYTES = 1 << 20


def row_bands(stop: int, row_bytes: int, start: int = 0) -> Iterator[slice]:
    """Slices of consecutive rows, together start … stop, each about BAND_BYTES of rows of
    `row_bytes` (at least one row)."""
    step = max(1, BAND_BYTES // max(1, row_bytes))
    for top in range(start, stop, step):
        yield slice(top, min(top + step, stop))
