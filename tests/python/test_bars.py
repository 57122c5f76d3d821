"""The bar rules, held by every reader of bars in the same words: kavno_feed.candles() over a CSV file and over
Arrow columns, examples/backtest.py and the demo engine; and what a series refuses or accepts beyond them."""

import os
import pathlib
import subprocess
import sys

import pytest

import kavno_feed as feed
from bad_bars import BAD_FILES

pa = pytest.importorskip("pyarrow")

ROOT = pathlib.Path(__file__).resolve().parents[2]
HOST = os.environ.get("KAVNO_HOST")


def refused_by_feed(path):
    with pytest.raises((ValueError, OSError)) as info:
        feed.candles(path.name, code="X", interval=0)
    return f"{info.value}"


def refused_by_backtest(path):
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "backtest.py"), path.name],
                            capture_output=True, text=True, timeout=120, cwd=path.parent)
    assert (result.returncode, result.stdout) == (2, "")
    return result.stderr.removeprefix("backtest: ").removesuffix("\n")


def refused_by_engine(path):
    if not HOST:
        pytest.skip("KAVNO_HOST names no built host (make test sets it)")
    result = subprocess.run([HOST, "--csv", path.name], capture_output=True, text=True, timeout=60, cwd=path.parent)
    assert (result.returncode, result.stdout) == (2, "")
    return result.stderr.removeprefix("kavno_host: ").removesuffix("\n")


READERS = {"kavno_feed": refused_by_feed, "backtest.py": refused_by_backtest, "engine": refused_by_engine}


@pytest.mark.parametrize("reader", READERS.values(), ids=READERS.keys())
@pytest.mark.parametrize("content, message", [case[1:] for case in BAD_FILES], ids=[case[0] for case in BAD_FILES])
def test_every_reader_refuses_a_bad_file_in_the_same_words(tmp_path, monkeypatch, reader, content, message):
    monkeypatch.chdir(tmp_path)
    path = tmp_path / "bars.csv"
    path.write_text(content)
    assert reader(path) == message


def test_a_good_file_reads_the_same_everywhere(tmp_path):
    path = tmp_path / "bars.csv"
    path.write_bytes(b"\xef\xbb\xbfopen_time_ms,open,high,low,close,volume\r\n" +
                     b"".join(f"{ms},100,101,99,100.5,5\r\n".encode() for ms in range(0, 600_000, 60_000))[:-2])
    series = feed.candles(path, code="X", interval=0)  # a last line without its line end
    assert [(c.open_time.timestamp(), c.close) for c in series] == [(s, 100.5) for s in range(0, 600, 60)]
    assert feed.candles(str(path).encode(), code="X", interval=0)[-1].close_time == series[-1].close_time
    with pytest.raises(TypeError, match="^candles\\(\\): time_unit and columns apply to columnar data"):
        feed.candles(path, code="X", interval=0, time_unit="s")


