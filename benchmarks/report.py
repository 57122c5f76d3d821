"""The benchmark results as one table (`report.py table DIR`) or as docs/performance.md (`report.py markdown DIR`).

DIR holds what `make bench` and `make bench-ir` wrote: timing-X.Y.json and ir-X.Y.json for each CPython, and the
reports of the engines (host.txt and what else the benchmarks add).
"""

import argparse
import datetime as dt
import json
import pathlib
import platform
import re
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from cases import FLOOR, KAVNO  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]


def load(directory):
    """{version: {"time": rows by title, "ir": rows by title}}, newest version first."""
    found = {}
    for path in sorted(directory.glob("*.json")):
        match = re.fullmatch(r"(timing|ir)-(\d+\.\d+)\.json", path.name)
        if not match:
            continue
        data = json.loads(path.read_text())
        kind = "time" if match.group(1) == "timing" else "ir"
        rows = {f"{row['operation']} {row['label']}".strip(): row for row in data["rows"]}
        found.setdefault(match.group(2), {})[kind] = {"rows": rows, "meta": data}
    return dict(sorted(found.items(), key=lambda item: [int(p) for p in item[0].split(".")], reverse=True))


def titles(results):
    seen = []
    for kinds in results.values():
        for measured in kinds.values():
            for title in measured["rows"]:
                if title not in seen:
                    seen.append(title)
    return seen


def ratio_text(value):
    return f"{value:.2f}x" if value is not None else ""


def ir_of(kinds, title):
    row = kinds.get("ir", {}).get("rows", {}).get(title)
    return row["ir"] if row else {}


def time_of(kinds, title):
    row = kinds.get("time", {}).get("rows", {}).get(title)
    return (row["ns"], row["ratios"]) if row else ({}, {})


def row_of(kinds, title):
    return kinds.get("ir", {}).get("rows", {}).get(title) or kinds.get("time", {}).get("rows", {}).get(title)


def verdicts(kinds, title):
    """(reference, limit, instruction ratio, time ratio, met) for each target of the row, judged on instructions
    where they were counted and on time otherwise."""
    row = row_of(kinds, title)
    ir = ir_of(kinds, title)
    _, time_ratios = time_of(kinds, title)
    out = []
    for reference, limit in (row or {}).get("targets", []):
        ir_ratio = ir[KAVNO] / ir[reference] if KAVNO in ir and reference in ir else None
        time_ratio = time_ratios.get(reference)
        # Instructions judge where they were counted; a run with timings alone is judged on its time ratio.
        judged = ir_ratio if ir_ratio is not None else time_ratio
        met = judged is not None and judged <= limit
        out.append((reference, limit, ir_ratio, time_ratio, met))
    return out


def time_limit(kinds, title):
    """(limit, measured) in nanoseconds for a row whose kavno call has a time limit of its own, else None."""
    row = kinds.get("time", {}).get("rows", {}).get(title)
    if not row or not row.get("time_limit_ns"):
        return None
    return row["time_limit_ns"], row["ns"][KAVNO]


def target_lines(kinds, title):
    """(target, instructions measured, time measured, met) as texts for every target of the row, a time limit
    included."""
    for reference, limit, ir_ratio, time_ratio, met in verdicts(kinds, title):
        yield f"at most {limit}x {reference}", ratio_text(ir_ratio), ratio_text(time_ratio), met
    if limited := time_limit(kinds, title):
        limit, measured = limited
        yield f"at most {limit / 1e6:.0f} ms a call", "", f"{measured / 1e6:.1f} ms", measured <= limit


def contender_lines(kinds, title):
    row = row_of(kinds, title)
    ns, time_ratios = time_of(kinds, title)
    ir = ir_of(kinds, title)
    names = list(ir or ns)
    for name in names:
        note = row["notes"].get(name, "same output" if name not in (KAVNO, FLOOR) else "")
        ir_value = ir.get(name)
        ir_ratio = ir[KAVNO] / ir_value if ir_value and KAVNO in ir and name != KAVNO else None
        yield name, note, ns.get(name), time_ratios.get(name), ir_value, ir_ratio


def table(results):
    lines = []
    for version, kinds in results.items():
        lines.append(f"== CPython {version}")
        lines.append(f"{'operation':34} {'contender':26} {'ns':>8} {'kavno/it':>9} {'Ir':>8} {'kavno/it':>9}")
        for title in titles({version: kinds}):
            for i, (name, note, ns, time_ratio, ir, ir_ratio) in enumerate(contender_lines(kinds, title)):
                ns_text = f"{ns:8.1f}" if ns is not None else " " * 8
                ir_text = f"{ir:8.0f}" if ir is not None else " " * 8
                lines.append(f"{title if i == 0 else '':34} {name:26} {ns_text} {ratio_text(time_ratio):>9} "
                             f"{ir_text} {ratio_text(ir_ratio):>9}")
            for target, ir_text, time_text, met in target_lines(kinds, title):
                measured = [f"{text} in {unit}" for text, unit in
                            ((ir_text, "instructions"), (time_text, "time")) if text]
                lines.append(f"{'':34} target: {target}: {', '.join(measured)}: {'met' if met else 'MISSED'}")
    return "\n".join(lines)


