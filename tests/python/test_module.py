"""The module object: its names in order, re-import identity, function table entries, the exported symbols and
the refusal of a second interpreter."""

import importlib
import inspect
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

import kavno

NAMES = [
    "RunMode", "TradeKind", "TradeType", "TradeSide", "OrderStatus", "CandleInterval", "EventType",
    "Pair", "Candle", "Order", "Position",
    "safe_float", "truncate_to_day", "str_to_date", "date_to_str", "ms_to_date", "now_date", "now_ms",
]

FUNCTIONS = [
    ("safe_float", "(value, decimals)", "安全浮点数"),
    ("truncate_to_day", "(date)", "截断日期到天"),
    ("str_to_date", "(s)", "字符串转日期"),
    ("date_to_str", "(d)", "日期转字符串"),
    ("ms_to_date", "(ts)", "时间戳转日期"),
    ("now_date", "()", "获取当前时间"),
    ("now_ms", "()", "获取当前时间戳"),
]


def test_all_lists_the_eighteen_names_in_registration_order():
    assert kavno.__all__ == NAMES
    assert type(kavno.__all__) is list


def test_module_has_exactly_its_names_and_the_import_attributes():
    own = {name for name in vars(kavno) if not name.startswith("__")}
    assert own == set(NAMES)


def test_module_doc_is_the_empty_string():
    assert kavno.__doc__ == ""


@pytest.mark.parametrize("name, signature, doc", FUNCTIONS)
def test_function_table_entries(name, signature, doc):
    function = getattr(kavno, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "kavno"
    assert function.__self__ is kavno


def test_inspect_sees_the_parameters():
    parameters = inspect.signature(kavno.safe_float).parameters
    assert list(parameters) == ["value", "decimals"]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters.values())
    assert list(inspect.signature(kavno.now_ms).parameters) == []


def test_reimport_after_deleting_from_sys_modules_gives_the_same_module():
    all_list, first_class, first_function = kavno.__all__, kavno.RunMode, kavno.safe_float
    del sys.modules["kavno"]
    again = importlib.import_module("kavno")
    assert again is kavno
    assert again.__all__ is all_list and len(all_list) == 18  # registration did not run twice
    assert again.RunMode is first_class and again.safe_float is first_function


def test_reload_gives_the_same_module():
    assert importlib.reload(kavno) is kavno
    assert kavno.__all__ == NAMES


