"""A moving-average crossover, written against kavno's vocabulary.

The host calls `on_candle` for every bar; a returned (side, volume) asks it to trade at the bar's close.
It then hands over the filled `Order` and the resulting `Position` records.
"""

from __future__ import annotations

from collections import deque

from kavno import Candle, CandleInterval, Order, OrderStatus, Position, TradeSide, date_to_str, safe_float


class MovingAverageCrossover:
    """Long when the fast average crosses above the slow one, flat when it crosses back below."""

    def __init__(self, fast: int = 10, slow: int = 40, budget: float = 10_000.0,
                 interval: CandleInterval = CandleInterval.Min1) -> None:
        self.fast: int = fast
        self.slow: int = slow
        self.budget: float = budget
        self.interval: CandleInterval = interval
        self.closes: deque[float] = deque(maxlen=slow)
        self.fast_sum: float = 0.0
        self.slow_sum: float = 0.0
        self.above: bool | None = None
        self.holding: float = 0.0
        self.log: list[str] = []

    def on_candle(self, bar: Candle) -> tuple[TradeSide, float] | None:
        if bar.interval != self.interval:
            return None
        close = bar.close
        if len(self.closes) == self.slow:
            self.slow_sum -= self.closes[0]
        if len(self.closes) >= self.fast:
            self.fast_sum -= self.closes[-self.fast]
        self.closes.append(close)
        self.fast_sum += close
        self.slow_sum += close
        if len(self.closes) < self.slow:
            return None
        above = self.fast_sum / self.fast > self.slow_sum / self.slow
        crossed = self.above is not None and above != self.above
        self.above = above
        if crossed and above and self.holding == 0.0:
            return TradeSide.Long, safe_float(self.budget / close, 4)
        if crossed and not above and self.holding > 0.0:
            return TradeSide.Short, self.holding
        return None

    def on_order(self, order: Order) -> None:
        if order.status != OrderStatus.Filled:
            return
        verb = "buy " if order.side == TradeSide.Long else "sell"
        fee = safe_float(order.fee, 2)
        when = date_to_str(order.create_time)
        self.log.append(f"{when} {verb} {order.filled_volume:.4f} {order.code} @ {order.filled_price:.2f} (fee {fee:.2f})")

    def on_position(self, position: Position) -> None:
        self.holding = position.volume if position.side == TradeSide.Long else -position.volume


def create(fast: int = 10, slow: int = 40, budget: float = 10_000.0) -> MovingAverageCrossover:
    """The strategy object the host runs (with the defaults); a sweep passes other windows as keywords."""
    return MovingAverageCrossover(fast=fast, slow=slow, budget=budget)
