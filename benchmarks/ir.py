"""Instructions per call, counted with valgrind's callgrind: python benchmarks/ir.py -o RESULTS.json

Each operation runs in its own interpreter under callgrind. Inside it, every contender's statement is warmed up,
then run N and 2N times between the client requests that zero and dump callgrind's counters (`_kavno_floors`);
(Ir(2N) - Ir(N)) / N (N = 2000, fewer for statements that do much in one call) is the cost of one statement plus the loop around it, and the same figure for `pass`, the
empty loop, is taken off. Counts do not depend on what else the machine is doing.
"""

import argparse
import json
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import timeit

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from cases import Contender, operations  # noqa: E402

WARMUP = 500
EMPTY = "(empty loop)"
# The same few variables whoever starts the run (make adds its own): the environment's size moves where the stack
# starts, and with it a row's count by up to 20 instructions; a fixed hash seed keeps dictionary probes alike.
CHILD_ENVIRONMENT = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8", "PYTHONHASHSEED": "0"}
# A free-threaded interpreter is counted without the GIL, as it runs: a peer that does not declare itself safe
# without it (ciso8601) would otherwise turn it on.
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    CHILD_ENVIRONMENT["PYTHON_GIL"] = "0"


def loop_cost(contender, floors, calls):
    """Zeroes and dumps the counters around `calls` and then twice as many runs of the statement."""
    timer = timeit.Timer(contender.statement, globals=contender.namespace)
    timer.timeit(min(WARMUP, calls))  # lets the adaptive interpreter specialise the loop first
    for number in (calls, 2 * calls):
        floors.callgrind_zero()
        timer.timeit(number)
        floors.callgrind_dump()


def child(index):
    import _kavno_floors as floors

    if not floors.running_on_valgrind():
        sys.exit("ir.py --child runs under callgrind only")
    operation = operations()[index]
    names = []
    for contender in [Contender(EMPTY, "pass", {})] + operation.everyone():
        loop_cost(contender, floors, operation.ir_calls)
        names.append(contender.name)
    print(json.dumps(names))


def totals(outputs):
    """The Ir total of each callgrind dump of the main thread, in dump order."""
    found = []
    for path in sorted(outputs, key=lambda p: int(re.search(r"\.(\d+)-01$", p).group(1))):
        text = pathlib.Path(path).read_text()
        match = re.search(r"^(?:totals|summary):\s+(\d+)", text, re.M)
        found.append(int(match.group(1)))
    return found


def measure(index, calls):
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        # Counted per thread, and only the main thread's counts are kept: a library's worker threads (pyarrow's
        # pools, for one) run whenever they like and would add their instructions to whatever is being measured.
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--dump-line=no", "--separate-threads=yes",
                   sys.executable, __file__, "--child", str(index)]
        result = subprocess.run(command, capture_output=True, text=True, env=CHILD_ENVIRONMENT)
        if result.returncode != 0:
            raise SystemExit(f"callgrind run {index} failed:\n{result.stderr[-4000:]}")
        names = json.loads(result.stdout.strip().splitlines()[-1])
        dumps = [os.path.join(directory, name) for name in os.listdir(directory) if re.search(r"\.\d+-01$", name)]
        counts = totals(dumps)
    if len(counts) != 2 * len(names):
        raise SystemExit(f"callgrind run {index}: {len(counts)} dumps for {len(names)} contenders")
    per_call = {name: (counts[2 * i + 1] - counts[2 * i]) / calls for i, name in enumerate(names)}
    empty = per_call.pop(EMPTY)
    return {name: round(cost - empty, 1) for name, cost in per_call.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", type=int)
    parser.add_argument("-o", "--output")
    parser.add_argument("--only", help="a regular expression on the operation's title")
    args = parser.parse_args()
    if args.child is not None:
        return child(args.child)
    if shutil.which("valgrind") is None:
        raise SystemExit("ir.py needs valgrind (apt-get install valgrind)")
    rows = []
    for index, operation in enumerate(operations()):
        if args.only and not re.search(args.only, operation.title):
            continue
        ir = measure(index, operation.ir_calls)
        rows.append({"operation": operation.name, "label": operation.label, "ir": ir,
                     "notes": {c.name: c.note for c in operation.everyone() if c.note},
                     "targets": operation.targets})
        shown = "  ".join(f"{name} {value:.0f}" for name, value in ir.items())
        print(f"{operation.title:40} {shown}", flush=True)
    result = {"python": platform.python_version(), "kind": "instructions", "rows": rows}
    if args.output:
        pathlib.Path(args.output).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(args.output).write_text(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