def markdown(results, directory):
    newest = next(iter(results))
    kinds = results[newest]
    meta = (kinds.get("time") or kinds.get("ir"))["meta"]
    lines = [
        "# kavno performance",
        "",
        f"Measured on {dt.date.today().isoformat()} with `make bench` (time) and `make bench-ir` (instructions), "
        f"CPython {' and '.join(results)}, {meta.get('machine', platform.platform())}.",
        "",
        "- **Time** is nanoseconds per call with the contenders of a row interleaved in rounds inside one process; "
        "a ratio is the median of the per-round ratios, so that the machine's drift (two shared cores) falls on "
        "every contender alike.",
        "- **Instructions** (Ir) per call are counted by valgrind's callgrind: (Ir(2N) - Ir(N)) / N for the "
        "statement, less the same for an empty loop. They do not depend on the machine's load, so they are what "
        "the targets are judged on; the time ratios confirm them.",
        "- **Peers** give the same output as kavno unless the row says what they do differently.",
        "- **floor** is the least an entry of that kind can cost: a call to the `_kavno_floors` C extension with the "
        "same calling convention that returns the same kind of object and does nothing else (a UTC datetime from "
        "the datetime C API, a new 25- or 32-character str, a new float, `clock_gettime` and an int).",
        "",
        f"## Targets (CPython {newest}, instructions)",
        "",
        "| operation | target | instructions | time | |",
        "|---|---|---:|---:|---|",
    ]
    for title in titles({newest: kinds}):
        for target, ir_text, time_text, met in target_lines(kinds, title):
            lines.append(f"| {title} | {target} | {ir_text} | {time_text} | {'met' if met else '**missed**'} |")
    for version, version_kinds in results.items():
        lines += ["", f"## CPython {version}", "",
                  "| operation | contender | what it does | ns | kavno / it | Ir | kavno / it |",
                  "|---|---|---|---:|---:|---:|---:|"]
        for title in titles({version: version_kinds}):
            for i, (name, note, ns, time_ratio, ir, ir_ratio) in enumerate(contender_lines(version_kinds, title)):
                ns_text = f"{ns:.1f}" if ns is not None else ""
                ir_text = f"{ir:.0f}" if ir is not None else ""
                lines.append(f"| {title if i == 0 else ''} | {name} | {note} | {ns_text} | {ratio_text(time_ratio)} | "
                             f"{ir_text} | {ratio_text(ir_ratio)} |")
    host = directory / "host.txt"
    if host.exists() and (rate := re.search(r"candles per second: (\d+)", host.read_text())):
        lines += ["", "## The demo engine", "",
                  f"`make demo`'s engine ran the moving-average strategy at **{int(rate.group(1)):,} candles per "
                  "second** (each candle made through the producer API, handed to Python, read and compared there)."]
    for extra in sorted(directory.glob("*.md")):
        lines += ["", extra.read_text().rstrip()]
    lines += changes_since_baseline(results)
    notes = ROOT / "benchmarks" / "NOTES.md"
    if notes.exists():
        lines += ["", notes.read_text().rstrip()]
    (ROOT / "docs" / "performance.md").write_text("\n".join(lines) + "\n")
    print(f"wrote {ROOT / 'docs' / 'performance.md'}")


def changes_since_baseline(results):
    """kavno's instructions per call now against the committed counts of 0.1.0, for each CPython that has both."""
    lines = []
    for path in sorted((ROOT / "benchmarks").glob("ir-0.1.0-*.json")):
        version = path.stem.removeprefix("ir-0.1.0-")
        now = results.get(version, {}).get("ir", {}).get("rows", {})
        before = {f"{row['operation']} {row['label']}".strip(): row["ir"].get(KAVNO)
                  for row in json.loads(path.read_text())["rows"]}
        rows = [(title, before[title], now[title]["ir"][KAVNO]) for title in now
                if before.get(title) and KAVNO in now[title]["ir"]]
        if not rows:
            continue
        lines += ["", f"## Changes since 0.1.0 (CPython {version}, kavno's instructions per call)", "",
                  "| operation | 0.1.0 | now | change |", "|---|---:|---:|---:|"]
        lines += [f"| {title} | {old:.0f} | {new:.0f} | {(new - old) / old:+.0%} |" for title, old, new in rows]
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=["table", "markdown"])
    parser.add_argument("directory", type=pathlib.Path)
    args = parser.parse_args()
    results = load(args.directory)
    if not results:
        raise SystemExit(f"no results in {args.directory}: run make bench and make bench-ir first")
    print(table(results)) if args.what == "table" else markdown(results, args.directory)


if __name__ == "__main__":
    main()
