"""examples/sweep.py: the sweep on a two-worker LocalCluster equals the same tasks run serially, a failing task
keeps its row with its instrument, parameters and error, and the script says so."""

import io
import os
import pathlib
import pty
import re
import subprocess
import sys

import pytest

distributed = pytest.importorskip("distributed")
pyarrow_parquet = pytest.importorskip("pyarrow.parquet")

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
import generate  # noqa: E402
import sweep  # noqa: E402

sys.path.pop(0)

GRID = {"fast": [5, 10], "slow": [20, 40]}
CODES = ["BTCUSDT", "ETHUSDT", "SOLUSDT"]
FAILING_STRATEGY = '''
class Strategy:
    def __init__(self, fast, slow):
        self.fast, self.slow, self.log = fast, slow, []

    def on_candle(self, bar):
        if bar.code == "ETHUSDT" and self.fast == 10:
            raise RuntimeError(f"no quotes for {bar.code}")
        return None


def create(**parameters):
    return Strategy(**parameters)
'''


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("bars")
    generate.write(folder, CODES, 3000)
    return folder


@pytest.fixture(scope="module")
def client():
    with sweep.connect(None, 2) as client:
        yield client


def deterministic(table):
    """The rows without their timings."""
    return table.drop_columns(["seconds", "bars_per_second"]).to_pylist()


def test_the_cluster_listens_on_loopback_with_two_worker_processes(client):
    info = client.scheduler_info()
    addresses = [info["address"], *info["workers"]]
    assert len(info["workers"]) == 2
    assert all(address.startswith("tcp://127.0.0.1:") for address in addresses), addresses
    assert len({worker["id"] for worker in info["workers"].values()}) == 2


def test_the_sweep_on_the_cluster_gives_the_serial_table(data, client):
    work = sweep.tasks(data, GRID)
    strategy = sweep.Strategy.read(ROOT / "examples" / "strategy.py")
    serial = sweep.run_serially(work, strategy, "Min1")
    clustered = sweep.run_on_cluster(client, work, strategy, "Min1")
    assert deterministic(clustered) == deterministic(serial)
    rows = deterministic(serial)
    assert [(row["instrument"], row["fast"], row["slow"]) for row in rows] == \
        [(code, fast, slow) for code in CODES for fast in (5, 10) for slow in (20, 40)]
    assert all(row["error"] is None and row["bars"] == 3000 and row["trades"] > 0 for row in rows)


def test_a_failing_task_keeps_its_row_and_the_others_finish(data, client):
    work = sweep.tasks(data, GRID)
    strategy = sweep.Strategy("failing.py", FAILING_STRATEGY)
    clustered = sweep.run_on_cluster(client, work, strategy, "Min1")
    assert deterministic(clustered) == deterministic(sweep.run_serially(work, strategy, "Min1"))
    failed = [(row["instrument"], row["fast"], row["slow"], row["error"]) for row in clustered.to_pylist()
              if row["error"] is not None]
    assert failed == [("ETHUSDT", 10, slow, "RuntimeError: no quotes for ETHUSDT") for slow in (20, 40)]
    finished = [row for row in clustered.to_pylist() if row["error"] is None]
    assert len(finished) == len(work) - 2 and all(row["bars"] == 3000 for row in finished)


@pytest.mark.parametrize("source", ["examples/strategy.py", "failing"])
def test_the_sweep_on_threads_over_shared_series_gives_the_serial_table(data, source):
    work = sweep.tasks(data, GRID)
    strategy = sweep.Strategy.read(ROOT / source) if source.endswith(".py") else sweep.Strategy("failing.py",
                                                                                                 FAILING_STRATEGY)
    threaded = sweep.run_on_threads(work, strategy, "Min1", threads=3)
    assert deterministic(threaded) == deterministic(sweep.run_serially(work, strategy, "Min1"))
    assert threaded.num_rows == len(work)