@pytest.mark.parametrize("path, error, message", [
    ("missing.csv", FileNotFoundError, "missing.csv: No such file or directory"),
    (".", OSError, ".: not a regular file"),
    ("/proc/self/mem", OSError, "/proc/self/mem: cannot be read: Input/output error"),
])
def test_a_file_that_cannot_be_read_is_an_os_error(tmp_path, monkeypatch, path, error, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as info:
        feed.candles(path, code="X", interval=0)
    assert type(info.value) is error and info.value.args == (message,)


def test_a_line_longer_than_any_bar_is_refused_without_reading_it_whole(tmp_path):
    path = tmp_path / "bars.csv"
    path.write_text("1" * 100_000)
    with pytest.raises(ValueError, match="^.*bars.csv:1: a line longer than 4096 bytes; this is no CSV file of bars$"):
        feed.candles(path, code="X", interval=0)


# --- the rules over columns --------------------------------------------------------------------------------------

MS = 1_704_067_260_000


def table(**changes):
    columns = {"open_time": pa.array([MS, MS + 60_000, MS + 120_000], pa.int64()), "open": [100.0, 100.0, 100.0],
               "high": [101.0, 101.0, 101.0], "low": [99.0, 99.0, 99.0], "close": [100.0, 100.0, 100.0],
               "volume": [5.0, 5.0, 5.0]}
    columns.update(changes)
    return pa.table(columns)


ORDER = ("; sort the bars by time and drop repeated rows, read a table of several instruments with candles_by(), and "
         "check that interval and time_unit are the data's")
HIGH_LOW = "; pass check_high_low=False for a series that breaks this rule"


@pytest.mark.parametrize("changes, message", [
    (dict(close=[100.0, float("nan"), 100.0]),
     "column 'close', row 1: nan is not a finite number; drop or fill such bars before reading them"),
    (dict(open=[100.0, 100.0, float("-inf")]),
     "column 'open', row 2: -inf is not a finite number; drop or fill such bars before reading them"),
    (dict(volume=[5.0, -0.5, 5.0]), "column 'volume', row 1: -0.5 is not a finite number of at least 0"),
    (dict(amount=[1.0, float("inf"), 1.0]), "column 'amount', row 1: inf is not a finite number of at least 0"),
    (dict(trades=pa.array([1, -1, 1], pa.int32())), "column 'trades', row 1: -1 is negative; trades counts the bar's trades"),
    (dict(close_time=pa.array([MS - 1, MS, MS], pa.int64())),
     "column 'close_time', row 0: 2024-01-01T00:00:59.999Z comes before the bar's open_time 2024-01-01T00:01:00Z"),
    (dict(open_time=pa.array([MS, MS, MS + 60_000], pa.int64())),
     "column 'open_time', row 1: 2024-01-01T00:01:00Z does not come after the bar before, which closes at "
     "2024-01-01T00:01:59.999Z" + ORDER),
    (dict(open_time=pa.array([MS, MS + 60_000, MS + 30_000], pa.timestamp("ms", "UTC"))),
     "column 'open_time', row 2: 2024-01-01T00:01:30Z does not come after the bar before, which closes at "
     "2024-01-01T00:02:59.999Z" + ORDER),
    (dict(low=[99.0, 100.5, 99.0]), "column 'low', row 1: 100.5 is above min(open, close) = 100" + HIGH_LOW),
    (dict(high=[101.0, 101.0, 99.5]), "column 'high', row 2: 99.5 is below max(open, close) = 100" + HIGH_LOW),
])
def test_a_table_is_held_to_the_bar_rules(changes, message):
    with pytest.raises(ValueError) as info:
        feed.candles(table(**changes), code="X", interval=0)
    assert info.value.args == (message,)


def test_a_longer_interval_than_the_spacing_is_refused():
    with pytest.raises(ValueError, match="^column 'open_time', row 1: 2024-01-01T00:02:00Z does not come after the bar "
                                         "before, which closes at 2024-01-02T00:00:59.999Z"):
        feed.candles(table(), code="X", interval=4)


def test_only_the_high_low_rule_may_be_relaxed():
    adjusted = table(low=[99.0, 100.5, 99.0], high=[101.0, 101.0, 99.5])
    series = feed.candles(adjusted, code="X", interval=0, check_high_low=False)
    assert [(c.low, c.high) for c in series] == [(99.0, 101.0), (100.5, 101.0), (99.0, 99.5)]
    for changes in (dict(close=[100.0, float("nan"), 100.0]), dict(open_time=pa.array([MS, MS, MS + 1], pa.int64()))):
        with pytest.raises(ValueError):
            feed.candles(table(**changes), code="X", interval=0, check_high_low=False)


def test_gaps_are_bars_too():
    weekend = table(open_time=pa.array([MS, MS + 3 * 86_400_000, MS + 3 * 86_400_000 + 60_000], pa.int64()))
    assert len(feed.candles(weekend, code="X", interval=0)) == 3
