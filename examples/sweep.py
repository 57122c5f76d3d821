"""A parameter sweep on dask.distributed: one backtest per instrument and parameter set, each made on a worker.

    python examples/sweep.py DATA [--grid NAME=V1,V2,...]... [--strategy FILE] [--interval Min1]
                             [--scheduler ADDRESS | --workers N | --threads N | --serial] [--out FILE] [--top N]
                             [--plot FILE.png] [--metric COLUMN] [--quiet]

DATA is a folder with one Parquet file per instrument (CODE.parquet, as examples/generate.py writes them) or one
partition folder per instrument (CODE/ or code=CODE/, a hive-partitioned dataset). Every combination of an
instrument and a parameter set (the product of the --grid values, by default fast=5,10,20 and slow=40,80) is one
task: it reads only its instrument's file, builds the candles there with kavno_feed.candles, runs
examples/backtest.py's backtest with strategy.create(**parameters) and returns one row (instrument, parameters,
bars, trades, final holding, fees, PnL, seconds, bars per second). Records never leave the process that made them;
only paths, parameters, the strategy's source text and the result rows travel.

Tasks run on a LocalCluster of --workers processes (listening on 127.0.0.1 only) or on the running scheduler at
--scheduler ADDRESS, whose workers need kavno and pyarrow installed and DATA at the same path; --threads N runs them
in a pool of N threads of this process, over one CandleSeries per instrument read once and shared by every thread
(on a free-threaded CPython the threads run at once; with the GIL, one at a time); --serial runs them one after
another in this process. The rows are collected into one table, the best are printed and all
of them are written to --out (sweep.parquet). A task that fails keeps its row, with the error in the column
`error` (a strategy that raises, calls sys.exit or kills its worker process fails its own task, and no other; a
lost worker's task is tried on two more workers); the failures are listed on standard error and the exit
status is 1. Ctrl-C writes the rows finished so far and exits with status 130.

While it runs, the sweep shows on standard error, when that is a terminal, the backtests done of all, the bars per
second and the time left; --quiet shows nothing of it. --plot draws a heat map of PnL (or of the column --metric
names) over the first two grid parameters into a PNG file, one panel per instrument (matplotlib, from the
[examples] extra).
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import dataclasses
import itertools
import math
import os
import pathlib
import re
import signal
import sys
import time
import traceback
import types
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

import pyarrow as pa  # type: ignore[import-untyped]  # pyarrow ships no type information
import pyarrow.parquet  # type: ignore[import-untyped]

import kavno
import kavno_feed

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import backtest as backtest_module  # noqa: E402  # examples/backtest.py, shared rather than copied

EXAMPLES = pathlib.Path(__file__).resolve().parent
DEFAULT_GRID: dict[str, list[int | float]] = {"fast": [5, 10, 20], "slow": [40, 80]}
BAR_COLUMNS = ["open_time", "open", "high", "low", "close", "volume"]
CONNECT_SECONDS = 10
SCHEDULER_ADDRESS = re.compile(r"((tcp|tls|ws|wss|ucx)://)?(\[[0-9a-fA-F:]+\]|[A-Za-z0-9.-]+):\d{1,5}")
RESULT_COLUMNS = ["bars", "trades", "holding", "fees", "pnl", "seconds", "bars_per_second", "error"]
METRICS = [name for name in RESULT_COLUMNS if name != "error"]


@dataclasses.dataclass(frozen=True)
class Strategy:
    """A strategy module as text, so that it reaches any worker without a shared file system."""

    name: str
    source: str

    @classmethod
    def read(cls, path: pathlib.Path) -> Strategy:
        return cls(str(path), path.read_text())

    def create(self, parameters: dict[str, Any]) -> Any:
        module = types.ModuleType(pathlib.Path(self.name).stem)
        module.__file__ = self.name
        exec(compile(self.source, self.name, "exec"), module.__dict__)
        return module.create(**parameters)


@dataclasses.dataclass(frozen=True)
class Task:
    """One backtest: an instrument's data and one parameter set."""

    instrument: str
    path: str
    parameters: tuple[tuple[str, int | float], ...]

    def describe(self) -> str:
        return " ".join([self.instrument, *(f"{name}={value}" for name, value in self.parameters)])


