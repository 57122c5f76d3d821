"""Time per call, contenders interleaved: python benchmarks/timing.py -o RESULTS.json [--rounds N] [--only REGEX]

All contenders of an operation (kavno, its peers and the C floor) are timed inside one process, in rounds: each
round times every contender once, starting from a different one each round, so that a change in the machine's
speed (two shared cores) falls on all of them alike. A contender's figure is the median of its rounds, and a
ratio is the median of the per-round ratios, never a ratio of medians taken at different moments.
"""

import argparse
import json
import pathlib
import platform
import re
import statistics
import sys
import timeit

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from cases import KAVNO, operations  # noqa: E402

TARGET_SECONDS = 0.004  # one timing of one contender in one round


def calibrate(timer):
    """A loop count that makes one timing last about TARGET_SECONDS."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= TARGET_SECONDS / 4 or number >= 1 << 24:
            return max(1, int(number * TARGET_SECONDS / max(elapsed, 1e-9)))
        number *= 4


def measure(operation, rounds):
    contenders = operation.everyone()
    timers = [timeit.Timer(c.statement, globals=c.namespace) for c in contenders]
    numbers = []
    for timer in timers:
        timer.timeit(200)  # let the adaptive interpreter specialise first
        numbers.append(calibrate(timer))
    per_round = [[] for _ in contenders]
    for round_index in range(rounds):
        start = round_index % len(contenders)
        for offset in range(len(contenders)):
            i = (start + offset) % len(contenders)
            per_round[i].append(timers[i].timeit(numbers[i]) / numbers[i] * 1e9)
    ours = per_round[0]
    ns = {c.name: statistics.median(times) for c, times in zip(contenders, per_round)}
    ratios = {c.name: statistics.median(a / b for a, b in zip(ours, times))
              for c, times in zip(contenders[1:], per_round[1:])}
    return ns, ratios


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-o", "--output")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--only", help="a regular expression on the operation's title")
    args = parser.parse_args()
    rows = []
    for operation in operations():
        if args.only and not re.search(args.only, operation.title):
            continue
        assert operation.contenders[0].name == KAVNO
        ns, ratios = measure(operation, args.rounds)
        rows.append({"operation": operation.name, "label": operation.label, "ns": ns, "ratios": ratios,
                     "notes": {c.name: c.note for c in operation.everyone() if c.note},
                     "targets": operation.targets, "time_limit_ns": operation.time_limit_ns})
        shown = "  ".join(f"{name} {value:.1f}" for name, value in ns.items())
        print(f"{operation.title:40} {shown}", flush=True)
    result = {"python": platform.python_version(), "kind": "time", "rounds": args.rounds,
              "machine": f"{platform.processor() or platform.machine()}, {platform.platform()}", "rows": rows}
    if args.output:
        pathlib.Path(args.output).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(args.output).write_text(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
