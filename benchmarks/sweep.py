"""The Python backtest and the sweep, in bars per second: examples/backtest.py over one instrument, and
examples/sweep.py's tasks run serially, on two threads over shared series and on a two-worker LocalCluster (the three
interleaved in rounds), plus the cluster's overhead per task.

    python benchmarks/sweep.py -o build/bench-results/sweep-3.14.md [--bars 250000] [--rounds 3]

Writes a markdown section for the running interpreter that `report.py markdown` appends to docs/performance.md,
and prints it.
"""

import argparse
import pathlib
import platform
import statistics
import sys
import sysconfig
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


def timed(run):
    started = time.perf_counter()
    table = run()
    return table, time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-o", "--output", type=pathlib.Path, required=True)
    parser.add_argument("--bars", type=int, default=250_000, help="bars per instrument")
    parser.add_argument("--workers", type=int, default=2, help="threads of the pool, processes of the cluster")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    strategy = sweep.Strategy.read(ROOT / "examples" / "strategy.py")
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    interpreter = f"CPython {platform.python_version()}{' free-threaded' if free_threaded else ''}"
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
        seconds = {"serial": [], "threads": [], "cluster": []}
        tables = {}
        started = time.perf_counter()
        with sweep.connect(None, args.workers) as client:
            startup = time.perf_counter() - started
            sweep.run_on_cluster(client, tiny_work[:20], strategy, "Min1")  # workers import all
            for _ in range(args.rounds):  # the three contenders in turn, so that the machine's load falls on each
                tables["serial"], spent = timed(lambda: sweep.run_serially(work, strategy, "Min1"))
                seconds["serial"].append(spent)
                tables["threads"], spent = timed(lambda: sweep.run_on_threads(work, strategy, "Min1", args.workers))
                seconds["threads"].append(spent)
                tables["cluster"], spent = timed(lambda: sweep.run_on_cluster(client, work, strategy, "Min1"))
                seconds["cluster"].append(spent)
            _, tiny_cluster = timed(lambda: sweep.run_on_cluster(client, tiny_work, strategy, "Min1"))
        _, tiny_serial = timed(lambda: sweep.run_serially(tiny_work, strategy, "Min1"))
    drop = ["seconds", "bars_per_second"]
    for name in ("threads", "cluster"):
        if tables[name].drop_columns(drop).to_pylist() != tables["serial"].drop_columns(drop).to_pylist():
            raise SystemExit(f"sweep benchmark: the {name} table differs from the serial one")
    bars = bars_in(tables["serial"])
    rate = {name: bars / statistics.median(spent) for name, spent in seconds.items()}
    ratio = {name: statistics.median(serial / spent for serial, spent in zip(seconds["serial"], seconds[name]))
             for name in seconds}
    tiny_cluster, tiny_serial = tiny_cluster / TINY_TASKS, tiny_serial / TINY_TASKS
    overhead = tiny_cluster - tiny_serial / args.workers
    gil = "without the GIL: the threads run at once" if free_threaded else "with the GIL: one thread runs at a time"
    text = "\n".join([
        f"## Backtests and sweeps in Python, {interpreter}",
        "",
        f"`examples/backtest.py` (the moving-average strategy over `kavno_feed.candles` of a Parquet file, "
        f"{args.bars:,} bars): **{backtest_rate:,.0f} bars per second** in one thread.",
        "",
        f"`examples/sweep.py`, {len(work)} backtests ({len(CODES)} instruments x {len(work) // len(CODES)} "
        f"parameter sets, {bars:,} bars), median of {args.rounds} rounds in which the three runs take turns:",
        "",
        "| run | seconds | bars per second | against the serial run (median of the rounds' ratios) |",
        "|---|---:|---:|---:|",
        f"| `--serial`: in one thread, each task reading its own file | {statistics.median(seconds['serial']):.2f} | "
        f"{rate['serial']:,.0f} | 1.00x |",
        f"| `--threads {args.workers}`: one shared series per instrument, {gil} | "
        f"{statistics.median(seconds['threads']):.2f} | {rate['threads']:,.0f} | **{ratio['threads']:.2f}x** |",
        f"| `--workers {args.workers}`: a LocalCluster of {args.workers} processes, each task reading its own file | "
        f"{statistics.median(seconds['cluster']):.2f} | {rate['cluster']:,.0f} | {ratio['cluster']:.2f}x |",
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
