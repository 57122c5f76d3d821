"""The Python backtest and the sweep, in bars per second: examples/backtest.py over one instrument, and
examples/sweep.py's tasks run serially and on a two-worker LocalCluster, plus the cluster's overhead per task.

    python benchmarks/sweep.py -o build/bench-results/sweep.md [--bars 250000]

Writes a markdown section that `report.py markdown` appends to docs/performance.md, and prints it.
"""

import argparse
import pathlib
import statistics
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
import backtest  # noqa: E402
import generate  # noqa: E402
import sweep  # noqa: E402

import kavno_feed  # noqa: E402
from kavno import CandleInterval  # noqa: E402

CODES = ["BTCUSDT", "ETHUSDT", "SOLUSDT", "BNBUSDT"]
GRID = {"fast": [5, 10, 20], "slow": [40, 80]}
TINY_TASKS = 200


def bars_in(table):
    return sum(table.column("bars").to_pylist())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-o", "--output", type=pathlib.Path, required=True)
    parser.add_argument("--bars", type=int, default=250_000, help="bars per instrument")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    strategy = sweep.Strategy.read(ROOT / "examples" / "strategy.py")
    with tempfile.TemporaryDirectory() as folder:
        data = pathlib.Path(folder) / "bars"
        generate.write(data, CODES, args.bars)
        tiny = pathlib.Path(folder) / "tiny"
        generate.write(tiny, ["TINY"], 100)

        # One backtest, as examples/backtest.py runs it: the strategy's loop over kavno_feed candles.
        candles = kavno_feed.candles(backtest.read_bars(data / "BTCUSDT.parquet"), code="BTCUSDT",
                                     interval=CandleInterval.Min1)
        rates = []
        for _ in range(3):
            report = backtest.backtest(strategy.create({}), candles)
            rates.append(report.candles / report.seconds)
        backtest_rate = statistics.median(rates)

        work = sweep.tasks(data, GRID)
        tiny_work = [sweep.Task("TINY", str(tiny / "TINY.parquet"), (("fast", 5), ("slow", 40)))] * TINY_TASKS
        started = time.perf_counter()
        serial = sweep.run_serially(work, strategy, "Min1")
        serial_seconds = time.perf_counter() - started
        started = time.perf_counter()
        sweep.run_serially(tiny_work, strategy, "Min1")
        tiny_serial = (time.perf_counter() - started) / TINY_TASKS

        started = time.perf_counter()
        with sweep.connect(None, args.workers) as client:
            startup = time.perf_counter() - started
            sweep.run_on_cluster(client, tiny_work[:20], strategy, "Min1", progress=False)  # workers import all
            started = time.perf_counter()
            clustered = sweep.run_on_cluster(client, work, strategy, "Min1", progress=False)
            cluster_seconds = time.perf_counter() - started
            started = time.perf_counter()
            sweep.run_on_cluster(client, tiny_work, strategy, "Min1", progress=False)
            tiny_cluster = (time.perf_counter() - started) / TINY_TASKS
    drop = ["seconds", "bars_per_second"]
    if clustered.drop_columns(drop).to_pylist() != serial.drop_columns(drop).to_pylist():
        raise SystemExit("sweep benchmark: the cluster's table differs from the serial one")
    bars = bars_in(serial)
    serial_rate, cluster_rate = bars / serial_seconds, bars / cluster_seconds
    overhead = tiny_cluster - tiny_serial / args.workers
    text = "\n".join([
        "## Backtests and sweeps in Python",
        "",
        f"`examples/backtest.py` (the moving-average strategy over `kavno_feed.candles` of a Parquet file, "
        f"{args.bars:,} bars): **{backtest_rate:,.0f} bars per second** in one process.",
        "",
        f"`examples/sweep.py`, {len(work)} backtests ({len(CODES)} instruments x {len(work) // len(CODES)} "
        f"parameter sets, {bars:,} bars, each task reading its own Parquet file):",
        "",
        "| run | seconds | bars per second | |",
        "|---|---:|---:|---|",
        f"| serially, in one process | {serial_seconds:.2f} | {serial_rate:,.0f} | |",
        f"| LocalCluster, {args.workers} worker processes | {cluster_seconds:.2f} | {cluster_rate:,.0f} | "
        f"{cluster_rate / serial_rate:.2f}x the serial run |",
        "",
        f"Starting the cluster took {startup:.1f} s (not counted above). Overhead per task, from {TINY_TASKS} tasks of "
        f"100 bars: {tiny_cluster * 1e3:.1f} ms of wall-clock a task on the cluster against {tiny_serial * 1e3:.1f} ms "
        f"in-process, **{overhead * 1e3:.1f} ms a task** beyond a perfect split over {args.workers} workers "
        "(scheduling, sending the task and its result, reading the file's metadata on the worker). The cluster "
        "shares the machine's cores with its scheduler and this client.",
    ])
    args.output.write_text(text + "\n")
    print(text)


if __name__ == "__main__":
    main()
