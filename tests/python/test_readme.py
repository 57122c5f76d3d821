"""The README's producer example is examples/engine.cpp, which compiles against include/ as it stands, loads beside
kavno and makes a Candle. (tools/follow-readme, run by `make test`, follows the README's build commands.)"""

import datetime as dt
import pathlib
import re

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
