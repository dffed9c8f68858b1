"""Wall time per stage of a run, told to a progress callback as each stage starts."""
from __future__ import annotations

import sys
import time
from dataclasses import dataclass, field
from typing import Callable

Progress = Callable[[str], None]


@dataclass
class Stopwatch:
    """Wall time per named stage, in the order the stages ran; tells `progress` as each starts.
    A stage that runs twice adds up."""
    progress: Progress | None = None
    seconds: dict[str, float] = field(default_factory=dict)
    _name: str | None = None
    _t0: float = 0.0

    def stage(self, name: str) -> None:
        self.stop()
        if self.progress is not None:
            self.progress(name)
        self._name, self._t0 = name, time.perf_counter()

    def stop(self) -> None:
        if self._name is not None:
            self.seconds[self._name] = self.seconds.get(self._name, 0.0) + time.perf_counter() - self._t0
            self._name = None


class StageLines:
    """A progress callback: each stage's name with the time since it was made, on stderr, so
    that stdout stays a report. Silent until `enabled`."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled
        self.t0 = time.perf_counter()

    def __call__(self, stage: str) -> None:
        if self.enabled:
            print(f"[{time.perf_counter() - self.t0:7.2f} s] {stage}", file=sys.stderr, flush=True)