def instruments(data: pathlib.Path) -> list[tuple[str, pathlib.Path]]:
    """(code, path) for each CODE.parquet file and each CODE/ or code=CODE/ partition folder of `data`, by code."""
    found = []
    for path in data.iterdir():
        if path.suffix == ".parquet" and not path.exists():
            raise SystemExit(f"sweep: {path} is a link to nothing ({os.readlink(path)})")
        if path.is_file() and path.suffix == ".parquet":
            found.append((path.stem, path))
        elif path.is_dir() and not path.name.startswith((".", "_")):
            found.append((path.name.partition("=")[2] or path.name, path))
    if not found:
        raise SystemExit(f"sweep: {data} holds no CODE.parquet file and no partition folder")
    return sorted(found)


def tasks(data: pathlib.Path, grid: dict[str, list[int | float]]) -> list[Task]:
    """Every instrument with every combination of the grid's values."""
    names = sorted(grid)
    combinations = [tuple(zip(names, values)) for values in itertools.product(*(grid[name] for name in names))]
    return [Task(code, str(path), parameters) for code, path in instruments(data) for parameters in combinations]


def load_series(task: Task, interval: str) -> kavno_feed.CandleSeries:
    """The candles of the task's instrument, read from its file.

    The interval travels by name and kavno's classes are reached through the module: kavno's classes, members and
    records are not picklable, so none of them may travel with a task."""
    table = pyarrow.parquet.read_table(task.path, columns=BAR_COLUMNS)
    return kavno_feed.candles(table, code=task.instrument, interval=getattr(kavno.CandleInterval, interval))


def backtest_row(candles: kavno_feed.CandleSeries, strategy: Strategy, task: Task) -> dict[str, Any]:
    """One backtest of the task's parameters over `candles`, as a row."""
    report = backtest_module.backtest(strategy.create(dict(task.parameters)), candles)
    rate = report.candles / report.seconds if report.seconds > 0 else 0.0
    return {"bars": report.candles, "trades": report.trades, "holding": report.holding, "fees": report.fees,
            "pnl": report.pnl, "seconds": report.seconds, "bars_per_second": rate, "error": None}


def run_task(task: Task, strategy: Strategy, interval: str) -> dict[str, Any]:
    """One backtest, run where it is called (a worker): reads its data, makes its records, returns a row. Whatever
    the strategy raises is its task's row, sys.exit and KeyboardInterrupt included: a worker's task must not end
    the worker."""
    try:
        return backtest_row(load_series(task, interval), strategy, task)
    except BaseException as error:  # noqa: BLE001  # a task's failure is its row, whatever it is
        if isinstance(error, KeyboardInterrupt) and CTRL_C.pressed:
            raise  # the user's Ctrl-C, not the strategy's
        return failed_row(error)


def failed_row(error: BaseException) -> dict[str, Any]:
    return dict.fromkeys(RESULT_COLUMNS) | {"error": "".join(traceback.format_exception_only(error)).strip()}


# Set by the Ctrl-C of the person running the sweep, so that a KeyboardInterrupt a strategy raises stays its task's.
# (A plain namespace: a worker gets a copy of what the tasks' functions refer to, and a lock cannot be copied.)
CTRL_C = types.SimpleNamespace(pressed=False)


def interrupt(signum: int, frame: Any) -> None:
    CTRL_C.pressed = True
    raise KeyboardInterrupt


class Interrupted(Exception):
    """Ctrl-C during a sweep, with the rows finished until then."""

    def __init__(self, table: pa.Table) -> None:
        super().__init__("interrupted")
        self.table = table


class Progress:
    """One line on a terminal, rewritten as tasks finish: "sweep: 7/24 backtests, 812,345 bars per second, about 12 s
    left". Silent when `stream` is no terminal or `shown` is false; rewritten at most every REDRAW_SECONDS."""

    REDRAW_SECONDS = 0.1

    def __init__(self, total: int, stream: Any = None, shown: bool = True) -> None:
        self.stream = sys.stderr if stream is None else stream
        self.shown = shown and self.stream.isatty()
        self.total, self.done, self.bars = total, 0, 0
        self.started = time.perf_counter()
        self.drawn = -math.inf
        self.width = 0

    def finished(self, row: dict[str, Any]) -> None:
        """One more task done, with its row."""
        self.done += 1
        self.bars += row.get("bars") or 0
        now = time.perf_counter()
        if self.shown and (now - self.drawn >= self.REDRAW_SECONDS or self.done == self.total):
            self.drawn = now
            self.draw(self.line(now - self.started))

    def line(self, elapsed: float) -> str:
        text = f"sweep: {self.done}/{self.total} backtests"
        if elapsed > 0.0:
            text += f", {self.bars / elapsed:,.0f} bars per second"
        if 0 < self.done < self.total:
            text += f", about {duration(elapsed / self.done * (self.total - self.done))} left"
        return text

    def draw(self, text: str) -> None:
        self.stream.write("\r" + text.ljust(self.width))
        self.stream.flush()
        self.width = len(text)

    def close(self) -> None:
        """Clears the line, so that what follows starts on a clean one."""
        if self.shown and self.width:
            self.stream.write("\r" + " " * self.width + "\r")
            self.stream.flush()
            self.width = 0


