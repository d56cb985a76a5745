"""Fixtures: a `pelionp serve --sim` started for the tests.

The program is $PELIONP_TOOL, or the release build's in this tree.
"""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
from typing import Iterator, List

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import pelionp  # noqa: E402

ROOT = HERE.parent.parent
START_TIMEOUT = 60.0


def tool_path() -> pathlib.Path:
    given = os.environ.get("PELIONP_TOOL")
    if given:
        path = pathlib.Path(given)
        if not path.exists():
            pytest.fail(f"PELIONP_TOOL={given} does not exist")
        return path
    path = ROOT / "build" / "release" / "tools" / "pelionp"
    if not path.exists():
        pytest.skip(f"no pelionp program at {path} (set PELIONP_TOOL)")
    return path


class Served:
    """A running `pelionp serve`: its process, URL and output folder."""

    def __init__(self, args: List[str], out: pathlib.Path, token: str | None = None) -> None:
        self.out = out
        self.log = open(out.parent / f"{out.name}.log", "wb")
        self.process = subprocess.Popen([str(tool_path()), "serve", "--listen", "127.0.0.1:0", "--out", str(out), *args],
                                        stdout=subprocess.PIPE, stderr=self.log)
        self.url = ""
        assert self.process.stdout is not None
        while True:
            line = self.process.stdout.readline().decode()
            if not line:
                raise RuntimeError(f"pelionp serve ended before listening (log {self.log.name})")
            if line.startswith("Listening on "):
                self.url = line.split()[2].removesuffix("/api/v1/")
                break
        self.client = pelionp.Client(self.url, token=token)

    def stop(self) -> int:
        """Asks the service to stop; its exit status."""
        if self.process.poll() is None:
            try:
                self.client.shutdown()
            except Exception:
                self.process.terminate()
        code = self.process.wait(timeout=30)
        self.log.close()
        return code


@pytest.fixture(scope="module")
def served(tmp_path_factory) -> Iterator[Served]:
    """One service per test module, AP rings one second long."""
    s = Served(["--sim", "--ring-seconds", "1"], tmp_path_factory.mktemp("recordings"))
    yield s
    assert s.stop() == 0


@pytest.fixture
def client(served: Served) -> Iterator[pelionp.Client]:
    """The module's client, its service idle before and after the test."""
    c = served.client
    yield c
    state = c.status()["state"]
    if state == "recording":
        c.stop_recording()
    elif state == "streaming":
        c.stop_streaming()
