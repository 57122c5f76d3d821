"""Turns a pyperf results file into the table (`report.py table RESULTS`) or into docs/performance.md with one bar
chart per operation (`report.py markdown RESULTS [--host HOST_OUTPUT]`)."""

import argparse
import collections
import datetime as dt
import pathlib
import platform
import re
import sys

import pyperf

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from cases import KAVNO, TARGETS  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]


def load(path):
    """{(operation, input): {contender: ns per call}}, in the order the cases ran."""
    rows = collections.OrderedDict()
    suite = pyperf.BenchmarkSuite.load(str(path))
    for bench in suite.get_benchmarks():
        operation, label, contender = bench.get_name().split(" | ")
        rows.setdefault((operation, label), {})[contender] = bench.median() * 1e9
    return rows, suite


def standing(contenders):
    """kavno's ratio to its fastest peer, and the target verdicts of this row."""
    ours = contenders.get(KAVNO)
    others = {name: ns for name, ns in contenders.items() if name != KAVNO}
    ratio = ours / min(others.values()) if ours is not None and others else None
    return ours, others, ratio


def verdicts(operation, contenders):
    ours = contenders.get(KAVNO)
    found = []
    for (target_operation, peer), limit in TARGETS.items():
        if target_operation == operation and peer in contenders and ours is not None:
            ratio = ours / contenders[peer]
            found.append((peer, limit, ratio, ratio <= limit))
    return found


def table(rows):
    lines = [f"{'operation':32} {'input':22} {'contender':26} {'ns/call':>9}  kavno/fastest peer"]
    for (operation, label), contenders in rows.items():
        _, _, ratio = standing(contenders)
        for i, (name, ns) in enumerate(sorted(contenders.items(), key=lambda item: item[1])):
            tail = f"{ratio:.2f}x" if (i == 0 and ratio is not None) else ""
            lines.append(f"{operation if i == 0 else '':32} {label if i == 0 else '':22} {name:26} {ns:9.1f}  {tail}")
        for peer, limit, value, met in verdicts(operation, contenders):
            lines.append(f"{'':32} {'':22} target vs {peer}: <= {limit}x, "
                         f"measured {value:.2f}x: {'met' if met else 'MISSED'}")
    return "\n".join(lines)


def chart(path, title, contenders):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = sorted(contenders, key=contenders.get)
    values = [contenders[n] for n in names]
    figure, axis = plt.subplots(figsize=(7, 0.45 * len(names) + 1.0))
    bars = axis.barh(names, values, color=["#d9480f" if n == KAVNO else "#868e96" for n in names])
    axis.invert_yaxis()
    if max(values) > 20 * min(values):  # one slow contender would flatten the others
        axis.set_xscale("log")
    axis.set_xlabel("ns per call (lower is better)")
    axis.set_title(title, fontsize=10)
    for bar, value in zip(bars, values):
        axis.text(bar.get_width(), bar.get_y() + bar.get_height() / 2, f" {value:.0f}", va="center", fontsize=8)
    axis.margins(x=0.15)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def markdown(rows, suite, host_output):
    docs = ROOT / "docs"
    images = docs / "performance"
    images.mkdir(parents=True, exist_ok=True)
    metadata = suite.get_metadata()
    lines = [
        "# kavno performance",
        "",
        f"Measured on {dt.date.today().isoformat()} with `make bench` (pyperf, median of its runs): "
        f"{metadata.get('python_implementation', 'CPython')} {metadata.get('python_version', platform.python_version())}, "
        f"{metadata.get('cpu_model_name', platform.processor() or platform.machine())}, "
        f"{metadata.get('cpu_count', '?')} CPUs, {metadata.get('platform', platform.platform())}.",
        "Every contender of a row gets the same values in the same run. The ratio is kavno's time over the "
        "fastest peer's (below 1 is faster).",
        "",
        "| operation | input | kavno ns | fastest peer | peer ns | ratio | targets |",
        "|---|---|---:|---|---:|---:|---|",
    ]
    for (operation, label), contenders in rows.items():
        ours, others, ratio = standing(contenders)
        targets = "; ".join(f"vs {peer} <= {limit}x: {value:.2f}x {'met' if met else '**missed**'}"
                            for peer, limit, value, met in verdicts(operation, contenders))
        if others:
            peer = min(others, key=others.get)
            lines.append(f"| {operation} | {label} | {ours:.1f} | {peer} | {others[peer]:.1f} | {ratio:.2f}x | {targets} |")
        else:
            lines.append(f"| {operation} | {label} | {ours:.1f} | | | | {targets} |")
    lines += ["", "## Charts", ""]
    for index, ((operation, label), contenders) in enumerate(rows.items()):
        image = images / f"{index:02d}-{re.sub(r'[^a-z0-9]+', '-', (operation + ' ' + label).lower()).strip('-')}.png"
        chart(image, f"{operation} {label}".strip(), contenders)
        lines.append(f"![{operation} {label}](performance/{image.name})")
        lines.append("")
    if host_output:
        rate = re.search(r"candles per second: (\d+)", host_output)
        lines += ["## The demo engine", "",
                  f"`make demo`'s host ran the moving-average strategy at **{int(rate.group(1)):,} candles per second** "
                  "(each candle made through the producer API, handed to Python, read and compared there).", ""]
    notes = ROOT / "benchmarks" / "NOTES.md"
    if notes.exists():
        lines += [notes.read_text().rstrip(), ""]
    (docs / "performance.md").write_text("\n".join(lines))
    print(f"wrote {docs / 'performance.md'} and {len(rows)} charts")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=["table", "markdown"])
    parser.add_argument("results")
    parser.add_argument("--host", help="a file holding the demo host's report")
    args = parser.parse_args()
    rows, suite = load(args.results)
    if args.what == "table":
        print(table(rows))
    else:
        host = pathlib.Path(args.host).read_text() if args.host else ""
        markdown(rows, suite, host)


if __name__ == "__main__":
    main()
