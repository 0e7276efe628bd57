import os
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def console():
    """Runs the console program (FASTLIC_BINARY, as ctest sets it, or build/fastlic)."""
    binary = os.environ.get("FASTLIC_BINARY") or str(ROOT / "build" / "fastlic")
    if not os.access(binary, os.X_OK):
        pytest.skip(f"no console program at {binary}: set FASTLIC_BINARY")

    def run(*args, cwd=None):
        subprocess.run([binary, *map(str, args)], cwd=cwd, check=True)

    return run
