"""Progress on a terminal: a bar of the steps of one command (reading,
comparing, writing); nothing on a pipe or with --quiet."""

from __future__ import annotations

from typing import Any

from ..reports.text import printable

__all__ = ["Steps"]


class Steps:
    """A progress bar of the steps of one command (a no-op when not shown)."""

    def __init__(self, shown: bool, steps: int = 0) -> None:
        self.bar: Any = None
        if shown:
            from tqdm import tqdm

            self.bar = tqdm(total=steps, unit="step", leave=False)

    def __enter__(self) -> Steps:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.close()

    def add(self, steps: int) -> None:
        if self.bar is not None:
            self.bar.total += steps
            self.bar.refresh()

    def doing(self, what: str) -> None:
        if self.bar is not None:
            self.bar.set_description_str(printable(what)[-40:])

    def done(self) -> None:
        if self.bar is not None:
            self.bar.update()
