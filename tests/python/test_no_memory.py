"""Out of memory anywhere in an entry's first call: the Nth allocation fails, for every N until the call makes no
more, and each time the call ends in a MemoryError (perhaps the cause of kavno's own error) or in kavno's documented
fatal stop, never in a crash, another exception or a wrong value; after a MemoryError the same call succeeds.

Each attempt runs in a child forked from a process that has prepared what the call needs, so that every attempt is
a first call: the import builds the classes, a first date call fetches the datetime API, and so on."""

import json
import subprocess
import sys

import pytest

# CPython 3.12 and 3.13 (as released here) crash on some failed allocations of their own, in the import system and
# in type creation, which would hide kavno's; 3.14 does not.
if sys.version_info < (3, 14):
    pytest.skip("CPython before 3.14 itself crashes on some failed allocations", allow_module_level=True)
testcapi = pytest.importorskip("_testcapi")
if not hasattr(testcapi, "set_nomemory"):
    pytest.skip("this interpreter's _testcapi cannot fail allocations", allow_module_level=True)

pytestmark = pytest.mark.not_under_memcheck
SWEEP = r'''
import json, os, sys, tempfile, _testcapi

ENTRIES = json.loads(sys.argv[1])
CLEAN_RUNS = 25  # a call that got through this many failure points in a row makes no more allocations
LIMIT = 6000


def attempt(setup, call, check, failing):
    """In a forked child: 0 the call succeeded, 1 MemoryError then a sound retry, 2 anything else. The call is
    compiled beforehand, so that what fails is the call's own allocations."""
    import faulthandler
    faulthandler.enable()
    namespace = {}
    exec(setup, namespace)
    exec("def call():\n" + "".join(f"    {line}\n" for line in call.splitlines()), namespace)
    function = namespace["call"]
    _testcapi.set_nomemory(failing, failing + 1)  # exactly one allocation fails
    try:
        made = function()
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        chain, seen = error, set()
        while chain is not None and not isinstance(chain, MemoryError) and id(chain) not in seen:
            seen.add(id(chain))
            chain = chain.__cause__ or chain.__context__
        if chain is None or not isinstance(chain, MemoryError):
            import traceback
            print(f"N={failing}: " + "".join(traceback.format_exception(error)), file=sys.stderr)
            return 2
        made = function()  # no failure now: the call succeeds, and gives what it should
        exec(check, namespace | {"made": made})
        return 1
    _testcapi.remove_mem_hooks()
    exec(check, namespace | {"made": made})
    return 0


report = {}
for name, (setup, call, check) in ENTRIES.items():
    outcomes = {"succeeded": 0, "memory_error": 0, "fatal_stop": 0, "wrong": []}
    clean, failing = 0, 1
    while clean < CLEAN_RUNS and failing < LIMIT:
        with tempfile.TemporaryFile() as errors:
            child = os.fork()
            if child == 0:
                os.dup2(errors.fileno(), 2)
                try:
                    code = attempt(setup, call, check, failing)
                except BaseException as error:  # the check failed, or the retry did
                    print(f"N={failing}: after the failure: {type(error).__name__}: {error}", file=sys.stderr)
                    code = 2
                sys.stderr.flush()
                os._exit(code)
            _, status = os.waitpid(child, 0)
            errors.seek(0)
            said = errors.read().decode(errors="replace")
        if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0:
            outcomes["succeeded"] += 1
            clean += 1
        elif os.WIFEXITED(status) and os.WEXITSTATUS(status) == 1:
            outcomes["memory_error"] += 1
            clean = 0
        elif os.WIFSIGNALED(status) and os.WTERMSIG(status) == 6 and "panicked at" in said:
            outcomes["fatal_stop"] += 1
            clean = 0
        else:
            outcomes["wrong"].append(f"N={failing}, status {status}: {said.strip()[-600:]}")
            clean = 0
        failing += 1
    outcomes["tried"] = failing - 1
    report[name] = outcomes
print(json.dumps(report))
'''

