"""The shipped stubs describe the runtime exactly, and the example strategy type-checks strictly against them."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
pytest.importorskip("mypy")


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=600)


def test_stubs_match_the_built_module(tmp_path):
    # Run away from the source tree, so that only the installed module and stub package are seen.
    result = mypy("mypy.stubtest", "kavno", "--mypy-config-file", str(tmp_path / "none.ini"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_catch_a_wrong_stub(tmp_path):
    stub = next(pathlib.Path(p) for p in sys.path if (pathlib.Path(p) / "kavno-stubs").is_dir()) / "kavno-stubs"
    broken = tmp_path / "kavno"
    broken.mkdir()
    (broken / "__init__.pyi").write_text((stub / "__init__.pyi").read_text().replace("decimals: SupportsIndex", "places: SupportsIndex"))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "kavno", "--mypy-config-file",
                             str(tmp_path / "none.ini")], capture_output=True, text=True, cwd=tmp_path,
                            env={**os.environ, "MYPYPATH": str(tmp_path)}, timeout=600)
    assert result.returncode != 0 and "safe_float" in result.stdout


@pytest.mark.skipif(not (ROOT / "examples" / "strategy.py").is_file(), reason="examples are not beside the tests")
def test_example_strategy_passes_mypy_strict(tmp_path):
    result = mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(ROOT / "examples" / "strategy.py"),
                  cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
