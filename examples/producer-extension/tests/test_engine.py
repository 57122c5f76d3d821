"""Records made in a third-party extension module read back exactly in Python, as kavno's own classes."""

import datetime as dt

import pytest

import kavno
import kavno_engine_example as engine

UTC = dt.timezone.utc


def test_a_candle_reads_back_exactly():
    bar = engine.candle("BTCUSDT", 1_710_498_600_000, 71_000.0, 71_250.5, 70_990.0, 71_200.0, 12.5)
    assert type(bar) is kavno.Candle
    assert (bar.kind, bar.code, bar.interval) == (kavno.TradeKind.Spot, "BTCUSDT", kavno.CandleInterval.Min1)
    assert bar.open_time == dt.datetime(2024, 3, 15, 10, 30, tzinfo=UTC)
    assert bar.close_time == dt.datetime(2024, 3, 15, 10, 30, 59, 999000, tzinfo=UTC)
    assert (bar.open, bar.high, bar.low, bar.close, bar.volume) == (71_000.0, 71_250.5, 70_990.0, 71_200.0, 12.5)
    assert bar.amount == 12.5 * 71_200.0 and bar.trades == 0


def test_a_series_of_candles():
    bars = engine.candles("ETHUSDT", 0, [10.0, 12.0, 11.0])
    assert [(b.open, b.high, b.low, b.close) for b in bars] == [(10, 10, 10, 10), (10, 12, 10, 12), (12, 12, 11, 11)]
    assert [b.open_time.minute for b in bars] == [0, 1, 2]


def test_orders_and_positions():
    order = engine.filled_order("o-7", "ETHUSDT", False, 2.0, 2000.0, 0)
    assert type(order) is kavno.Order
    assert (order.id, order.side, order.type, order.status) == (
        "o-7", kavno.TradeSide.Short, kavno.TradeType.Market, kavno.OrderStatus.Filled)
    assert (order.filled_volume, order.filled_price, order.fee) == (2.0, 2000.0, 4.0)
    assert order.create_time == dt.datetime(1970, 1, 1, tzinfo=UTC)
    position = engine.position("BTC-PERP", 0.5, 60_000.0, 20)
    assert (position.kind, position.code, position.leverage) == (kavno.TradeKind.Future, "BTC-PERP", 20)


def test_a_refusal_of_the_producer_reaches_python():
    with pytest.raises(ValueError, match="^Candle.open_time: not a UTC date-time of the years -262143 to 262142$"):
        engine.candle("BTCUSDT", 2**62, 1.0, 1.0, 1.0, 1.0, 1.0)
