"""Pictures of a backtest and of a sweep, drawn with matplotlib and no display.

backtest_figure(candles, report) draws the close with every fill marked, the equity curve and the drawdown below
it; sweep_figure(table, parameters, metric) draws a heat map of one column of a sweep's table over two grid parameters, one
panel per instrument. save(figure, path) writes either as a PNG. Each plotted artist carries a gid ("close",
"buys", "sells", "equity", "drawdown"; "heatmap" per panel) so that a program can find what was drawn.
"""

from __future__ import annotations

import math
import pathlib
from collections.abc import Sequence
from typing import Any

import matplotlib

matplotlib.use("Agg")  # no display: files only, on any machine

import matplotlib.colors  # noqa: E402
import matplotlib.figure  # noqa: E402
import matplotlib.ticker  # noqa: E402
import numpy as np  # noqa: E402
import pyarrow as pa  # type: ignore[import-untyped]  # noqa: E402  # pyarrow ships no type information

# A line of more points than this is drawn as the least and greatest value of each of BUCKETS runs of bars: a
# figure is at most a few thousand pixels wide, so the rest cannot be seen, and a million bars draw in a second.
BUCKETS = 2000
BUY_COLOUR, SELL_COLOUR = "#1a9850", "#d73027"
# What the sweep's columns are called on a picture.
METRIC_LABELS = {"pnl": "PnL", "bars_per_second": "bars per second", "holding": "final holding"}


def envelope(values: np.ndarray, buckets: int = BUCKETS) -> np.ndarray:
    """The indices of the points of `values` to draw: all of them when there are at most 2 * buckets, otherwise the
    least and the greatest of each of `buckets` equal runs, in order, the first and last points included."""
    count = len(values)
    if count <= 2 * buckets:
        return np.arange(count)
    size = math.ceil(count / buckets)
    padded = np.concatenate((values, np.full(size * buckets - count, values[-1])))
    runs = padded.reshape(buckets, size)
    base = np.arange(buckets) * size
    lows, highs = base + runs.argmin(axis=1), base + runs.argmax(axis=1)
    picked = np.stack((np.minimum(lows, highs), np.maximum(lows, highs)), axis=1).ravel()
    return np.unique(np.concatenate(([0], np.minimum(picked, count - 1), [count - 1])))


def equity_curve(closes: np.ndarray, fill_bars: np.ndarray, signed_volumes: np.ndarray,
                 cash_changes: np.ndarray) -> np.ndarray:
    """The value of cash and holding at every bar's close, from the fills (at their bars' closes)."""
    count = len(closes)
    holding = np.cumsum(np.bincount(fill_bars, weights=signed_volumes, minlength=count))
    cash = np.cumsum(np.bincount(fill_bars, weights=cash_changes, minlength=count))
    equity: np.ndarray = cash + holding * closes
    return equity


def backtest_figure(candles: Any, report: Any) -> matplotlib.figure.Figure:
    """The close with each fill marked (buys and sells apart), the equity curve and its drawdown, for `candles`
    (a kavno_feed.CandleSeries) and the Report that examples/backtest.py's backtest() made of them."""
    bars = pa.table(candles)
    closes = bars.column("close").to_numpy()
    close_times = bars.column("close_time").cast(pa.int64()).to_numpy()
    times = bars.column("open_time").cast(pa.int64()).to_numpy().astype("datetime64[ms]")
    if report.orders:
        orders = pa.table(report.orders_table())
        order_times = orders.column("create_time").cast(pa.timestamp("ms", "UTC")).cast(pa.int64()).to_numpy()
        fill_bars = np.searchsorted(close_times, order_times)
        buys = orders.column("side").cast(pa.string()).to_numpy(zero_copy_only=False) == "TradeSide.Long"
        prices = orders.column("filled_price").to_numpy()
        volumes = orders.column("filled_volume").to_numpy()
        signed = np.where(buys, volumes, -volumes)
        equity = equity_curve(closes, fill_bars, signed, -(signed * prices + orders.column("fee").to_numpy()))
    else:
        fill_bars, buys, prices = np.zeros(0, np.int64), np.zeros(0, bool), np.zeros(0)
        equity = np.zeros(len(closes))
    drawdown = equity - np.maximum.accumulate(equity) if len(equity) else equity

    figure = matplotlib.figure.Figure(figsize=(11, 7), layout="constrained")
    price_axes, equity_axes, drawdown_axes = figure.subplots(
        3, 1, sharex=True, gridspec_kw={"height_ratios": [3, 2, 1]})
    shown = envelope(closes)
    price_axes.plot(times[shown], closes[shown], color="#4d4d4d", linewidth=0.8, label="close", gid="close")
    size = min(40.0, max(6.0, 4000.0 / max(len(prices), 1)))  # many fills, smaller marks, so that each shows
    for side, chosen, marker, colour in (("buys", buys, "^", BUY_COLOUR), ("sells", ~buys, "v", SELL_COLOUR)):
        price_axes.scatter(times[fill_bars[chosen]], prices[chosen], marker=marker, s=size, color=colour,
                           label=f"{side} ({int(chosen.sum()):,})", gid=side, zorder=3, edgecolors="white",
                           linewidths=0.3)
    price_axes.set_ylabel("close")
    price_axes.legend(loc="upper left", frameon=False, markerscale=math.sqrt(40.0 / size))
    price_axes.set_title(f"{candles.code}, {len(closes):,} bars of {str(candles.interval).rpartition(".")[2]}: {report.trades:,} "
                         f"trades, PnL {report.pnl:,.2f} after {report.fees:,.2f} in fees", loc="left")
    shown = envelope(equity)
    equity_axes.plot(times[shown], equity[shown], color="#2166ac", linewidth=1.0, gid="equity")
    equity_axes.axhline(0.0, color="#999999", linewidth=0.6)
    equity_axes.set_ylabel("equity (PnL)")
    shown = envelope(drawdown)
    drawdown_axes.fill_between(times[shown], drawdown[shown], 0.0, color=SELL_COLOUR, alpha=0.45, linewidth=0,
                               gid="drawdown")
    drawdown_axes.set_ylabel("drawdown")
    for axes in (price_axes, equity_axes, drawdown_axes):
        axes.grid(alpha=0.25)
        axes.yaxis.set_major_formatter(matplotlib.ticker.StrMethodFormatter("{x:,.0f}"))  # 1,000,000, not 1e6
    return figure


