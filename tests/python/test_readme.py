"""The README's examples run as they stand: the producer example is examples/engine.cpp, which compiles against
include/ and makes a Candle; the strategy test, the backtest commands and the dozen-line backtest run word for word.
(tools/follow-readme, run by `make test`, follows the README's build commands in a fresh venv.)"""

import datetime as dt
import os
import pathlib
import re
import subprocess
import sys

import pytest

import kavno

ROOT = pathlib.Path(__file__).resolve().parents[2]


def readme_example():
    text = (ROOT / "README.md").read_text()
    match = re.search(r"A complete producer, `examples/engine.cpp`.*?```cpp\n(.*?)```", text, re.S)
    assert match, "the README lost its producer example"
    return match.group(1)


def test_the_readme_shows_examples_engine_cpp():
    source = (ROOT / "examples" / "engine.cpp").read_text()
    assert "\n".join(line for line in source.splitlines() if not line.startswith("//")) + "\n" == readme_example()


def test_the_readme_producer_compiles_and_makes_a_candle(compile_extension):
    engine = compile_extension("engine", (ROOT / "examples" / "engine.cpp").read_text())
    bar = engine.latest_candle()
    assert type(bar) is kavno.Candle
    assert bar.open_time == dt.datetime(2024, 3, 15, 10, 30, tzinfo=dt.timezone.utc)
    assert bar.close_time == dt.datetime(2024, 3, 15, 10, 30, 59, 999000, tzinfo=dt.timezone.utc)
    assert (bar.code, bar.close, bar.trades, bar.interval) == ("BTCUSDT", 71200.0, 1204, kavno.CandleInterval.Min1)


def readme_block(after, language):
    """The first ```language block after the text `after`."""
    text = (ROOT / "README.md").read_text()
    match = re.search(rf"{re.escape(after)}.*?```{language}\n(.*?)```", text, re.S)
    assert match, f"the README lost its {language} block after {after!r}"
    return match.group(1)


@pytest.fixture
def reader_dir(tmp_path):
    """A working folder as a reader's checkout looks from the README: examples/ at hand, the venv's python first."""
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    environment = dict(os.environ, PATH=f"{pathlib.Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}",
                       PYTHONDONTWRITEBYTECODE="1")
    return tmp_path, environment


def test_the_readme_pytest_example_is_examples_test_strategy_and_passes(reader_dir):
    path, environment = reader_dir
    source = (ROOT / "examples" / "test_strategy.py").read_text()
    assert readme_block("A strategy test with pytest", "python") == source
    result = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", "examples/test_strategy.py"],
                            cwd=path, env=environment, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "2 passed" in result.stdout


def test_the_readme_backtest_runs_word_for_word(reader_dir):
    pytest.importorskip("pyarrow")
    path, environment = reader_dir
    shell = readme_block("From the shell, with generated bars", "sh")
    result = subprocess.run(["bash", "-euo", "pipefail", "-c", shell.replace("--bars 100000", "--bars 3000")],
                            cwd=path, env=environment, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert re.search(r"^kavno backtest: 3000 candles through .*^trades: [1-9]\d*$", result.stdout, re.S | re.M)
    script = readme_block("A backtest in a dozen lines", "python")
    assert len([line for line in script.splitlines() if line.strip()]) <= 12
    result = subprocess.run([sys.executable, "-c", script], cwd=path, env=environment, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert re.fullmatch(r"[1-9]\d* trades, PnL -?[\d.]+, [\d,]+ candles per second\n", result.stdout)


@pytest.mark.parametrize("intro, file", [("An exchange's kline file", "BTCUSDT-1m.csv"),
                                         ("A daily file of an equity", "AAPL.csv")])
def test_the_readme_worked_examples_of_real_files_run_word_for_word(reader_dir, intro, file):
    pytest.importorskip("pyarrow")
    path, environment = reader_dir
    (path / file).write_text(readme_block(intro, "csv"))
    result = subprocess.run([sys.executable, "-c", readme_block(intro, "python")], cwd=path, env=environment,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    text = (ROOT / "README.md").read_text()
    printed = re.search(rf"{re.escape(intro)}.*?```python\n.*?```\n\nprints `(.*?)`", text, re.S)
    assert printed and result.stdout == printed.group(1) + "\n"


def test_the_readmes_pictures_are_pngs_that_make_pictures_draws():
    pictures = re.findall(r"!\[[^\]]+\]\((docs/[\w.-]+)\)", (ROOT / "README.md").read_text())
    assert pictures == ["docs/backtest.png", "docs/sweep.png"]
    recipe = re.search(r"^pictures:.*?\n((?:\t.*\n)+)", (ROOT / "Makefile").read_text(), re.M)
    assert recipe, "the Makefile lost its pictures target"
    for picture in pictures:
        assert (ROOT / picture).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", picture
        assert f"--plot {picture}" in recipe.group(1).replace("\\\n", " "), picture
