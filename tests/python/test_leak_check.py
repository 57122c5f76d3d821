"""The leak_check marker says what it does: pytest's report counts the reruns, and a marked test whose body has a
side effect fails saying so, instead of failing in its second run for no reason a reader can see."""

import pathlib
import re
import shutil
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def run_suite(tmp_path, source):
    shutil.copy(HERE / "conftest.py", tmp_path)
    (tmp_path / "test_marked.py").write_text(source)
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)], capture_output=True, text=True, timeout=300, cwd=tmp_path)


def test_a_side_effect_fails_saying_why(tmp_path):
    result = run_suite(tmp_path, "import pytest\nseen = []\n\n\n@pytest.mark.leak_check\ndef test_once():\n"
                                 "    seen.append(1)\n    assert len(seen) == 1\n")
    assert result.returncode == 1, result.stdout
    assert ("leak_check: the test passed, then failed when its body ran again (AssertionError: assert 2 == 1"
            in result.stdout), result.stdout


def test_the_report_counts_the_reruns(tmp_path):
    result = run_suite(tmp_path, "import pytest\n\n\n@pytest.mark.leak_check\ndef test_pure():\n    assert 1 + 1 == 2\n")
    assert result.returncode == 0, result.stdout
    # 601 runs where the interpreter counts its blocks; 4 under a memory checker, which does the counting itself
    assert re.search(r"^leak_check: the bodies of 1 test run again, (601|4) runs in all", result.stdout, re.M)
