"""The embedding host: kavno linked into an executable, running examples/strategy.py over a candle series.

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


def run_host(*args):
    result = subprocess.run([HOST, *args], capture_output=True, text=True, timeout=120)
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


def test_host_reports_a_bad_csv(tmp_path):
    csv = tmp_path / "bad.csv"
    csv.write_text("1,2,3\n")
    result = subprocess.run([HOST, "--csv", str(csv)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert "expected open_time_ms,open,high,low,close,volume" in result.stderr
