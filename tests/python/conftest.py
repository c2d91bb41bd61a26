"""Simulated lenses for the binding's tests: each a kelvaro-lens-sim program on a pty."""

from __future__ import annotations

import os
import re
import select
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Iterator, List, Optional

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "python"))

HANG = 10.0  # seconds after which a simulator or an answer counts as hung


class Simulator:
    def __init__(self, program: str, folder: Path, index: int, args: List[str]) -> None:
        self.link = str(folder / f"lens{index}")
        control = folder / f"control{index}"
        ready = folder / f"ready{index}"
        self.process = subprocess.Popen(
            [program, "--link", self.link, "--control-link", str(control), "--ready-file", str(ready),
             "--speed", "0", *args],
            stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + HANG
        while not ready.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"the simulator did not come up (exit {self.process.poll()})")
            time.sleep(0.005)
        self._control = os.open(str(control), os.O_RDWR | os.O_NOCTTY)
        self._pending = b""

    def command(self, line: str) -> str:
        """Sends one control command; returns its answer after "ok", fails on "err"."""
        os.write(self._control, line.encode() + b"\n")
        deadline = time.monotonic() + HANG
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._control], [], [], left)[0]:
                raise TimeoutError(f"no answer to {line!r}")
            self._pending += os.read(self._control, 4096)
        answer, self._pending = self._pending.split(b"\n", 1)
        text = answer.decode().rstrip("\r")
        assert text.startswith("ok"), f"{line!r} -> {text!r}"
        return text[3:]

    def frames(self) -> List[str]:
        return self.command("frames").split()

    def state(self) -> dict:
        words = self.command("state").split()
        return dict(zip(words[::2], words[1::2]))

    def stop(self) -> None:
        os.close(self._control)
        self.process.terminate()
        try:
            self.process.wait(HANG)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


@pytest.fixture
def library_env() -> dict:
    """The environment a child Python needs to import kelvaro and find the library."""
    path = os.environ.get("KELVARO_LIBRARY")
    if not path:
        pytest.skip("KELVARO_LIBRARY is not set (ctest sets it)")
    return {**os.environ, "KELVARO_LIBRARY": path, "PYTHONPATH": str(REPO / "python"),
            "PYTHONDONTWRITEBYTECODE": "1"}


@pytest.fixture
def start_lens(tmp_path: Path, library_env: dict) -> Iterator[Callable[..., Simulator]]:
    """start_lens(*simulator_args) -> a running Simulator, stopped after the test."""
    program = os.environ.get("KELVARO_LENS_SIM", "")
    if not program:
        pytest.skip("KELVARO_LENS_SIM is not set (ctest sets it)")
    running: List[Simulator] = []

    def start(*args: str) -> Simulator:
        simulator = Simulator(program, tmp_path, len(running), list(args))
        running.append(simulator)
        return simulator

    yield start
    for simulator in running:
        simulator.stop()


@pytest.fixture
def sim(start_lens: Callable[..., Simulator]) -> Simulator:
    return start_lens()


def readme_block(heading: str, language: str) -> Optional[str]:
    """The first ```language block in the README's section `heading` (KELVARO_README overrides)."""
    text = Path(os.environ.get("KELVARO_README") or REPO / "README.md").read_text()
    # Lines up to the block may be anything but another heading.
    block = re.search(rf"^{re.escape(heading)}\n(?:(?!#{{1,3}} )[^\n]*\n)*?```{language}\n(.*?)^```", text, re.M | re.S)
    return block.group(1) if block else None