def duration(seconds: float) -> str:
    if seconds < 60.0:
        return f"{seconds:.0f} s"
    minutes, seconds = divmod(round(seconds), 60)
    return f"{minutes} min {seconds} s" if minutes < 60 else f"{minutes // 60} h {minutes % 60} min"


def result_table(done: Iterable[tuple[Task, dict[str, Any]]]) -> pa.Table:
    """One row per task: the instrument, one column per parameter, then the result columns; sorted by task."""
    rows = [{"instrument": task.instrument, **dict(task.parameters), **row}
            for task, row in sorted(done, key=lambda pair: (pair[0].instrument, pair[0].parameters))]
    return pa.Table.from_pylist(rows)


def run_serially(work: Sequence[Task], strategy: Strategy, interval: str,
                 progress: Progress | None = None) -> pa.Table:
    """The same tasks one after another in this process: what the cluster must reproduce."""
    progress = progress or Progress(len(work), shown=False)
    done = []
    try:
        for task in work:
            done.append((task, run_task(task, strategy, interval)))
            progress.finished(done[-1][1])
    except KeyboardInterrupt:
        raise Interrupted(result_table(done)) from None
    return result_table(done)


def run_on_threads(work: Sequence[Task], strategy: Strategy, interval: str, threads: int,
                   progress: Progress | None = None) -> pa.Table:
    """The same tasks in a pool of `threads` threads of this process. Each instrument's file is read once, into one
    CandleSeries that every thread iterates: a series and its candles never change, so threads share them as they
    are, with nothing copied or pickled."""
    series: dict[str, kavno_feed.CandleSeries | Exception] = {}
    for task in work:
        if task.path not in series:
            try:
                series[task.path] = load_series(task, interval)
            except Exception as error:  # every task of the instrument keeps this row
                series[task.path] = error

    def run(task: Task) -> tuple[Task, dict[str, Any]]:
        candles = series[task.path]
        if isinstance(candles, Exception):
            return task, failed_row(candles)
        try:
            return task, backtest_row(candles, strategy, task)
        except BaseException as error:  # noqa: BLE001  # a task's failure is its row
            if isinstance(error, KeyboardInterrupt) and CTRL_C.pressed:
                raise
            return task, failed_row(error)

    progress = progress or Progress(len(work), shown=False)
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=threads, thread_name_prefix="sweep")
    futures = [pool.submit(run, task) for task in work]
    try:
        for future in concurrent.futures.as_completed(futures):
            progress.finished(future.result()[1])
        done = [future.result() for future in futures]
    except KeyboardInterrupt:
        pool.shutdown(wait=False, cancel_futures=True)
        raise Interrupted(result_table(f.result() for f in futures if f.done() and not f.cancelled())) from None
    pool.shutdown()
    return result_table(done)


def run_on_cluster(client: Any, work: Sequence[Task], strategy: Strategy, interval: str,
                   progress: Progress | None = None) -> pa.Table:
    """One task per combination on the client's cluster; a failed task keeps its row, with its error."""
    import distributed

    # The shared backtest (and this module, when imported rather than run) reach the workers as source files, so
    # that they need only kavno and pyarrow installed.
    client.upload_file(backtest_module.__file__)
    if __name__ != "__main__":
        client.upload_file(__file__)
    # The strategy's text travels with each task (it is small): data scattered to a worker would go with the worker
    # if a task killed it, and every task that needed it would be lost too.
    futures = [client.submit(run_task, task, strategy, interval, key=f"backtest-{index}-{task.describe()}", pure=False)
               for index, task in enumerate(work)]
    progress = progress or Progress(len(work), shown=False)
    def collect(finished: Iterable[tuple[Task, Any]]) -> pa.Table:
        done = []
        for task, future in finished:
            try:
                done.append((task, future.result()))
            except BaseException as error:  # noqa: BLE001  # the cluster's (a worker lost, a task cancelled)
                done.append((task, failed_row(error)))
        return result_table(done)

    try:
        for future in distributed.as_completed(futures):  # every future ends, erred or cancelled ones too
            progress.finished(future.result() if future.status == "finished" else {})
    except KeyboardInterrupt:
        finished = [(task, future) for task, future in zip(work, futures) if future.done()]
        client.cancel([future for future in futures if not future.done()])
        raise Interrupted(collect(finished)) from None
    return collect(zip(work, futures))


