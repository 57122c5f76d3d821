"""The shipped stubs describe the runtime exactly, and the example strategy type-checks strictly against them with
mypy --strict and basedpyright; comparing members of two enumeration classes is flagged by both."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
pytest.importorskip("mypy")
BASEDPYRIGHT = pathlib.Path(sys.executable).with_name("basedpyright")


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=600)


@pytest.mark.parametrize("module", ["kavno", "kavno_feed"])
def test_stubs_match_the_built_module(tmp_path, module):
    # Run away from the source tree, so that only the installed module and stub package are seen.
    result = mypy("mypy.stubtest", module, "--mypy-config-file", str(tmp_path / "none.ini"), cwd=tmp_path)
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
@pytest.mark.parametrize("example", ["strategy.py", "backtest.py", "generate.py", "plots.py"])
def test_examples_pass_mypy_strict(tmp_path, example):
    result = mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(ROOT / "examples" / example),
                  cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.skipif(not (ROOT / "examples" / "strategy.py").is_file(), reason="examples are not beside the tests")
def test_example_strategy_passes_basedpyright(tmp_path):
    if not BASEDPYRIGHT.exists():
        pytest.skip("basedpyright is not installed")
    result = subprocess.run([str(BASEDPYRIGHT), "--pythonpath", sys.executable, str(ROOT / "examples" / "strategy.py")],
                            capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert result.returncode == 0 and "0 errors, 0 warnings" in result.stdout, result.stdout


COMPARISONS = """\
from kavno import OrderStatus, TradeKind, TradeSide, TradeType

same_class: bool = TradeKind.Spot == TradeKind.Future
with_an_int: bool = OrderStatus.Filled == 3
int_first: bool = 3 == OrderStatus.Filled
with_a_bool: bool = TradeSide.Short != True
other_class: bool = TradeKind.Spot == TradeType.Limit
other_class_not: bool = TradeKind.Spot != TradeType.Limit
"""


def test_comparing_members_of_different_classes_is_flagged(tmp_path):
    source = tmp_path / "comparisons.py"
    source.write_text(COMPARISONS)
    flagged = {7, 8}  # the last two lines
    result = mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(source), cwd=tmp_path)
    lines = {int(m) for m in re.findall(r"comparisons\.py:(\d+): error: Unsupported operand types", result.stdout)}
    assert lines == flagged, result.stdout
    if BASEDPYRIGHT.exists():
        result = subprocess.run([str(BASEDPYRIGHT), "--pythonpath", sys.executable, str(source)],
                                capture_output=True, text=True, cwd=tmp_path, timeout=600)
        lines = {int(m) for m in re.findall(r"comparisons\.py:(\d+):\d+ - error: Operator", result.stdout)}
        assert lines == flagged, result.stdout
