"""The embedding host: kavno linked into an executable (or imported from the installed package), running
examples/strategy.py over a candle series, and refusing bad input, bad options and failing strategies.

The host's report is checked against the same strategy run here in Python over the same bars, with stand-ins for
the records, so that the engine's fills, the records it hands over and its accounting are all checked."""

import datetime as dt
import os
import pathlib
import re
import subprocess
import sys
import types

import pytest

from kavno import CandleInterval, OrderStatus, TradeSide

ROOT = pathlib.Path(__file__).resolve().parents[2]
HOST = os.environ.get("KAVNO_HOST")
INSTALLED_HOST = pathlib.Path(HOST).with_name("kavno_host_installed") if HOST else None
pytestmark = pytest.mark.skipif(not HOST, reason="KAVNO_HOST names no built host (make test sets it)")


def bars(count):
    price, rows = 100.0, []
    for i in range(count):
        close = price * (1 + (0.01 if (i // 37) % 2 else -0.008) + ((i * 7919) % 13 - 6) * 0.0004)
        rows.append((1_704_067_200_000 + i * 60_000, price, max(price, close) * 1.001, min(price, close) * 0.999,
                     close, 5.0))
        price = close
    return rows


def replay(rows):
    """The host's loop, in Python."""
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        import strategy as module
    finally:
        sys.path.pop(0)
    s = module.create()
    cash = holding = entry = 0.0
    trades = 0
    for open_ms, _o, _h, _l, close, _v in rows:
        bar = types.SimpleNamespace(interval=CandleInterval.Min1, close=close)
        signal = s.on_candle(bar)
        if signal is None:
            continue
        side, volume = signal
        long = side == TradeSide.Long
        volume = volume if long else min(volume, holding)
        if volume <= 0:
            continue
        fee = volume * close * 0.001
        entry = close if long else entry
        cash -= (volume if long else -volume) * close + fee
        holding += volume if long else -volume
        trades += 1
        when = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(milliseconds=open_ms + 59_999)
        s.on_order(types.SimpleNamespace(status=OrderStatus.Filled, side=side, filled_volume=volume, code="BTCUSDT",
                                         filled_price=close, fee=fee, create_time=when))
        s.on_position(types.SimpleNamespace(side=TradeSide.Long, volume=holding))
    return trades, holding, cash + holding * rows[-1][4], s.log


def run_host(*args, host=None):
    result = subprocess.run([str(host or HOST), *args], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_host_report_matches_the_strategy_run_in_python(tmp_path):
    rows = bars(3000)
    csv = tmp_path / "bars.csv"
    csv.write_text("open_time_ms,open,high,low,close,volume\n" +
                   "".join(",".join(repr(v) for v in row) + "\n" for row in rows))
    out = run_host("--csv", str(csv), "--log", "1000")
    trades, holding, pnl, log = replay(rows)
    assert trades > 10
    assert f"kavno host: {len(rows)} candles through" in out
    assert re.search(rf"^trades: {trades}$", out, re.M)
    assert re.search(rf"^final position: {holding:.4f} BTCUSDT", out, re.M)
    assert re.search(rf"^PnL: {pnl:.2f}$", out, re.M)
    assert [line.strip() for line in out.splitlines() if line.startswith("  2024-")] == log
    assert re.search(r"^candles per second: \d+$", out, re.M)


def test_host_generated_series_is_deterministic():
    first, second = run_host("--candles", "2000"), run_host("--candles", "2000")
    strip = lambda text: re.sub(r"candles per second: \d+", "", text)  # noqa: E731
    assert strip(first) == strip(second)
    assert "kavno host: 2000 candles" in first and re.search(r"^trades: \d+$", first, re.M)


def without_speed(report):
    return re.sub(r"candles per second: \d+", "", report)


def test_the_installed_variant_imports_the_environments_kavno_and_reports_the_same():
    static = run_host("--candles", "2000", "--interval", "Min5")
    installed = run_host("--candles", "2000", "--interval", "Min5", "--python", sys.executable, host=INSTALLED_HOST)
    assert without_speed(installed) == without_speed(static)


def test_code_and_interval_name_what_the_bars_are(tmp_path):
    strategy = tmp_path / "records.py"
    strategy.write_text("class S:\n    def __init__(self):\n        self.log = []\n"
                        "    def on_candle(self, bar):\n"
                        "        if not self.log:\n"
                        "            self.log.append(f'{bar.code} {bar.interval!r} {bar.open_time} {bar.close_time}')\n"
                        "def create():\n    return S()\n")
    out = run_host("--candles", "3", "--code", "ETH-PERP", "--interval", "Hour1", "--strategy", str(strategy))
    assert "  ETH-PERP CandleInterval.Hour1 2024-01-01 00:00:00+00:00 2024-01-01 00:59:59.999000+00:00" in out
    assert "final position: 0.0000 ETH-PERP at " in out


def test_a_byte_order_mark_and_crlf_line_ends_are_read(tmp_path):
    (tmp_path / "bars.csv").write_bytes(b"\xef\xbb\xbfopen_time_ms,open,high,low,close,volume\r\n" +
                                        b"".join(f"{ms},100,101,99,100,5\r\n".encode() for ms in range(0, 600_000, 60_000)))
    assert "kavno host: 10 candles through" in run_host("--csv", str(tmp_path / "bars.csv"))


@pytest.mark.parametrize("arguments, message", [
    (["--candles", "abc"], "--candles: 'abc' is not a count from 1 to 10000000"),
    (["--candles", "-1"], "--candles: '-1' is not a count from 1 to 10000000"),
    (["--candles", "99999999999999999999"], "--candles: '99999999999999999999' is not a count from 1 to 10000000"),
    (["--candles", "0"], "--candles: '0' is not a count from 1 to 10000000"),
    (["--log", "1e3"], "--log: '1e3' is not a count from 0 to 1000000"),
    (["--interval", "Min3"], "--interval: 'Min3' is not one of Min1, Min5, Min15, Hour1, Day1"),
    (["--code", ""], "--code: '' is no code"),
    (["--csv"], "--csv needs a value (kavno_host --help lists the options)"),
    (["--candles", "5", "--csv", "x.csv"], "--candles and --csv exclude each other"),
    (["--speed", "2"], "unknown option '--speed' (kavno_host --help lists the options)"),
    (["--csv", "missing.csv"], "missing.csv: No such file or directory"),
    (["--csv", "."], ".: not a regular file"),
    (["--csv", ""], "--csv: '' names no file"),
    (["--csv", "/proc/self/mem"], "/proc/self/mem: cannot be read: Input/output error"),
])
def test_bad_options_are_refused_with_a_clear_message(tmp_path, arguments, message):
    result = subprocess.run([HOST, *arguments], capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (2, f"kavno_host: {message}\n")


def test_help_lists_the_options():
    assert "--interval I" in run_host("--help")


@pytest.mark.parametrize("body, first_line, last_line", [
    ("def create():\n    raise KeyError('no such account')\n", "kavno_host: strategy.create() failed",
     "KeyError: 'no such account'"),
    ("import sys\nclass S:\n    log = []\n    def on_candle(self, bar):\n        sys.exit(0)\n"
     "def create():\n    return S()\n", "kavno_host: strategy.on_candle failed at bar 1", "SystemExit: 0"),
    ("class S:\n    log = []\n    def on_candle(self, bar):\n        return 1 / 0\ndef create():\n    return S()\n",
     "kavno_host: strategy.on_candle failed at bar 1", "ZeroDivisionError: division by zero"),
    ("class S:\n    log = [b'bytes']\n    def on_candle(self, bar):\n        return None\ndef create():\n    return S()\n",
     "kavno_host: the strategy's log cannot be printed", "TypeError: strategy.log[0] is a bytes, not a str"),
    ("class S:\n    log = []\n    def on_candle(self, bar):\n        return ('long', 1.0)\ndef create():\n    return S()\n",
     "kavno_host: strategy.on_candle gave a side that is no TradeSide at bar 1 (on_candle is at ",
     "TypeError: 'long' (str) is no side: a TradeSide member, 0 or 1"),
    ("class S:\n    log = []\n    def on_candle(self, bar):\n        return ('1', 1.0)\ndef create():\n    return S()\n",
     "kavno_host: strategy.on_candle gave a side that is no TradeSide at bar 1 (on_candle is at ",
     "TypeError: '1' (str) is no side: a TradeSide member, 0 or 1"),
    ("class S:\n    log = []\n    def on_candle(self, bar):\n        return (2, 1.0)\ndef create():\n    return S()\n",
     "kavno_host: strategy.on_candle gave a side that is no TradeSide at bar 1 (on_candle is at ",
     "TypeError: 2 (int) is no side: a TradeSide member, 0 or 1"),
    ("raise ImportError('broken')\n", "kavno_host: cannot import the strategy", "ImportError: broken"),
])
def test_a_failing_strategy_ends_the_run_with_its_traceback(tmp_path, body, first_line, last_line):
    (tmp_path / "failing.py").write_text(body)
    result = subprocess.run([HOST, "--candles", "5", "--strategy", str(tmp_path / "failing.py")], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert lines[0].startswith(first_line) and lines[-1].startswith(last_line), result.stderr
    if "on_candle is at" in first_line:
        assert lines[0].endswith(f"{tmp_path / 'failing.py'}:3)")
    assert "trades:" not in result.stdout


def test_the_python_backtest_reports_what_the_engine_reports(tmp_path):
    pytest.importorskip("pyarrow")
    import pyarrow as pa
    import pyarrow.parquet

    rows = bars(3000)
    csv = tmp_path / "bars.csv"
    csv.write_text("open_time_ms,open,high,low,close,volume\n" +
                   "".join(",".join(repr(v) for v in row) + "\n" for row in rows))
    engine = run_host("--csv", str(csv), "--log", "1000", "--code", "ETHUSDT")
    table = pa.table({"open_time": pa.array([r[0] for r in rows], pa.timestamp("ms", "UTC")),
                      **{name: [r[i] for r in rows] for i, name in enumerate(["open", "high", "low", "close", "volume"], 1)}})
    pyarrow.parquet.write_table(table, tmp_path / "bars.parquet")
    for source in (csv, tmp_path / "bars.parquet"):
        result = subprocess.run([sys.executable, str(ROOT / "examples" / "backtest.py"), str(source), "--log", "1000",
                                 "--code", "ETHUSDT"], capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        report = lambda text: [line for line in text.splitlines()[1:] if not line.startswith("candles per second")]  # noqa: E731
        assert report(result.stdout) == report(engine)
        assert re.search(r"^trades: [1-9]\d*$", result.stdout, re.M)


def test_a_strategy_thread_inside_kavno_at_exit_ends_with_the_engine(tmp_path):
    strategy = tmp_path / "threaded.py"
    strategy.write_text(
        "import datetime as dt, threading, kavno\n"
        "class Utc(dt.tzinfo):\n"
        "    def __eq__(self, other):\n"
        "        return sum(range(40)) >= 0\n"
        "    __hash__ = object.__hash__\n"
        "def spin():\n"
        "    when = dt.datetime(2024, 1, 1, tzinfo=Utc())\n"
        "    while True:\n"
        "        kavno.date_to_str(when)\n"
        "class S:\n"
        "    def __init__(self):\n"
        "        self.log = []\n"
        "        for _ in range(4):\n"
        "            threading.Thread(target=spin, daemon=True).start()\n"
        "    def on_candle(self, bar):\n"
        "        return None\n"
        "def create():\n    return S()\n")
    for _ in range(3):
        assert "kavno host: 20000 candles through" in run_host("--candles", "20000", "--strategy", str(strategy))


def test_a_strategy_file_named_as_a_standard_module_is_the_strategy(tmp_path):
    strategy = tmp_path / "os.py"
    strategy.write_text("class S:\n    log = ['mine']\n    def on_candle(self, bar):\n        return (1, 0.5)\n"
                        "def create():\n    return S()\n")
    out = run_host("--candles", "5", "--strategy", str(strategy))
    assert "  mine" in out and "trades: 0" in out  # Short with nothing held: no trade
