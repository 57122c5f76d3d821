"""The README's producer example compiles against include/ as it stands, loads beside kavno and makes a Candle."""

import datetime as dt
import importlib.util
import pathlib
import re
import shutil
import subprocess
import sysconfig

import pytest

import kavno

ROOT = pathlib.Path(__file__).resolve().parents[2]


def producer_example():
    text = (ROOT / "README.md").read_text()
    match = re.search(r"A complete producer.*?```cpp\n(.*?)```", text, re.S)
    assert match, "the README lost its producer example"
    return match.group(1)


@pytest.mark.skipif(shutil.which("g++") is None, reason="no C++ compiler")
def test_readme_producer_example_compiles_and_runs(tmp_path):
    source = tmp_path / "engine.cpp"
    source.write_text(producer_example())
    target = tmp_path / ("engine" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run(["g++", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-Wno-missing-field-initializers", "-shared",
                    "-fPIC", "-I", str(ROOT / "include"), "-I", sysconfig.get_paths()["include"], str(source), "-o",
                    str(target)], check=True, capture_output=True, text=True)
    spec = importlib.util.spec_from_file_location("engine", target)
    engine = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(engine)
    bar = engine.latest_candle()
    assert type(bar) is kavno.Candle
    assert bar.open_time == dt.datetime(2024, 3, 15, 10, 30, tzinfo=dt.timezone.utc)
    assert bar.close_time == dt.datetime(2024, 3, 15, 10, 30, 59, 999000, tzinfo=dt.timezone.utc)
    assert (bar.code, bar.close, bar.trades, bar.interval) == ("BTCUSDT", 71200.0, 1204, kavno.CandleInterval.Min1)
