"""The type stubs: a typical program passes ``mypy --strict``, wrong programs
fail where they are wrong, and the stubs match the runtime module."""

from __future__ import annotations

import os
import pathlib
import re
import shutil
import subprocess
import sys
from typing import Any

import pytest

import pytarn

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
STUB = ROOT / "python" / "pytarn-stubs" / "__init__.pyi"
SAMPLE = HERE / "typecheck_sample.py"

pytest.importorskip("mypy", reason="mypy is not installed")

# Each line is a mistake the stubs must catch, with the error code mypy
# gives it.
WRONG = [
    ("pytarn.IPv4Address(1.5)", "arg-type"),
    ("pytarn.IPv4Address(bytearray(4))", "arg-type"),
    ("pytarn.IPv4Address('1.2.3.4').to_ipv4()", "attr-defined"),
    ("pytarn.IPv4Network('10.0.0.0/8').supernet().to_ipv4()", "attr-defined"),
    ("n6: pytarn.IPv6Network = pytarn.IPv4Network('10.0.0.0/8')", "assignment"),
    ("pytarn.IPv4Address('1.2.3.4') < pytarn.IPv6Address('::1')", "operator"),
    ("pytarn.bulk_sort([pytarn.IPv4Network('10.0.0.0/8')])", "call-overload"),
    ("pytarn.IPv4Network('10.0.0.0/8', True, True)", "call-arg"),
    ("pytarn.IPv4Network(('10.0.0.0', '8'))", "arg-type"),
    ("pytarn.PrefixIndex(networks=[pytarn.IPv4Network('10.0.0.0/8')])", "call-arg"),
    ("s: str = pytarn.IPv4Address('1.2.3.4').packed", "assignment"),
    ("a4: pytarn.IPv4Address = pytarn.bulk_parse(['1.2.3.4'])[0]", "assignment"),
    ("pytarn.bulk_contains_packed([1, 2], [], 4)", "arg-type"),
    ("v: int = pytarn.IPv6Address('::1').to_ipv4()", "assignment"),
    ("pytarn.IPv4Network('10.0.0.0/8').subnets('9')", "arg-type"),
    ("pytarn.bulk_contains(['10.0.0.1'], [])", "arg-type"),
    ("pytarn.AF_INET = 5", "misc"),
]


def mypy_env(tmp_path: pathlib.Path) -> dict[str, str]:
    """Point mypy at the stub package of this tree, laid out as the module
    it describes."""
    pkg = tmp_path / "stubs" / "pytarn"
    pkg.mkdir(parents=True)
    shutil.copy(STUB, pkg / "__init__.pyi")
    env = dict(os.environ)
    env["MYPYPATH"] = str(tmp_path / "stubs")
    return env


@pytest.fixture(scope="module")
def mypy_run(tmp_path_factory: pytest.TempPathFactory) -> dict[str, list[tuple[int, str]]]:
    tmp = tmp_path_factory.mktemp("mypy")
    wrong = tmp / "wrong.py"
    wrong.write_text("import pytarn\n" + "".join(line + "\n" for line, _ in WRONG))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         "--cache-dir", str(tmp / "cache"), str(SAMPLE), str(wrong), str(STUB)],
        env=mypy_env(tmp), capture_output=True, text=True, timeout=300,
    )
    errors: dict[str, list[tuple[int, str]]] = {"sample": [], "wrong": [], "stub": [], "other": []}
    for line in proc.stdout.splitlines():
        m = re.match(r"(.+?):(\d+): error: .*\[([\w-]+)\]$", line)
        if m is None:
            continue
        name = pathlib.Path(m.group(1)).name
        key = {"typecheck_sample.py": "sample", "wrong.py": "wrong", "__init__.pyi": "stub"}
        errors[key.get(name, "other")].append((int(m.group(2)), m.group(3)))
    assert proc.returncode in (0, 1), proc.stderr
    return errors


def test_typical_program_passes_strict_checking(mypy_run: Any) -> None:
    assert mypy_run["sample"] == []
    assert mypy_run["stub"] == []
    assert mypy_run["other"] == []


@pytest.mark.parametrize("lineno,case", list(enumerate(WRONG, start=2)), ids=[w[0] for w in WRONG])
def test_mistakes_are_caught(mypy_run: Any, lineno: int, case: tuple[str, str]) -> None:
    codes = [code for n, code in mypy_run["wrong"] if n == lineno]
    assert case[1] in codes, f"{case[0]!r}: got {codes}"


def module_env() -> dict[str, str]:
    env = dict(os.environ)
    module_dir = os.path.dirname(pytarn.__file__ or "")
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    return env


def test_sample_program_runs() -> None:
    proc = subprocess.run([sys.executable, str(SAMPLE)], env=module_env(), capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr


def test_stubs_match_the_runtime_module(tmp_path: pathlib.Path) -> None:
    """Every runtime name has a stub and every stub a runtime name, with the
    same kind (class, function, constant) and compatible signatures."""
    env = mypy_env(tmp_path)
    env["PYTHONPATH"] = module_env()["PYTHONPATH"]
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "pytarn", "--mypy-config-file", os.devnull],
        env=env, capture_output=True, text=True, timeout=300, cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
