"""Times kavno and its peers side by side with pyperf: python benchmarks/bench.py -o results.json [--fast]"""

import pathlib
import sys

import pyperf

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from cases import cases  # noqa: E402

try:
    import _kavno_testing as testing
except ImportError:
    testing = None


def name_of(operation, label, contender):
    return f"{operation} | {label} | {contender}"


def main():
    runner = pyperf.Runner()
    runner.metadata["description"] = "kavno against the peers a user would otherwise pick"
    for operation, label, contender, statement, namespace in cases(testing):
        runner.timeit(name_of(operation, label, contender), stmt=statement, globals=namespace)


if __name__ == "__main__":
    main()
