"""The producer API as a framework builder meets it: records from a producer built against these headers, the
layout handshake that refuses a kavno laid out otherwise (and ignores docstrings), what fields left out of a
designated initializer become, a producer built against 0.1.0, and the failures it reports."""

import datetime as dt
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys

import pytest

import kavno
from conftest import ROOT

UTC = dt.timezone.utc
PRODUCER = r"""
#include <kavno/producer.hpp>

#define CONCAT(a, b) a##b
#define INIT(name) CONCAT(PyInit_, name)
#define TEXT(name) #name
#define NAME(name) TEXT(name)

static PyObject* pair(PyObject*, PyObject*) {
    return kavno::make_pair({.kind = kavno::TradeKind::Future, .code = "BTC-PERP", .base = "BTC", .quote = "USDT",
                             .min_volume = 0.5, .min_price = 0.25, .min_amount = 5.0});
}

static PyObject* position(PyObject*, PyObject*) {
    return kavno::make_position({.code = "ETHUSDT", .side = kavno::TradeSide::Short, .volume = 2.0, .price = 1900.0,
                                 .leverage = -3});
}

static PyObject* defaults(PyObject*, PyObject*) { return kavno::make_candle({.code = "X"}); }

static PyObject* without_the_gil(PyObject*, PyObject*) {
    PyObject* made;
    Py_BEGIN_ALLOW_THREADS
    made = kavno::make_pair({});
    Py_END_ALLOW_THREADS
    return made;
}

static PyMethodDef methods[] = {
    {"pair", pair, METH_NOARGS, nullptr},
    {"position", position, METH_NOARGS, nullptr},
    {"defaults", defaults, METH_NOARGS, nullptr},
    {"without_the_gil", without_the_gil, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef definition = {PyModuleDef_HEAD_INIT, NAME(MODULE), nullptr, -1, methods};

PyMODINIT_FUNC INIT(MODULE)() {
    PyObject* module = PyModule_Create(&definition);
#ifdef Py_GIL_DISABLED
    // The producer API is safe without the GIL, so this module declares that it is too.
    if (module != nullptr && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) Py_CLEAR(module);
#endif
    return module;
}
"""
def header_define(name):
    text = (ROOT / "include" / "kavno" / "version.hpp").read_text()
    return int(re.search(rf"#define KAVNO_{name} (\d+)", text).group(1))


def header_version():
    return ".".join(str(header_define(f"VERSION_{part}")) for part in ("MAJOR", "MINOR", "PATCH"))


MINOR, LAYOUT = header_define("VERSION_MINOR"), header_define("RECORD_LAYOUT_VERSION")
BUILT = f"kavno {header_version()} (record layout {LAYOUT})"
HEADER = object.__basicsize__  # where a record's fields start: 16 bytes with the GIL, more without


def patched_headers(tmp_path, path, replacements):
    """A copy of include/ with texts replaced, as a producer built against another kavno would have it."""
    include = tmp_path / "include"
    shutil.copytree(ROOT / "include", include)
    header = include / "kavno" / path
    text = header.read_text()
    for old, new in replacements:
        assert old in text
        text = text.replace(old, new)
    header.write_text(text)
    return include


def test_records_from_a_producer_read_back_exactly(compile_extension):
    producer = compile_extension("producer_current", PRODUCER)
    pair, position = producer.pair(), producer.position()
    assert type(pair) is kavno.Pair and type(position) is kavno.Position
    assert (pair.kind, pair.code, pair.base, pair.quote) == (kavno.TradeKind.Future, "BTC-PERP", "BTC", "USDT")
    assert (pair.min_volume, pair.min_price, pair.min_amount) == (0.5, 0.25, 5.0)
    assert (position.code, position.side, position.volume, position.price, position.leverage) == (
        "ETHUSDT", kavno.TradeSide.Short, 2.0, 1900.0, -3)


def test_fields_left_out_of_a_designated_initializer_are_value_initialised(compile_extension):
    candle = compile_extension("producer_defaults", PRODUCER).defaults()
    epoch = dt.datetime(1970, 1, 1, tzinfo=UTC)
    assert (candle.kind, candle.code, candle.interval) == (kavno.TradeKind.Spot, "X", kavno.CandleInterval.Min1)
    assert candle.open_time == candle.close_time == epoch
    assert [candle.open, candle.high, candle.low, candle.close, candle.volume, candle.amount, candle.trades] == [0] * 7


