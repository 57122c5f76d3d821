"""Fatal stops: the diagnostic and SIGABRT, never a Python exception. Each runs in a subprocess with faulthandler
and core dumps off."""

import os
import pathlib
import re
import resource
import signal
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
HINT = "note: run with `KAVNO_BACKTRACE=1` environment variable to display a backtrace"


def no_core_dump():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def run(code, **env):
    environment = {k: v for k, v in os.environ.items() if k not in ("PYTHONFAULTHANDLER", "KAVNO_BACKTRACE")}
    environment.update(env)
    return subprocess.run([sys.executable, "-X", "utf8", "-c", code],
                          capture_output=True, text=True, timeout=120, env=environment, preexec_fn=no_core_dump)


def fatal_call_line():
    source = (ROOT / "tests" / "ext" / "testing.cpp").read_text().splitlines()
    return next(number for number, line in enumerate(source, 1) if "kavno::fatal(" in line)


def test_fatal_stop_prints_the_diagnostic_and_aborts(producer):
    result = run("import _kavno_testing\n"
                 "try:\n"
                 "    _kavno_testing.fatal('the invariant broke: 中文')\n"
                 "finally:\n"
                 "    print('finally ran')\n")
    assert result.returncode == -signal.SIGABRT
    assert result.stdout == ""  # no finally block, no orderly shutdown
    lines = result.stderr.split("\n")
    assert lines[0] == ""
    assert re.fullmatch(rf"thread '<unnamed>' panicked at tests/ext/testing\.cpp:{fatal_call_line()}:\d+:",
                        lines[1]), lines[1]
    assert lines[2] == "the invariant broke: 中文"
    assert lines[3] == HINT
    assert lines[4:] == [""]


def test_backtrace_on_request(producer):
    result = run("import _kavno_testing; _kavno_testing.fatal('x')", KAVNO_BACKTRACE="1")
    assert result.returncode == -signal.SIGABRT
    lines = result.stderr.split("\n")
    assert lines[2] == "x" and lines[3] == "stack backtrace:" and len(lines) > 5
    assert HINT not in result.stderr


def test_a_missing_datetime_module_is_fatal_not_an_exception():
    result = run("import sys\n"
                 "sys.modules['datetime'] = None\n"
                 "import kavno\n"
                 "try:\n"
                 "    kavno.now_date()\n"
                 "except BaseException as error:\n"
                 "    print('raised', type(error))\n")
    assert result.returncode == -signal.SIGABRT
    assert "raised" not in result.stdout
    lines = result.stderr.split("\n")
    assert re.fullmatch(r"thread '<unnamed>' panicked at src/datetime/bridge\.cpp:\d+:\d+:", lines[1]), lines[1]
    assert lines[2].startswith("failed to import `datetime` C API: ")
