"""Generated bars for the examples: one Parquet file per instrument, a deterministic random walk each.

    python examples/generate.py OUT_DIR [--instruments BTCUSDT,ETHUSDT,...] [--bars N] [--interval Min1]

Each file OUT_DIR/CODE.parquet has the columns kavno_feed.candles reads: open_time (timestamp in milliseconds,
UTC), open, high, low, close and volume (float64). The walk of an instrument depends only on its code, so a file
made again is the same file.
"""

from __future__ import annotations

import argparse
import datetime
import pathlib
import sys
import zlib

import numpy as np
import pyarrow as pa  # type: ignore[import-untyped]  # pyarrow ships no type information
import pyarrow.parquet  # type: ignore[import-untyped]

import kavno
import kavno_feed



def interval_ms(interval: kavno.CandleInterval) -> int:
    """The length of an interval in milliseconds, as kavno knows it: a candle's close_time is its open_time plus the
    interval, less a millisecond."""
    bar = kavno_feed.make_candle(code="X", open_time=0, close=1.0, interval=interval)
    return (bar.close_time - bar.open_time) // datetime.timedelta(milliseconds=1) + 1


INTERVAL_MS = {name: interval_ms(member) for name, member in vars(kavno.CandleInterval).items()
               if isinstance(member, kavno.CandleInterval)}
START_MS = 1_704_067_200_000  # 2024-01-01T00:00:00Z
DEFAULT_INSTRUMENTS = ("BTCUSDT", "ETHUSDT", "SOLUSDT", "BNBUSDT")


def bars(code: str, count: int, interval: str = "Min1") -> pa.Table:
    """`count` bars of `code`, `interval` apart from 2024-01-01T00:00:00Z: a drifting random walk."""
    random = np.random.default_rng(zlib.crc32(code.encode()))
    step = np.arange(count, dtype=np.float64)
    drift = np.sin(step / 900.0) * 0.0004
    returns = 1.0 + drift + (random.random(count) + random.random(count) + random.random(count) - 1.5) * 0.002
    start = 10.0 + (zlib.crc32(code.encode()) % 50_000)
    close = start * np.cumprod(returns)
    open_ = np.concatenate(([start], close[:-1]))
    high = np.maximum(open_, close) * (1.0 + random.random(count) * 0.0008)
    low = np.minimum(open_, close) * (1.0 - random.random(count) * 0.0008)
    open_time = START_MS + np.arange(count, dtype=np.int64) * INTERVAL_MS[interval]
    return pa.table({
        "open_time": pa.array(open_time, pa.timestamp("ms", "UTC")),
        "open": open_, "high": high, "low": low, "close": close, "volume": 1.0 + random.random(count) * 20.0,
    })


def write(out: pathlib.Path, instruments: list[str], count: int, interval: str = "Min1") -> list[pathlib.Path]:
    """One Parquet file per instrument in `out` (made if missing); returns their paths."""
    out.mkdir(parents=True, exist_ok=True)
    paths = []
    for code in instruments:
        path = out / f"{code}.parquet"
        pyarrow.parquet.write_table(bars(code, count, interval), path)
        paths.append(path)
    return paths


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", type=pathlib.Path, help="the folder to write CODE.parquet files into")
    parser.add_argument("--instruments", default=",".join(DEFAULT_INSTRUMENTS),
                        help="comma-separated codes (default: %(default)s)")
    parser.add_argument("--bars", type=int, default=100_000, help="bars per instrument (default: %(default)s)")
    parser.add_argument("--interval", default="Min1", choices=list(INTERVAL_MS))
    args = parser.parse_args(argv)
    if args.bars < 1:
        parser.error("--bars must be at least 1")
    codes = [code for code in args.instruments.split(",") if code]
    if not codes:
        parser.error("--instruments names no instrument")
    for path in write(args.out, codes, args.bars, args.interval):
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