@pytest.mark.parametrize("case, path, replacements, message", [
    ("a newer layout", "version.hpp",
     [(f"#define KAVNO_RECORD_LAYOUT_VERSION {LAYOUT}", f"#define KAVNO_RECORD_LAYOUT_VERSION {LAYOUT + 1}"),
      (f"#define KAVNO_VERSION_MINOR {MINOR}", f"#define KAVNO_VERSION_MINOR {MINOR + 1}")],
     f"kavno.Pair: this producer was built against kavno 0.{MINOR + 1}.0 (record layout {LAYOUT + 1}), but the "
     "imported kavno is "
     f"{BUILT}; rebuild the producer against the headers of the kavno that is installed"),
    ("two fields swapped", "records.hpp", [("min_volume, Double", "min_price_, Double"),
                                            ("min_price, Double", "min_volume, Double"),
                                            ("min_price_, Double", "min_price, Double")],
     f"kavno.Pair.min_price: the imported {BUILT} has min_volume as a double at offset {HEADER + 56} where this "
     f"producer, built against {BUILT}, expects it as a double at offset {HEADER + 56}"),
    ("a field widened", "records.hpp", [("leverage, Int32", "leverage, Int64")],
     f"kavno.Position.leverage: the imported {BUILT} has leverage as a 32-bit integer at offset {HEADER + 48} where "
     f"this producer, built against {BUILT}, expects it as a 64-bit integer at offset {HEADER + 48}"),
])
def test_a_kavno_laid_out_otherwise_is_refused_before_anything_is_written(compile_extension, tmp_path, case, path,
                                                                            replacements, message):
    name = "producer_" + re.sub(r"\W", "_", case)
    source = PRODUCER
    if case == "two fields swapped":  # the producer's designated initializers follow its headers' order
        source = source.replace(".min_volume = 0.5, .min_price = 0.25", ".min_price = 0.25, .min_volume = 0.5")
    producer = compile_extension(name, source, include=patched_headers(tmp_path, path, replacements))
    made = producer.position if "widened" in case else producer.pair
    with pytest.raises(ImportError) as info:
        made()
    assert str(info.value) == message


def test_docstrings_play_no_part_in_the_handshake(compile_extension, tmp_path):
    include = patched_headers(tmp_path, "records.hpp", [('"最小下单价格"', '"minimum order price"')])
    assert compile_extension("producer_other_docs", PRODUCER, include=include).pair().min_price == 0.25


OLD_PRODUCER = r"""
#include <kavno/producer.hpp>

static PyObject* pair(PyObject*, PyObject*) {
    return kavno::make_pair({kavno::TradeKind::Future, "BTC-PERP", "BTC", "USDT", 0.5, 0.25, 5.0});
}

static PyMethodDef methods[] = {{"pair", pair, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
static PyModuleDef definition = {PyModuleDef_HEAD_INIT, "producer_0_1_0", nullptr, -1, methods};
PyMODINIT_FUNC PyInit_producer_0_1_0() {
    PyObject* module = PyModule_Create(&definition);
#ifdef Py_GIL_DISABLED
    // 0.1.0's headers were not made for free-threading; the test calls it from one thread, and the session keeps
    // running without the GIL.
    if (module != nullptr && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) Py_CLEAR(module);
#endif
    return module;
}
"""


def test_a_producer_built_against_0_1_0_still_makes_records(compile_extension):
    old = compile_extension("producer_0_1_0", OLD_PRODUCER, include=ROOT / "tests" / "ext" / "v0_1_0")
    pair = old.pair()
    assert type(pair) is kavno.Pair
    assert (pair.kind, pair.code, pair.base, pair.quote) == (kavno.TradeKind.Future, "BTC-PERP", "BTC", "USDT")
    assert (pair.min_volume, pair.min_price, pair.min_amount) == (0.5, 0.25, 5.0)


def test_kavno_set_to_none_in_sys_modules_is_an_import_error(producer, monkeypatch):
    monkeypatch.setitem(sys.modules, "kavno", None)
    with pytest.raises(ImportError, match="^import of kavno halted; None in sys.modules$"):
        producer.make_pair(kind=0, code=b"X", base=b"B", quote=b"Q", min_volume=0.0, min_price=0.0, min_amount=0.0)


class NotKavno:
    """What sys.modules["kavno"] may be made to hold instead."""

    Candle = kavno.Pair