def test_an_unreadable_instrument_fails_each_of_its_tasks_on_threads(data, tmp_path):
    (tmp_path / "BROKEN.parquet").write_bytes(b"not parquet")
    pyarrow_parquet.write_table(pyarrow_parquet.read_table(data / "BTCUSDT.parquet"), tmp_path / "BTCUSDT.parquet")
    strategy = sweep.Strategy.read(ROOT / "examples" / "strategy.py")
    work = sweep.tasks(tmp_path, GRID)
    threaded = deterministic(sweep.run_on_threads(work, strategy, "Min1", threads=2))
    assert threaded == deterministic(sweep.run_serially(work, strategy, "Min1"))
    errors = [row["error"] for row in threaded if row["instrument"] == "BROKEN"]
    assert len(errors) == 4
    assert all(error.startswith("pyarrow.lib.ArrowInvalid: Could not open Parquet") for error in errors)
    assert all(row["error"] is None for row in threaded if row["instrument"] == "BTCUSDT")


def test_partition_folders_are_instruments(tmp_path, data):
    (tmp_path / "code=BTCUSDT").mkdir()
    (tmp_path / "ETHUSDT").mkdir()
    (tmp_path / "_metadata").mkdir()
    pyarrow_parquet.write_table(pyarrow_parquet.read_table(data / "BTCUSDT.parquet"), tmp_path / "code=BTCUSDT" / "a.parquet")
    pyarrow_parquet.write_table(pyarrow_parquet.read_table(data / "ETHUSDT.parquet"), tmp_path / "ETHUSDT" / "a.parquet")
    assert [code for code, _ in sweep.instruments(tmp_path)] == ["BTCUSDT", "ETHUSDT"]
    strategy = sweep.Strategy.read(ROOT / "examples" / "strategy.py")
    from_partitions = sweep.run_serially(sweep.tasks(tmp_path, GRID), strategy, "Min1")
    from_files = sweep.run_serially(sweep.tasks(data, GRID), strategy, "Min1")
    assert deterministic(from_partitions) == deterministic(from_files)[:8]