def reach(address: str) -> None:
    """Connects to `address` and says hello as dask does, within CONNECT_SECONDS; TimeoutError or OSError if
    nothing there answers as a dask scheduler (dask's own client waits on such a port for ever)."""
    import asyncio

    import distributed.comm

    async def hello() -> None:
        comm = await distributed.comm.connect(address)
        await comm.close()

    asyncio.run(asyncio.wait_for(hello(), CONNECT_SECONDS))


@contextlib.contextmanager
def connect(scheduler: str | None, workers: int) -> Iterator[Any]:
    """A client of the scheduler at `scheduler`, or of a LocalCluster of `workers` processes of one thread each
    that listens on loopback only and is shut down on leaving."""
    import dask
    import distributed

    # Bounded waits: a port that takes connections but speaks no dask is refused in seconds, not waited on. A task
    # whose worker dies is tried on two more workers, then fails with KilledWorker; no worker is handed more tasks
    # than it has threads, so that a task that kills its worker takes no other with it.
    with dask.config.set({"distributed.comm.timeouts.connect": f"{CONNECT_SECONDS}s",
                          "distributed.scheduler.allowed-failures": 2,
                          "distributed.scheduler.worker-saturation": 1.0}):
        if scheduler:
            try:
                reach(scheduler)
                client = distributed.Client(scheduler, timeout=CONNECT_SECONDS)
            except (OSError, TimeoutError) as error:
                raise SystemExit(f"sweep: cannot reach a dask scheduler at {scheduler} within {CONNECT_SECONDS} s "
                                 f"({type(error).__name__}{': ' if str(error) else ''}{error})") from None
            with client:
                yield client
            return
        # The scheduler's web server always starts: on a free loopback port, not on 8787 that another may hold.
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                                           dashboard_address="127.0.0.1:0")
        with cluster, distributed.Client(cluster) as client:
            yield client


def parse_grid(items: list[str] | None) -> dict[str, list[int | float]]:
    if not items:
        return dict(DEFAULT_GRID)
    grid: dict[str, list[int | float]] = {}
    for item in items:
        name, equals, values = item.partition("=")
        if not equals or not name.isidentifier() or not values:
            raise argparse.ArgumentTypeError(f"--grid {item!r}: expected NAME=V1,V2,...")
        try:
            grid[name] = [float(v) if any(c in v for c in ".eE") else int(v) for v in values.split(",")]
        except ValueError:
            raise argparse.ArgumentTypeError(f"--grid {item!r}: the values must be numbers") from None
    return grid


