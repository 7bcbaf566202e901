"""Progress bars on standard error, for training and for the tamsu command.

A bar is tqdm's when one is shown and tqdm is installed, and otherwise
does nothing: progress is a nicety, never a reason to fail (the tamsu
command says so when --progress asked for bars it cannot show).
"""

from __future__ import annotations

import sys
from typing import Any, Mapping

__all__ = ["Bar", "StageBars", "available", "shown"]


def shown(enabled: bool | None) -> bool:
    """Whether a bar is shown: as `enabled` says, by default (None) when
    standard error is a terminal."""
    return sys.stderr.isatty() if enabled is None else enabled


def available() -> bool:
    """Whether bars can be shown at all (tqdm is installed)."""
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


class Bar:
    """One bar of `total` steps (None: not known) counted in `unit`,
    labelled `label`; left off the screen once closed. Counts are whole
    numbers ("12/2700 entries"); only bytes ("B") are scaled (kB, MB)."""

    def __init__(self, enabled: bool | None, total: int | None, unit: str,
                 label: str | None = None) -> None:
        self._bar: Any = None
        if not shown(enabled):
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        scaled = unit == "B"
        self._bar = tqdm(total=total, desc=label,
                         unit=unit if scaled else " " + unit,
                         unit_scale=scaled, unit_divisor=1024 if scaled
                         else 1000, file=sys.stderr, leave=False)

    def __enter__(self) -> Bar:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def update(self, steps: int = 1) -> None:
        """Counts `steps` more steps done."""
        if self._bar is not None:
            self._bar.update(steps)
            self._show_end(False)

    def reach(self, done: int, total: int) -> None:
        """Moves the bar to `done` of `total` (a total that changed is
        taken as it is, and shown at once: a stage that ends early, as
        alignment does when it converges, is seen to end)."""
        bar = self._bar
        if bar is not None:
            changed = bar.total != total
            bar.total = total
            bar.update(done - bar.n)
            self._show_end(changed)

    def _show_end(self, changed: bool) -> None:
        """Draws the bar now if its total changed or it is complete: tqdm
        draws at most ten times a second, and would leave a short stage's
        bar drawn part of the way."""
        bar = self._bar
        if changed or (bar.total is not None and bar.n >= bar.total):
            bar.refresh()

    def note(self, text: str) -> None:
        """Shows `text` after the count."""
        if self._bar is not None:
            self._bar.set_postfix_str(text)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


class StageBars:
    """A bar for each stage of a task that reports (stage, done, total),
    as the trainer does: `units` names each stage's steps ("steps" when
    it names none)."""

    def __init__(self, enabled: bool | None, units: Mapping[str, str]) -> None:
        self._enabled = enabled
        self._units = units
        self._stage: str | None = None
        self._bar: Bar | None = None

    def __call__(self, stage: str, done: int, total: int) -> None:
        if stage != self._stage or self._bar is None:
            self.close()
            self._stage = stage
            self._bar = Bar(self._enabled, total,
                            self._units.get(stage, "steps"), stage)
        self._bar.reach(done, total)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None