def run_script(*arguments, cwd):
    return subprocess.run([sys.executable, str(ROOT / "examples" / "sweep.py"), *map(str, arguments)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def test_the_script_reports_failures_on_stderr_writes_every_row_and_exits_1(data, tmp_path):
    (tmp_path / "failing.py").write_text(FAILING_STRATEGY)
    result = run_script(data, "--grid", "fast=5,10", "--grid", "slow=20", "--strategy", "failing.py",
                        "--quiet", "--out", "all.parquet", cwd=tmp_path)
    assert result.returncode == 1, result.stderr
    assert result.stderr.splitlines()[-1] == "sweep: ETHUSDT fast=10 slow=20 failed: RuntimeError: no quotes for ETHUSDT"
    assert result.stdout.startswith("sweep: 6 backtests, 15,000 bars on 2 workers in ")
    table = pyarrow_parquet.read_table(tmp_path / "all.parquet")
    assert table.num_rows == 6 and table.column("error").null_count == 5


def test_the_script_runs_serially_and_prints_the_best_rows(data, tmp_path):
    result = run_script(data, "--serial", "--top", "2", "--grid", "fast=5", "--grid", "slow=20,40", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("sweep: 6 backtests, 18,000 bars in this process in ")
    assert lines[1].split() == ["instrument", "fast", "slow", "trades", "PnL", "bars/s"]
    pnls = [float(line.split()[4]) for line in lines[2:]]
    assert len(pnls) == 2 and pnls[0] >= pnls[1]
    rows = pyarrow_parquet.read_table(tmp_path / "sweep.parquet").to_pylist()
    assert max(row["pnl"] for row in rows) == pytest.approx(pnls[0], abs=0.005)


def test_the_script_runs_on_threads(data, tmp_path):
    result = run_script(data, "--threads", "2", "--grid", "fast=5", "--grid", "slow=20", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("sweep: 3 backtests, 9,000 bars on 2 threads in ")
    assert pyarrow_parquet.read_table(tmp_path / "sweep.parquet").num_rows == 3


@pytest.mark.parametrize("arguments, message", [
    (["--grid", "fast"], "--grid 'fast': expected NAME=V1,V2,..."),
    (["--grid", "fast=a,b"], "--grid 'fast=a,b': the values must be numbers"),
    (["--workers", "0"], "--workers must be at least 1"),
    (["--threads", "0"], "--threads must be at least 1"),
    (["--threads", "2", "--serial"], "argument --serial: not allowed with argument --threads"),
])
def test_bad_options_are_refused(data, tmp_path, arguments, message):
    result = run_script(data, *arguments, cwd=tmp_path)
    assert result.returncode == 2 and result.stderr.splitlines()[-1].endswith(message), result.stderr


# --- a task's failure is its own row, whatever the strategy does ------------------------------------------------

def deadly_strategy(action):
    return f'''
import ctypes, os, sys

class Strategy:
    def __init__(self, fast, slow):
        self.fast, self.log = fast, []

    def on_candle(self, bar):
        if bar.code == "ETHUSDT" and self.fast == 10:
            {action}
        return None


def create(**parameters):
    return Strategy(**parameters)
'''


DEADLY = {
    "segfault": ("ctypes.string_at(0)", "KilledWorker"),
    "os._exit": ("os._exit(3)", "KilledWorker"),
    "sys.exit": ("sys.exit(0)", "SystemExit: 0"),
    "KeyboardInterrupt": ("raise KeyboardInterrupt", "KeyboardInterrupt"),
}


@pytest.mark.parametrize("action, error", DEADLY.values(), ids=DEADLY.keys())
def test_a_task_that_ends_its_worker_fails_alone(data, tmp_path, action, error):
    (tmp_path / "deadly.py").write_text(deadly_strategy(action))
    result = run_script(data, "--grid", "fast=5,10", "--grid", "slow=20", "--strategy", "deadly.py", "--quiet",
                        cwd=tmp_path)
    assert result.returncode == 1, result.stderr
    rows = pyarrow_parquet.read_table(tmp_path / "sweep.parquet").to_pylist()
    failed = [(row["instrument"], row["fast"]) for row in rows if row["error"] is not None]
    assert len(rows) == 6 and failed == [("ETHUSDT", 10)]
    assert error in [row["error"] for row in rows if row["error"]][0]


def test_a_strategy_calling_sys_exit_in_serial_mode_fails_its_task(data, tmp_path):
    (tmp_path / "deadly.py").write_text(deadly_strategy("sys.exit(0)"))
    result = run_script(data, "--serial", "--grid", "fast=5,10", "--grid", "slow=20", "--strategy", "deadly.py",
                        cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == "sweep: ETHUSDT fast=10 slow=20 failed: SystemExit: 0"
    assert pyarrow_parquet.read_table(tmp_path / "sweep.parquet").num_rows == 6


@pytest.mark.parametrize("mode", [["--serial"], ["--threads", "2"]])
def test_ctrl_c_writes_the_rows_finished_and_exits_130(data, tmp_path, mode):
    import signal
    import time
    (tmp_path / "slow.py").write_text(deadly_strategy("pass").replace(
        "        return None", "        import time\n        time.sleep(0.0005)\n        return None"))
    process = subprocess.Popen([sys.executable, str(ROOT / "examples" / "sweep.py"), str(data), *mode, "--grid",
                                "fast=5,10,20", "--grid", "slow=20,40", "--strategy", "slow.py"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(4)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 130, err
    finished = pyarrow_parquet.read_table(tmp_path / "sweep.parquet").num_rows
    assert err.splitlines()[-1] == f"sweep: interrupted; the {finished} of 18 rows finished are in sweep.parquet"
    assert finished < 18


def test_a_port_that_speaks_no_dask_is_refused_in_seconds(data, tmp_path):
    import socket
    import time
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    port = listener.getsockname()[1]
    started = time.monotonic()
    try:
        result = run_script(data, "--scheduler", f"tcp://127.0.0.1:{port}", cwd=tmp_path)
    finally:
        listener.close()
    assert result.returncode == 1 and time.monotonic() - started < 60
    assert result.stderr.splitlines()[-1].startswith(f"sweep: cannot reach a dask scheduler at tcp://127.0.0.1:{port} "
                                                     "within 10 s")
    assert not (tmp_path / "sweep.parquet").exists()


@pytest.mark.parametrize("arguments, message", [
    (["--scheduler", "tcp:/nowhere"], "--scheduler 'tcp:/nowhere': expected an address such as tcp://10.0.0.5:8786"),
    (["--strategy", "missing.py"], "--strategy missing.py: no such file"),
    (["--out", "no/such/folder/out.parquet"], "--out no/such/folder/out.parquet: cannot be written"),
    (["--out", "."], "--out .: cannot be written"),
])
def test_usage_errors_are_refused_before_any_task(data, tmp_path, arguments, message):
    result = run_script(data, *arguments, cwd=tmp_path)
    assert result.returncode == 2 and result.stderr.splitlines()[-1].endswith(message), result.stderr


def test_a_dangling_link_to_an_instrument_is_an_error(data, tmp_path):
    folder = tmp_path / "bars"
    folder.mkdir()
    (folder / "BTCUSDT.parquet").symlink_to(data / "BTCUSDT.parquet")
    (folder / "GONE.parquet").symlink_to(tmp_path / "nowhere.parquet")
    result = run_script(folder, "--serial", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1] == f"sweep: {folder / 'GONE.parquet'} is a link to nothing ({tmp_path / 'nowhere.parquet'})"


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_says_done_of_all_the_rate_and_the_time_left(monkeypatch):
    clock = iter([100.0, 102.0, 102.05, 104.0, 110.0])
    monkeypatch.setattr(sweep.time, "perf_counter", lambda: next(clock))
    terminal = Terminal()
    progress = sweep.Progress(3, terminal)
    progress.finished({"bars": 1_000_000})  # after 2 s
    progress.finished({"bars": 1_000_000})  # 0.05 s later: not redrawn
    progress.finished({"bars": None})  # a failed task has no bars
    first, last = "sweep: 1/3 backtests, 500,000 bars per second, about 4 s left", "sweep: 3/3 backtests, 500,000 bars per second"
    assert terminal.getvalue() == f"\r{first}\r{last.ljust(len(first))}"  # the longer line's end overwritten
    progress.close()
    assert terminal.getvalue().endswith("\r" + " " * len(last) + "\r")


@pytest.mark.parametrize(("seconds", "text"), [(0.4, "0 s"), (59.4, "59 s"), (61, "1 min 1 s"), (7322, "2 h 2 min")])
def test_time_left_reads_as_a_person_says_it(seconds, text):
    assert sweep.duration(seconds) == text


@pytest.mark.parametrize(("stream", "shown"), [(Terminal, False), (io.StringIO, True)], ids=["quiet", "no terminal"])
def test_no_progress_where_it_is_not_wanted_or_not_a_terminal(stream, shown):
    stream = stream()
    progress = sweep.Progress(2, stream, shown=shown)
    progress.finished({"bars": 10})
    progress.close()
    assert stream.getvalue() == ""


def run_in_terminal(*arguments, cwd):
    """The script with a pseudo-terminal as its standard output and error: what a person at a terminal sees."""
    controller, terminal = pty.openpty()
    process = subprocess.Popen([sys.executable, str(ROOT / "examples" / "sweep.py"), *map(str, arguments)],
                               cwd=cwd, stdin=subprocess.DEVNULL, stdout=terminal, stderr=terminal)
    os.close(terminal)
    seen = bytearray()
    while True:
        try:
            chunk = os.read(controller, 65536)
        except OSError:  # the terminal closed: the script has ended
            break
        if not chunk:
            break
        seen += chunk
    os.close(controller)
    assert process.wait(timeout=300) == 0, seen.decode()
    return seen.decode()


@pytest.mark.parametrize("where", [["--serial"], ["--threads", "2"], ["--workers", "1"]])
def test_a_terminal_sees_the_progress_and_then_a_clean_line(data, tmp_path, where):
    seen = run_in_terminal(data, "--grid", "fast=5,10", "--grid", "slow=20", *where, cwd=tmp_path)
    progress = re.findall(r"\rsweep: (\d)/6 backtests, [\d,]+ bars per second", seen)
    assert progress and progress[-1] == "6"
    before_summary = seen.index("sweep: 6 backtests,")
    assert seen[:before_summary].endswith("\r")  # the progress line was cleared before the summary


def test_quiet_shows_no_progress_even_on_a_terminal(data, tmp_path):
    seen = run_in_terminal(data, "--grid", "fast=5", "--grid", "slow=20", "--serial", "--quiet", cwd=tmp_path)
    assert "\r" not in seen.replace("\r\n", "\n")
    assert seen.startswith("sweep: 3 backtests, 9,000 bars in this process in ")
