from kavno import OrderStatus, TradeSide
from kavno_feed import make_candle, make_order

from strategy import MovingAverageCrossover  # examples/strategy.py


def minute_bars(*closes):
    return [make_candle(code="BTCUSDT", open_time=60_000 * minute, close=close)
            for minute, close in enumerate(closes)]


def test_buys_when_the_fast_average_crosses_above_the_slow_one():
    strategy = MovingAverageCrossover(fast=2, slow=3, budget=1_000.0)
    signals = [strategy.on_candle(bar) for bar in minute_bars(10.0, 9.0, 8.0, 7.0, 12.0)]
    assert signals == [None, None, None, None, (TradeSide.Long, 83.3333)]


def test_logs_each_filled_order():
    strategy = MovingAverageCrossover()
    strategy.on_order(make_order(id="1", code="BTCUSDT", side=TradeSide.Long, price=100.0, volume=2.0,
                                 create_time=0, status=OrderStatus.Filled, filled_volume=2.0, filled_price=100.0,
                                 fee=0.2))
    assert strategy.log == ["1970-01-01T00:00:00+00:00 buy  2.0000 BTCUSDT @ 100.00 (fee 0.20)"]
