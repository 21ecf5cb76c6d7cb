"""A progress bar on stderr: tqdm's when it is installed, else a plain one."""

import sys
import time
from typing import Callable, Optional, TextIO


class _Plain:
    """Redraws one line on a terminal; elsewhere writes a line every tenth of the way."""

    def __init__(self, label: str, total: int, stream: TextIO):
        self.label, self.total, self.stream = label, max(total, 1), stream
        self.done = 0
        self.start = time.perf_counter()
        self.shown = -1.0
        self.tty = stream.isatty()

    def __call__(self, step: int) -> None:
        self.done += step
        share = min(1.0, self.done / self.total)
        now = time.perf_counter()
        finished = self.done >= self.total
        if self.tty:
            if finished or now - self.shown >= 0.2:
                bar = "#" * int(share * 30)
                self.stream.write(
                    f"\r{self.label}: [{bar:<30}] {self.done}/{self.total} {now - self.start:.1f} s"
                )
                self.shown = now
                if finished:
                    self.stream.write("\n")
        elif finished or int(share * 10) > int(self.shown * 10):
            self.stream.write(f"{self.label}: {self.done}/{self.total} {now - self.start:.1f} s\n")
            self.shown = share
        self.stream.flush()


def bar(label: str, total: int, stream: Optional[TextIO] = None) -> Callable[[int], None]:
    """A callable that advances a bar by the number of enrolments done."""
    out = stream or sys.stderr
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return _Plain(label, total, out)
    progress = tqdm(total=total, desc=label, unit="enrolment", file=out, leave=True)

    def advance(step: int) -> None:
        progress.update(step)
        if progress.n >= total:
            progress.close()

    return advance
