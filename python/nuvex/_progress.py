# Messages and progress of one solver call: log lines to the "nuvex" logger (or, with verbose, to
# the standard streams as the solver prints them), table-building and Monte Carlo progress as tqdm bars.
from __future__ import annotations

import logging
import sys
from typing import Any

logger = logging.getLogger("nuvex")

# solver message levels: 0 debug trace, 1 log line, 2 text block, 3 "[output]" notice, 4 warning
_PY_LEVEL = {0: logging.DEBUG, 1: logging.INFO, 2: logging.INFO, 3: logging.INFO, 4: logging.WARNING}

# progress stages worth a bar, with their labels; the era marks (HT, MT, LT, done) take milliseconds
_BAR_STAGES = {
    "electron": "electron-positron table",
    "qed": "QED pressure tables",
    "weak": "weak-rate table",
    "thermal": "thermal-correction table",
    "decay": "decay era",
    "mc": "Monte Carlo",
    "scan": "scan",
}


class Reporter:
    """Receives the messages and progress reports of one call (on the calling thread).

    ``verbose``: print messages as the solver would (log lines and notices on stdout, warnings on
    stderr) instead of logging them. ``bars``: show tqdm bars for long stages.
    """

    def __init__(self, verbose: bool = False, bars: bool = True) -> None:
        self.verbose = bool(verbose)
        self.bars = bool(bars)
        self._bar: Any = None
        self._stage = ""

    @property
    def message_level(self) -> int:
        """Lowest solver level worth formatting, so that unwanted messages cost nothing."""
        if self.verbose or logger.isEnabledFor(logging.DEBUG):
            return 0
        if logger.isEnabledFor(logging.INFO):
            return 1
        return 4

    def on_message(self, level: int, tag: str, text: str) -> None:
        if self.verbose:
            self._print(level, tag, text)
            return
        py_level = _PY_LEVEL.get(level, logging.INFO)
        if logger.isEnabledFor(py_level):
            text = text.rstrip("\n")
            # notices and warnings carry their bracketed prefix already; log lines get their tag
            form = "%s" if text.startswith("[") else f"[{tag}] %s"
            logger.log(py_level, form, text, extra={"nuvex_tag": tag, "nuvex_level": level})

    def _print(self, level: int, tag: str, text: str) -> None:
        if self._bar is not None:
            self._bar.clear()
        if level == 1:
            sys.stdout.write(f"[{tag}-c] {text}\n")
        elif level == 2:
            sys.stdout.write(text)
        elif level == 3:
            sys.stdout.write(text + "\n")
        else:
            sys.stderr.write(text + "\n")

    def on_progress(self, stage: str, done: float, total: float) -> None:
        if not self.bars or stage not in _BAR_STAGES or total <= 0:
            return
        try:
            if stage != self._stage:
                self.close()
                self._open(stage, total)
            bar = self._bar
            whole = float(total).is_integer() and float(done).is_integer()
            bar.total = int(total) if whole else total
            bar.n = int(min(done, total)) if whole else min(done, total)
            bar.refresh()
        except Exception:  # a broken terminal must not end the computation
            self.bars = False

    def _open(self, stage: str, total: float) -> None:
        from tqdm.auto import tqdm

        integral = float(total).is_integer()
        self._stage = stage
        self._bar = tqdm(total=int(total) if integral else total, desc=_BAR_STAGES[stage], file=sys.stderr,
                         unit=" samples" if stage == "mc" else " pts", dynamic_ncols=True, leave=stage in ("mc", "scan"))

    def close(self) -> None:
        if self._bar is not None:
            try:
                self._bar.close()
            except Exception:
                pass
        self._bar = None
        self._stage = ""

    def __enter__(self) -> "Reporter":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