# What Python code can do to the names a producer looks its classes up by, once it has found them, and what the
# next record then meets. (The producer keeps the classes it found until one of these names is bound again.)
CHANGES = {
    "the class rebound": (lambda patch: patch.setattr(kavno, "Candle", kavno.Order), TypeError,
                          "^kavno.Candle is not kavno's Candle record class \\(it is a type\\)$"),
    "the class deleted": (lambda patch: patch.delattr(kavno, "Candle"), AttributeError, "Candle"),
    "kavno set to None": (lambda patch: patch.setitem(sys.modules, "kavno", None), ImportError,
                          "^import of kavno halted; None in sys.modules$"),
    "kavno replaced": (lambda patch: patch.setitem(sys.modules, "kavno", NotKavno()), TypeError,
                       "^kavno.Candle is not kavno's Candle record class \\(it is a type\\)$"),
}


@pytest.mark.parametrize("change", CHANGES, ids=CHANGES)
@pytest.mark.parametrize("make", ["kavno_feed", "a test producer"])
def test_a_class_once_found_is_looked_up_again_after_its_name_changes(records, make, change):
    import kavno_feed

    make_candle = (lambda: kavno_feed.make_candle(code="X", open_time=0, close=1.0)) if make == "kavno_feed" \
        else records.candle
    assert type(make_candle()) is type(make_candle()) is kavno.Candle  # found, then kept
    apply, error, message = CHANGES[change]
    with pytest.MonkeyPatch.context() as patch:
        apply(patch)
        for _ in range(2):
            with pytest.raises(error, match=message):
                make_candle()
    assert type(make_candle()) is kavno.Candle  # found again once the name is back


def test_kavno_removed_from_sys_modules_is_imported_again(records, monkeypatch):
    records.candle()
    monkeypatch.delitem(sys.modules, "kavno")
    assert type(records.candle()) is kavno.Candle and sys.modules["kavno"] is kavno


def test_running_out_of_memory_inside_a_producer_is_a_memory_error(producer):
    with pytest.raises(MemoryError):
        producer.bad_alloc_in_producer()


def test_calling_a_producer_without_the_gil_stops_a_debug_build(compile_extension):
    module = compile_extension("producer_gil", PRODUCER)  # built without NDEBUG: assertions on
    code = f"import importlib.util, kavno; spec = importlib.util.spec_from_file_location('producer_gil', {module.__file__!r}); " \
           "m = importlib.util.module_from_spec(spec); spec.loader.exec_module(m); m.without_the_gil()"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == -signal.SIGABRT
    assert "kavno's producer API needs the GIL" in result.stderr


def test_the_package_reports_the_version_of_its_headers():
    import importlib.metadata

    assert importlib.metadata.version("kavno") == header_version()


def installed_prefix():
    import sysconfig

    prefix = pathlib.Path(sysconfig.get_path("data"))
    if not (prefix / "share" / "cmake" / "kavno" / "kavnoConfigVersion.cmake").exists():
        pytest.skip("kavno's CMake package is not installed in this environment")
    return prefix


@pytest.mark.parametrize("requested, found", [("0.1", True), (f"0.{MINOR}", True), (f"0.{MINOR + 1}", False),
                                              ("1.0", False)])
def test_find_package_takes_any_newer_0_x(tmp_path, requested, found):
    (tmp_path / "CMakeLists.txt").write_text(
        f"cmake_minimum_required(VERSION 3.24)\nproject(consumer LANGUAGES CXX)\n"
        f"find_package(kavno {requested} CONFIG)\nmessage(STATUS \"kavno found: ${{kavno_FOUND}} ${{kavno_VERSION}}\")\n")
    result = subprocess.run([sys.executable, "-m", "cmake", "-S", str(tmp_path), "-B", str(tmp_path / "build"),
                             f"-DCMAKE_PREFIX_PATH={installed_prefix()}"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert (f"kavno found: 1 {header_version()}" in result.stdout) is found, result.stdout


def test_pkg_config_leaves_the_language_level_to_the_consumer():
    if shutil.which("pkg-config") is None:
        pytest.skip("no pkg-config")
    prefix = installed_prefix()
    flags = subprocess.run(["pkg-config", "--cflags", "kavno"], capture_output=True, text=True, check=True,
                           env={**os.environ, "PKG_CONFIG_PATH": str(prefix / "lib" / "pkgconfig")}).stdout.split()
    assert len(flags) == 1 and flags[0].startswith("-I") and not any(flag.startswith("-std") for flag in flags)
    assert pathlib.Path(flags[0][2:]).resolve() == (prefix / "include").resolve()
