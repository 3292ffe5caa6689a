import importlib
import subprocess
import sys

import _ombrel


def test_module_identity():
    assert _ombrel.__name__ == "_ombrel"
    assert _ombrel.__doc__ == "vorn.ev-backed asyncio event loop (native extension)."
    # A real extension built for this interpreter, not a stray copy.
    from importlib.machinery import EXTENSION_SUFFIXES

    assert _ombrel.__file__.endswith(EXTENSION_SUFFIXES[0])


def test_reimport_and_fresh_interpreter():
    # Single-phase init: importing again yields the same module, and a new
    # interpreter process imports it cleanly.
    assert importlib.import_module("_ombrel") is _ombrel
    out = subprocess.run(
        [sys.executable, "-c", "import _ombrel; print(_ombrel.__doc__)"],
        capture_output=True,
        text=True,
        timeout=60,
        check=True,
    )
    assert out.stdout.strip() == _ombrel.__doc__


def test_package_imports():
    import ombrel

    assert ombrel.__doc__