def print_best(table: pa.Table, top: int, write: Callable[[str], Any] = print) -> None:
    """The `top` rows of highest PnL among the tasks that finished."""
    rows = [row for row in table.to_pylist() if row["error"] is None]
    rows.sort(key=lambda row: row["pnl"], reverse=True)
    parameters = [name for name in table.column_names if name not in ("instrument", *RESULT_COLUMNS)]
    header = ["instrument", *parameters, "trades", "PnL", "bars/s"]
    lines = [[row["instrument"], *(str(row[name]) for name in parameters), str(row["trades"]), f"{row['pnl']:.2f}",
              f"{row['bars_per_second']:,.0f}"] for row in rows[:top]]
    widths = [max(len(cell) for cell in column) for column in zip(header, *lines)]
    for line in [header, *lines]:
        write("  ".join(cell.rjust(width) if i else cell.ljust(width) for i, (cell, width) in enumerate(zip(line, widths))))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", type=pathlib.Path, help="a folder of CODE.parquet files or partition folders")
    parser.add_argument("--grid", action="append", metavar="NAME=V1,V2,...",
                        help="values of one parameter of strategy.create (default: fast=5,10,20 slow=40,80)")
    parser.add_argument("--strategy", type=pathlib.Path, default=EXAMPLES / "strategy.py")
    parser.add_argument("--interval", default="Min1", choices=["Min1", "Min5", "Min15", "Hour1", "Day1"])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running dask scheduler, e.g. tcp://10.0.0.5:8786")
    where.add_argument("--workers", type=int, default=2, help="processes of the local cluster (default: 2)")
    where.add_argument("--threads", type=int, metavar="N",
                       help="run the tasks in N threads of this process over shared series (all cores on a "
                            "free-threaded CPython)")
    where.add_argument("--serial", action="store_true", help="run every task in this process, one after another")
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("sweep.parquet"))
    parser.add_argument("--top", type=int, default=5, help="how many of the best rows to print")
    parser.add_argument("--plot", type=pathlib.Path, metavar="FILE.png",
                        help="draw a heat map of --metric over the first two grid parameters into FILE.png")
    parser.add_argument("--metric", default="pnl", choices=METRICS, help="the column --plot draws (default: pnl)")
    parser.add_argument("--quiet", "--no-progress", action="store_true",
                        help="show no progress while the sweep runs (none is shown where standard error is no "
                             "terminal)")
    args = parser.parse_args(argv)
    try:
        grid = parse_grid(args.grid)
    except argparse.ArgumentTypeError as error:
        parser.error(str(error))
    if not args.data.is_dir():
        parser.error(f"{args.data} is not a folder")
    if args.workers < 1:
        parser.error("--workers must be at least 1")
    if args.threads is not None and args.threads < 1:
        parser.error("--threads must be at least 1")
    if args.scheduler is not None and not SCHEDULER_ADDRESS.fullmatch(args.scheduler):
        parser.error(f"--scheduler {args.scheduler!r}: expected an address such as tcp://10.0.0.5:8786")
    if not args.strategy.is_file():
        parser.error(f"--strategy {args.strategy}: no such file")
    backtest_module.check_writable(parser, "--out", args.out)
    if args.plot is not None:
        backtest_module.check_writable(parser, "--plot", args.plot)
    work = tasks(args.data, grid)
    strategy = Strategy.read(args.strategy)
    interval = args.interval
    startup = 0.0
    started = time.perf_counter()
    signal.signal(signal.SIGINT, interrupt)
    progress = Progress(len(work), shown=not args.quiet)
    try:
        if args.serial:
            table = run_serially(work, strategy, interval, progress)
            seconds = time.perf_counter() - started
            where_text = "in this process"
        elif args.threads is not None:
            table = run_on_threads(work, strategy, interval, args.threads, progress)
            seconds = time.perf_counter() - started
            where_text = f"on {args.threads} thread{'s' if args.threads > 1 else ''}"
        else:
            with connect(args.scheduler, args.workers) as client:
                workers = len(client.scheduler_info()["workers"])
                startup, started = time.perf_counter() - started, time.perf_counter()
                progress.started = started
                table = run_on_cluster(client, work, strategy, interval, progress)
                seconds = time.perf_counter() - started
            where_text = f"on {workers} workers"
    except Interrupted as interrupted:
        progress.close()
        pyarrow.parquet.write_table(interrupted.table, args.out)
        print(f"sweep: interrupted; the {interrupted.table.num_rows} of {len(work)} rows finished are in {args.out}",
              file=sys.stderr)
        return 130
    progress.close()
    pyarrow.parquet.write_table(table, args.out)
    bars = sum(row or 0 for row in table.column("bars").to_pylist())
    connecting = f" (after {startup:.1f} s reaching the cluster)" if startup else ""
    print(f"sweep: {len(work)} backtests, {bars:,} bars {where_text} in {seconds:.1f} s{connecting}, "
          f"{bars / seconds:,.0f} bars per second; all rows in {args.out}")
    print_best(table, args.top)
    if args.plot is not None:
        import plots  # matplotlib is needed only here

        parameters = [name for name in table.column_names if name not in ("instrument", *RESULT_COLUMNS)]
        plots.save(plots.sweep_figure(table, parameters, args.metric), args.plot)
        print(f"picture: {args.plot}")
    failures = [row for row in table.to_pylist() if row["error"] is not None]
    for row in failures:
        described = " ".join(f"{name}={row[name]}" for name in table.column_names
                             if name not in ("instrument", *RESULT_COLUMNS))
        print(f"sweep: {row['instrument']} {described} failed: {row['error']}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