def sweep_figure(table: pa.Table, parameters: Sequence[str], metric: str = "pnl") -> matplotlib.figure.Figure:
    """A heat map of `metric` over the first two of `parameters` (columns of the sweep's table), one panel per
    instrument, each cell labelled with its value; where there are more parameters, a cell shows the best value
    over the others, and a failed task's cell is grey."""
    if not parameters:
        raise ValueError("the sweep's table has no parameter column to draw over")
    rows = table.to_pylist()
    x_name, y_name = parameters[0], parameters[1] if len(parameters) > 1 else None
    x_values = sorted({row[x_name] for row in rows})
    y_values = sorted({row[y_name] for row in rows}) if y_name else [None]
    codes = sorted({row["instrument"] for row in rows})
    grids = {code: np.full((len(y_values), len(x_values)), np.nan) for code in codes}
    for row in rows:
        value = row[metric]
        if value is None:
            continue
        cell = (y_values.index(row[y_name]) if y_name else 0, x_values.index(row[x_name]))
        grid = grids[row["instrument"]]
        grid[cell] = value if math.isnan(grid[cell]) else max(grid[cell], value)
    found = np.concatenate([grid.ravel() for grid in grids.values()])
    found = found[~np.isnan(found)]
    low, high = (float(found.min()), float(found.max())) if len(found) else (0.0, 1.0)
    if low < 0.0 < high:  # gains and losses: red below zero, green above
        norm: matplotlib.colors.Normalize = matplotlib.colors.TwoSlopeNorm(0.0, low, high)
        colours = matplotlib.colormaps["RdYlGn"]
    else:
        norm, colours = matplotlib.colors.Normalize(low, high if high > low else low + 1.0), matplotlib.colormaps["viridis"]
    colours = colours.with_extremes(bad="#d9d9d9")

    columns = min(len(codes), 3)
    lines = math.ceil(len(codes) / columns)
    figure = matplotlib.figure.Figure(figsize=(1.2 + columns * max(3.2, 0.9 * len(x_values)),
                                               1.2 + lines * max(2.4, 0.6 * len(y_values))), layout="constrained")
    panels = np.atleast_1d(figure.subplots(lines, columns, squeeze=False)).ravel()
    image = None
    for axes, code in zip(panels, codes):
        grid = grids[code]
        image = axes.imshow(grid, cmap=colours, norm=norm, aspect="auto", origin="lower", gid="heatmap")
        axes.set_title(code)
        axes.set_xticks(range(len(x_values)), [str(value) for value in x_values])
        axes.set_xlabel(x_name)
        axes.set_yticks(range(len(y_values)), [str(value) for value in y_values] if y_name else [])
        if y_name:
            axes.set_ylabel(y_name)
        for (y, x), value in np.ndenumerate(grid):
            text = "failed" if math.isnan(value) else f"{value:,.0f}" if abs(value) >= 100 else f"{value:,.2f}"
            shade = (0.5, 0.5, 0.5, 1.0) if math.isnan(value) else colours(norm(value))
            light = 0.299 * shade[0] + 0.587 * shade[1] + 0.114 * shade[2] > 0.55
            axes.text(x, y, text, ha="center", va="center", fontsize=8, color="black" if light else "white")
    for axes in panels[len(codes):]:
        axes.set_visible(False)
    others = [name for name in parameters if name not in (x_name, y_name)]
    label = METRIC_LABELS.get(metric, metric)
    title = f"{label} by {x_name}" + (f" and {y_name}" if y_name else "")
    if others:
        title += f", the best over {', '.join(others)}"
    figure.suptitle(title)
    if image is not None:
        bar = figure.colorbar(image, ax=list(panels[:len(codes)]), label=label, shrink=0.9)
        bar.ax.yaxis.set_major_formatter(matplotlib.ticker.StrMethodFormatter("{x:,.6g}"))
    return figure


def save(figure: matplotlib.figure.Figure, path: pathlib.Path) -> None:
    """`figure` as a PNG at `path`, with no date or version in it: the same picture makes the same file."""
    figure.savefig(path, dpi=100, metadata={"Software": None})