def test_shared_object_exports_only_the_init_entry():
    nm = subprocess.run(["nm", "-D", "--defined-only", kavno.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_kavno"]


SUBINTERPRETER = """
import _testcapi, kavno
code = "import sys\\ntry:\\n    import kavno\\nexcept ImportError as e:\\n    print('refused: ' + str(e))\\nelse:\\n    print('imported')\\n"
print("status", _testcapi.run_in_subinterp(code), flush=True)
print("first", kavno.safe_float(1.25, 1), kavno.RunMode.Live, flush=True)
"""


# Without the GIL every subinterpreter refuses single-phase modules before their entry runs (such an interpreter
# cannot even be made to allow them), so there CPython's own refusal is what kavno's would have been.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
CPYTHON_REFUSAL = "refused: module kavno does not support loading in subinterpreters"
KAVNO_REFUSAL = "refused: kavno: modules do not yet support subinterpreters, see https://"


def test_a_second_interpreter_is_refused_and_the_first_keeps_working():
    pytest.importorskip("_testcapi")
    result = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == CPYTHON_REFUSAL if FREE_THREADED else lines[0].startswith(KAVNO_REFUSAL)
    assert lines[1:] == ["status 0", "first 1.3 RunMode.Live"]


TRY_IMPORT = "try:\\n    import kavno\\nexcept ImportError as e:\\n    print('refused: ' + str(e))\\nelse:\\n    print('imported')\\n"

LEGACY_FIRST = f"""
import _testcapi
print("status", _testcapi.run_in_subinterp("{TRY_IMPORT}"), flush=True)
try:
    import kavno
except ImportError as error:
    print("main refused: " + str(error))
"""

ISOLATED_FIRST = f"""
import sys
try:
    import _interpreters as interpreters
    interpreter = interpreters.create("isolated")
except ImportError:
    import _xxsubinterpreters as interpreters
    interpreter = interpreters.create(isolated=True)
interpreters.run_string(interpreter, "{TRY_IMPORT}")
import kavno
print("main", kavno.safe_float(1.25, 1), kavno.RunMode.Live, flush=True)
"""


def run_python(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_a_legacy_subinterpreter_that_imports_first():
    pytest.importorskip("_testcapi")
    lines = run_python(LEGACY_FIRST)
    if FREE_THREADED:  # refused before the entry runs: the main interpreter then owns the module
        assert lines == [CPYTHON_REFUSAL, "status 0"]
    elif sys.version_info < (3, 13):  # it owns the module, and the main interpreter is refused
        assert lines[:2] == ["imported", "status 0"]
        assert lines[2].startswith("main refused: kavno: modules do not yet support subinterpreters, see https://")
    else:  # 3.13 runs a single-phase module's entry in the main interpreter first, which then owns it
        assert lines[0].startswith(KAVNO_REFUSAL)
        assert lines[1:] == ["status 0"]


FEED_IN_A_SUBINTERPRETER = """
import _testcapi, numpy, kavno_feed
code = "try:\\n    import kavno_feed\\n    kavno_feed.candles({})\\nexcept ImportError as e:\\n    print('refused: ' + str(e))\\n"
print("status", _testcapi.run_in_subinterp(code), flush=True)
columns = {name: numpy.zeros(2) for name in ("open", "high", "low", "close", "volume")}
series = kavno_feed.candles({**columns, "open_time": numpy.array([0, 60_000])}, code="X", interval=0)
print("main", len(series), series[1].open_time.minute, flush=True)
"""


def test_kavno_feed_refuses_a_second_interpreter_and_the_first_keeps_working():
    pytest.importorskip("_testcapi")
    pytest.importorskip("numpy")
    lines = run_python(FEED_IN_A_SUBINTERPRETER)
    refusal = "refused: module kavno_feed does not support loading in subinterpreters" if FREE_THREADED else \
        "refused: kavno_feed: modules do not yet support subinterpreters, see " \
        "https://docs.python.org/3/c-api/init.html#sub-interpreter-support"
    assert lines == [refusal, "status 0", "main 2 1"]


def test_an_isolated_subinterpreter_is_refused_without_taking_the_module():
    lines = run_python(ISOLATED_FIRST)
    assert lines == ["refused: module kavno does not support loading in subinterpreters", "main 1.3 RunMode.Live"]


REINITIALISE = r"""
#include <Python.h>

int main() {
    Py_Initialize();
    PyRun_SimpleString("import kavno; print('first', kavno.RunMode.Live, flush=True)");
    if (Py_FinalizeEx() < 0) return 1;
    Py_Initialize();
    PyRun_SimpleString("try:\n    import kavno\nexcept ImportError as e:\n    print('second refused:', e, flush=True)\n"
                       "else:\n    print('second imported', kavno.RunMode, flush=True)\n");
    return Py_FinalizeEx() < 0 ? 1 : 0;
}
"""


def test_importing_again_after_the_interpreter_was_finalized_is_refused(tmp_path):
    library = sysconfig.get_config_var("LDLIBRARY") or ""
    if shutil.which("g++") is None or not library.endswith(".so"):
        pytest.skip("needs g++ and a shared libpython")
    (tmp_path / "reinitialise.cpp").write_text(REINITIALISE)
    libdir = sysconfig.get_config_var("LIBDIR")
    compiled = subprocess.run(["g++", "-I", sysconfig.get_paths()["include"], str(tmp_path / "reinitialise.cpp"),
                               "-o", str(tmp_path / "reinitialise"), f"-L{libdir}", f"-Wl,-rpath,{libdir}",
                               f"-lpython{sysconfig.get_config_var('LDVERSION')}"], capture_output=True, text=True)
    assert compiled.returncode == 0, compiled.stderr
    site = pathlib.Path(kavno.__file__).parent
    environment = {**os.environ, "PYTHONHOME": sys.base_prefix, "PYTHONPATH": str(site)}
    result = subprocess.run([str(tmp_path / "reinitialise")], capture_output=True, text=True, env=environment,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "first RunMode.Live",
        "second refused: kavno: the interpreter that imported kavno was finalized; kavno cannot be imported again in "
        "this process (re-initialisation is not supported)",
    ]


def pure_sources(root):
    """What the layout says knows nothing of Python: src/pure/, the date code but its bridge, and the public
    headers but the two that describe Python objects."""
    yield from (root / "src" / "pure").iterdir()
    yield from (p for p in (root / "src" / "datetime").iterdir() if not p.name.startswith("bridge."))
    yield from (p for p in (root / "include" / "kavno").iterdir() if p.name not in ("records.hpp", "producer.hpp"))


def test_pure_sources_include_no_python_header():
    root = pathlib.Path(__file__).resolve().parents[2]
    if not (root / "src").is_dir():
        pytest.skip("sources are not beside the tests")
    includes = re.compile(r'#include\s+[<"]([^>"]+)[>"]')
    checked = 0
    for path in pure_sources(root):
        for header in includes.findall(path.read_text()):
            assert not header.startswith(("Python", "datetime.h", "py", "boundary/", "types/", "helpers/")), (path, header)
        checked += 1
    assert checked >= 10


LEAKY_TESTS = """
import pytest
kept = []

@pytest.mark.leak_check
def test_keeps_a_new_object():
    kept.append(object())

@pytest.mark.leak_check
@pytest.mark.parametrize("argument", [object()])
def test_keeps_a_reference_to_its_argument(argument):
    kept.append(argument)

@pytest.mark.leak_check
def test_clean():
    list(range(10))

cache = []

@pytest.mark.leak_check
def test_fills_a_cache_through_the_first_rounds_then_settles():
    # 302 calls before the counted rounds, three rounds of 100 that all grow, then the cache is full
    if len(cache) < 650:
        cache.append(object())
"""


def test_the_leak_check_catches_a_leak(tmp_path):
    from conftest import COUNTING_BLOCKS

    if not COUNTING_BLOCKS:
        pytest.skip("the interpreter counts no blocks with PYTHONMALLOC=malloc")
    (tmp_path / "conftest.py").write_text(pathlib.Path(__file__).with_name("conftest.py").read_text())
    (tmp_path / "test_leaky.py").write_text(LEAKY_TESTS)
    result = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", str(tmp_path)],
                            capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert "2 passed" in result.stdout and "2 failed" in result.stdout, result.stdout
    assert "allocated blocks grew in every round" in result.stdout
    assert "references grew" in result.stdout
