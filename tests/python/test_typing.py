import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

TOP = Path(__file__).resolve().parents[2]
PROGRAM = TOP / "tests" / "typing" / "user_program.py"


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_user_program_passes_mypy_strict():
    # The package's own sources and its stub for the extension, as a user
    # with the wheel installed sees them; no cache, so no stale answers.
    env = dict(os.environ, MYPYPATH=str(TOP / "python"))
    out = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--cache-dir",
            os.devnull,
            "--config-file",
            str(PROGRAM.with_name("mypy.ini")),
            str(PROGRAM),
        ],
        cwd=TOP,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert out.returncode == 0, out.stdout + out.stderr


def test_user_program_runs():
    # The types it was checked against hold at run time (the overloads of
    # open give the file kind the mode asks for).
    out = subprocess.run(
        [sys.executable, "-X", "dev", "-W", "error", str(PROGRAM)], capture_output=True, text=True, timeout=120
    )
    assert out.returncode == 0, out.stdout + out.stderr
    assert out.stdout == "first,second,third 2 7\n"


OPEN_SPELLINGS = """
from typing import assert_type
import ombrel

async def spellings(path: str, mode: str) -> None:
    async with ombrel.open(path, "rb") as b:
        assert_type(b, ombrel.AsyncFile)
    async with ombrel.open(path, "w", encoding="utf-8") as t:
        assert_type(t, ombrel.AsyncTextFile)
    assert_type(await ombrel.open(3, "r+b", closefd=False), ombrel.AsyncFile)
    assert_type(await ombrel.open(path, opener=lambda p, f: 3), ombrel.AsyncTextFile)
    assert_type(await ombrel.open(path, mode), ombrel.AsyncFile | ombrel.AsyncTextFile)
"""


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_open_is_typed_by_mode_both_awaited_and_in_async_with(tmp_path):
    program = tmp_path / "spellings.py"
    program.write_text(OPEN_SPELLINGS)
    env = dict(os.environ, MYPYPATH=str(TOP / "python"))
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull]
        + ["--config-file", str(PROGRAM.with_name("mypy.ini")), str(program)],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert out.returncode == 0, out.stdout + out.stderr
