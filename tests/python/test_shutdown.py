"""Daemon threads inside kavno when the interpreter finalizes. CPython 3.12 and 3.13 end such a thread by unwinding
its stack where it waits for the GIL, which may be in Python code that kavno called (a user's __eq__, __index__,
__float__, tzinfo method, mapping or warning filter): no kavno frame may stop that unwind (std::terminate)."""

import subprocess
import sys

import pytest

SPIN = "x = 0\n    for i in range(40):\n        x += i\n"
PRELUDE = f"""
import datetime as dt, threading, time, warnings, kavno
def spin():
    {SPIN}
class UtcLike(dt.tzinfo):
    def __eq__(self, other):
        spin()
        return True
    __hash__ = object.__hash__
    def utcoffset(self, when):
        spin()
        return dt.timedelta(0)
class Index:
    def __index__(self):
        spin()
        return 1_704_067_200_000
class Float:
    def __float__(self):
        spin()
        return 1.5
"""

CALLS = {
    "a tzinfo's __eq__ in date_to_str": "kavno.date_to_str(dt.datetime(2024, 1, 1, tzinfo=UtcLike()))",
    "__index__ in ms_to_date": "kavno.ms_to_date(Index())",
    "__float__ in safe_float": "kavno.safe_float(Float(), 2)",
    "__index__ in safe_float's decimals": "kavno.safe_float(1.25, Index() and 1)",
    "__eq__ against an enumeration member": "kavno.TradeSide.Long == UtcLike()",
    "a warnings filter": "warnings.warn('x', stacklevel=1)",
    "kavno_feed's factories": "import kavno_feed; kavno_feed.make_candle(code='X', open_time=Index(), close=Float())",
    "kavno_feed's mapping": ("import kavno_feed, array\n"
                             "    class Columns(dict):\n"
                             "        def __getitem__(self, key):\n"
                             "            spin()\n"
                             "            return array.array('q' if key == 'open_time' else 'd', [0 if key == 'open_time' else 1])\n"
                             "    kavno_feed.candles(Columns(), code='X', interval=0)"),
}


@pytest.mark.skipif(sys.version_info >= (3, 14), reason="CPython 3.14 no longer unwinds daemon threads at exit")
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_the_interpreter_ends_daemon_threads_inside_kavno_without_an_abort(call):
    script = PRELUDE + f"""
def work():
    while True:
        {call.replace(chr(10) + '    ', chr(10) + '        ')}
warnings.filterwarnings("ignore")
for _ in range(4):
    threading.Thread(target=work, daemon=True).start()
time.sleep(0.25)
print("exits")
"""
    for _ in range(3):
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert (result.returncode, result.stdout) == (0, "exits\n"), result.stderr[-2000:]