# A module's entry called as the import system calls it, but directly: the import system's own allocations (its
# locks, its finders) are not kavno's to answer for.
INIT = ("import ctypes, importlib.util\ninit = ctypes.PyDLL(importlib.util.find_spec('{0}').origin).PyInit_{0}\n"
        "init.restype = ctypes.py_object\n")
DATE = "import datetime as dt\nUTC = dt.timezone.utc\n"
CANDLE = "import kavno, kavno_feed as feed\n"
SERIES = (CANDLE + "import array\ncolumns = {'open_time': array.array('q', [0, 60000]), **{n: array.array('d', "
          "[1.0, 1.0]) for n in ('open', 'high', 'low', 'close', 'volume')}}\n")
ENTRIES = {  # name: (setup, the first call as a function body, a check of what it returned: made)
    "kavno's module entry": (INIT.format("kavno"), "return init()",
                             "assert len(made.__all__) == 18 and made.TradeSide.Long != made.TradeSide.Short"),
    "str_to_date": (DATE + "import kavno\n", "return kavno.str_to_date('2024-03-15T10:30:00.5+02:00')",
                    "assert made == dt.datetime(2024, 3, 15, 8, 30, 0, 500000, tzinfo=UTC)"),
    "date_to_str": (DATE + "import kavno\nwhen = dt.datetime(2024, 3, 15, tzinfo=UTC)\n",
                    "return kavno.date_to_str(when)", "assert made == kavno.date_to_str(when) and made.startswith('2024-03-15T00:00:00')"),
    "ms_to_date and truncate_to_day": (DATE + "import kavno\n", "return kavno.truncate_to_day(kavno.ms_to_date(1_710_498_600_000))",
                                       "assert made == dt.datetime(2024, 3, 15, tzinfo=UTC)"),
    "a member's repr and int": ("import kavno\n", "return repr(kavno.OrderStatus.Filled), int(kavno.OrderStatus.Filled)",
                                "assert made == ('OrderStatus.Filled', 3)"),
    "kavno_feed's module entry": ("import kavno\n" + INIT.format("kavno_feed"), "return init()",
                                  "assert made.make_pair(code='X', base='B', quote='Q').code == 'X'"),
    "make_candle and its fields": (CANDLE, "return feed.fields(feed.make_candle(code='BTCUSDT', open_time=0, close=2.0, "
                                   "kind=1, interval=kavno.CandleInterval.Min5))",
                                   "assert made['code'] == 'BTCUSDT' and made['close_time'].minute == 4"),
    "make_order refused": (CANDLE, "try:\n    feed.make_order(id='o', code='X', side=5, price=1.0, volume=1.0, create_time=0)\n"
                           "except ValueError as error:\n    return str(error)",
                           "assert made == 'Order.side: 5 is not a member value (0 to 1)'"),
    "candles, a step and a slice": (SERIES, "series = feed.candles(columns, code='X', interval=0)\n"
                                    "return series[1], series[::-1]",
                                    "assert made[0].open_time.minute == 1 and len(made[1]) == 2"),
    "table": (SERIES, "return feed.table([feed.make_position(code='X', side=0, volume=1.0, price=2.0)])",
              "assert len(made) == 1"),
}


def test_every_allocation_failure_of_a_first_call_is_a_memory_error_or_the_fatal_stop():
    result = subprocess.run([sys.executable, "-c", SWEEP, json.dumps(ENTRIES)], capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout)
    wrong = {name: outcomes["wrong"] for name, outcomes in report.items() if outcomes["wrong"]}
    assert not wrong, json.dumps(wrong, indent=1)
    for name, outcomes in report.items():
        assert outcomes["tried"] < 6000, name  # the sweep reached the end of the call
        if "module entry" in name:  # which allocates, so the failures did happen
            assert outcomes["memory_error"] + outcomes["fatal_stop"] > 10, name
