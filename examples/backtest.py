"""A backtest in Python: the demo engine's loop over a Parquet or CSV file of bars, with kavno_feed making the records.

    python examples/backtest.py BARS [--code CODE] [--interval Min1] [--strategy FILE] [--log N] [--plot FILE.png]

BARS is a Parquet file with the columns open_time (a timestamp in UTC, or int64 milliseconds), open, high, low,
close and volume, or a CSV file in the demo engine's format (open_time_ms,open,high,low,close,volume). The bars
become a kavno_feed.CandleSeries, fed to the strategy (examples/strategy.py by default, the protocol of the demo
engine); its orders are filled at the bar's close with the engine's rules (0.1% fee, no short selling), and it is
handed the Order and Position records made with kavno_feed's factories. The report is the engine's. --plot draws
the close with every fill marked, the equity curve and the drawdown into a PNG file (matplotlib, from the
[examples] extra).
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib.util
import os
import pathlib
import sys
import time
from typing import Any, Protocol

import pyarrow.parquet  # type: ignore[import-untyped]  # pyarrow ships no type information

import kavno_feed
from kavno import Candle, CandleInterval, Order, OrderStatus, Position, TradeKind, TradeSide, TradeType

EXAMPLES = pathlib.Path(__file__).resolve().parent
FEE_RATE = 0.001


class Strategy(Protocol):
    log: list[str]

    def on_candle(self, bar: Candle) -> tuple[TradeSide, float] | None: ...
    def on_order(self, order: Order) -> None: ...
    def on_position(self, position: Position) -> None: ...


@dataclasses.dataclass
class Report:
    candles: int
    trades: int
    holding: float
    last_close: float
    fees: float
    pnl: float
    seconds: float
    log: list[str]
    orders: list[Order] = dataclasses.field(default_factory=list)  # every fill, in order
    positions: list[Position] = dataclasses.field(default_factory=list)  # the position after each fill

    def orders_table(self) -> Any:  # a kavno_feed.RecordTable
        """The orders as Arrow columns: pa.table(report.orders_table()), or a DataFrame through it."""
        return kavno_feed.table(self.orders) if self.orders else None

    def positions_table(self) -> Any:
        """The positions after each fill as Arrow columns."""
        return kavno_feed.table(self.positions) if self.positions else None

    def lines(self, code: str, strategy: str, log_lines: int = 6) -> list[str]:
        """The demo engine's report."""
        out = [f"kavno backtest: {self.candles} candles through {strategy}"]
        out += [f"  {line}" for line in self.log[:log_lines]]
        if len(self.log) > log_lines:
            out.append(f"  ... {len(self.log) - log_lines} more")
        rate = self.candles / self.seconds if self.seconds > 0 else 0.0
        out += [f"trades: {self.trades}", f"final position: {self.holding:.4f} {code} at {self.last_close:.2f}",
                f"fees: {self.fees:.2f}", f"PnL: {self.pnl:.2f}", f"candles per second: {rate:.0f}"]
        return out


def backtest(strategy: Strategy, candles: kavno_feed.CandleSeries) -> Report:
    """Feeds every candle to the strategy and fills what it asks for at the bar's close, as the demo engine does."""
    cash = holding = fees = entry = 0.0
    trades = 0
    orders: list[Order] = []
    positions: list[Position] = []
    code = candles.code
    started = time.perf_counter()
    for bar in candles:
        signal = strategy.on_candle(bar)
        if signal is None:
            continue
        side, volume = signal
        close = bar.close
        if side == TradeSide.Short:
            volume = min(volume, holding)
        if volume <= 0.0:
            continue
        fee = volume * close * FEE_RATE
        signed = volume if side == TradeSide.Long else -volume
        if side == TradeSide.Long:
            entry = close
        cash -= signed * close + fee
        holding += signed
        fees += fee
        trades += 1
        order = kavno_feed.make_order(
            id=f"order-{trades}", kind=TradeKind.Spot, type=TradeType.Market, side=side, code=code,
            status=OrderStatus.Filled, volume=volume, price=close, filled_volume=volume, filled_price=close, fee=fee,
            create_time=bar.close_time)
        position = kavno_feed.make_position(
            kind=TradeKind.Spot, code=code, side=TradeSide.Long, volume=holding, price=entry if holding > 0.0 else 0.0,
            leverage=1)
        orders.append(order)
        positions.append(position)
        strategy.on_order(order)
        strategy.on_position(position)
    seconds = time.perf_counter() - started
    last_close = candles[-1].close if len(candles) else 0.0
    return Report(len(candles), trades, holding, last_close, fees, cash + holding * last_close, seconds,
                  list(strategy.log), orders, positions)


def read_bars(path: pathlib.Path) -> Any:  # a pyarrow.Table, or the path of a CSV file
    """A Parquet file as it is; a CSV file of the demo engine's format stays a path, which kavno_feed reads with the
    engine's own reader and rules."""
    if path.suffix == ".parquet":
        return pyarrow.parquet.read_table(path)
    return path


def load_strategy(path: pathlib.Path) -> Any:
    """The strategy module at `path` (its create() makes the strategy)."""
    spec = importlib.util.spec_from_file_location(path.stem, path)
    if spec is None or spec.loader is None:
        raise SystemExit(f"backtest: cannot load the strategy {path}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("bars", type=pathlib.Path, help="a Parquet or CSV file of bars")
    parser.add_argument("--code", default="BTCUSDT", help="the trading code the bars are of")
    parser.add_argument("--interval", default="Min1", choices=["Min1", "Min5", "Min15", "Hour1", "Day1"])
    parser.add_argument("--strategy", type=pathlib.Path, default=EXAMPLES / "strategy.py")
    parser.add_argument("--log", type=int, default=6, help="how many lines of the strategy's log to print")
    parser.add_argument("--plot", type=pathlib.Path, metavar="FILE.png",
                        help="draw the price with the fills, the equity and the drawdown into FILE.png")
    args = parser.parse_args(argv)
    if args.plot is not None:
        check_writable(parser, "--plot", args.plot)
    try:
        candles = kavno_feed.candles(read_bars(args.bars), code=args.code,
                                     interval=getattr(CandleInterval, args.interval))
    except (OSError, ValueError, TypeError) as error:  # the file's fault, said as the demo engine says it
        print(f"backtest: {error}", file=sys.stderr)
        return 2
    report = backtest(load_strategy(args.strategy).create(), candles)
    print("\n".join(report.lines(args.code, str(args.strategy), args.log)))
    if args.plot is not None:
        import plots  # matplotlib is needed only here

        plots.save(plots.backtest_figure(candles, report), args.plot)
        print(f"picture: {args.plot}")
    return 0


def check_writable(parser: argparse.ArgumentParser, option: str, path: pathlib.Path) -> None:
    """Refuses, before any work, a file that cannot be written or a picture that cannot be drawn."""
    resolved = path.resolve()
    if resolved.is_dir() or not resolved.parent.is_dir() or not os.access(resolved.parent, os.W_OK) or (
            resolved.exists() and not os.access(resolved, os.W_OK)):
        parser.error(f"{option} {path}: cannot be written")
    if option == "--plot":
        if path.suffix.lower() != ".png":
            parser.error(f"--plot {path}: the picture is a PNG file (FILE.png)")
        if importlib.util.find_spec("matplotlib") is None:
            parser.error("--plot needs matplotlib: pip install matplotlib (or the [examples] extra)")


if __name__ == "__main__":
    sys.exit(main())
