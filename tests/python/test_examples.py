"""The documentation's Python blocks, the example programs and the example data."""

from __future__ import annotations

import io
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import pytarn_cli

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
GENERATOR = EXAMPLES / "make_example_data.py"

BLOCK = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.M | re.S)


def python_blocks(path: Path) -> list[str]:
    if not path.exists():
        return []
    return BLOCK.findall(path.read_text(encoding="utf-8"))


def documented_blocks() -> list[tuple[str, int, list[str]]]:
    """(document, block number, blocks up to and including it) for each block.

    Each block runs after the ones before it, as a reader would run them, so
    later blocks may use names the earlier ones defined.
    """
    blocks = python_blocks(ROOT / "README.md")
    return [("README.md", i + 1, blocks[: i + 1]) for i in range(len(blocks))]


DOC_BLOCKS = documented_blocks()


def subprocess_env() -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def test_documentation_has_python_blocks() -> None:
    assert DOC_BLOCKS, "README.md has no ```python block"


@pytest.mark.parametrize(
    "doc, number, blocks", DOC_BLOCKS, ids=[f"{d}:block{n}" for d, n, _ in DOC_BLOCKS]
)
def test_documentation_block_runs(doc: str, number: int, blocks: list[str], monkeypatch, capsys) -> None:
    monkeypatch.chdir(ROOT)
    namespace: dict[str, object] = {"__name__": "__readme__"}
    for i, source in enumerate(blocks, 1):
        code = compile(source, f"{doc}:block{i}", "exec")
        exec(code, namespace)  # noqa: S102 - the documentation's own examples


# The cluster example has its own tests (test_distributed.py), on small data.
PROGRAMS = sorted(p for p in EXAMPLES.glob("*.py") if p not in (GENERATOR, EXAMPLES / "dask_flows.py"))


@pytest.mark.parametrize("program", PROGRAMS, ids=[p.name for p in PROGRAMS])
def test_example_program_runs(program: Path) -> None:
    done = subprocess.run(
        [sys.executable, str(program)],
        cwd=ROOT,
        capture_output=True,
        text=True,
        env=subprocess_env(),
        check=False,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip(), "an example should show its result"
    assert done.stderr == ""


def test_example_data_is_what_the_generator_makes(tmp_path: Path) -> None:
    subprocess.run([sys.executable, str(GENERATOR), str(tmp_path)], check=True, env=subprocess_env())
    for name in ("routes.txt", "addresses.txt"):
        assert (tmp_path / name).read_bytes() == (EXAMPLES / name).read_bytes(), name


def cli(argv: list[str]) -> tuple[int, list[str], str]:
    out, err = io.StringIO(), io.StringIO()
    code = pytarn_cli.main(argv, stdin=io.BytesIO(), stdout=out, stderr=err)
    return code, out.getvalue().splitlines(), err.getvalue()


def data_lines(path: Path) -> list[str]:
    return [t for t in (line.partition("#")[0].strip() for line in path.read_text().splitlines()) if t]


@pytest.mark.parametrize(
    "argv",
    [
        pytest.param(["aggregate", "examples/routes.txt"], id="aggregate"),
        pytest.param(["lookup", "examples/routes.txt", "examples/addresses.txt"], id="lookup"),
        pytest.param(["sort", "--by", "length", "examples/routes.txt"], id="sort"),
    ],
)
def test_readme_commands_work_on_the_example_files(argv: list[str], monkeypatch) -> None:
    monkeypatch.chdir(ROOT)
    code, lines, err = cli(argv)
    assert (code, err) == (0, "")
    assert lines


def test_example_lookup_answers_every_address_and_shows_labels(monkeypatch) -> None:
    monkeypatch.chdir(ROOT)
    code, lines, _ = cli(["lookup", "examples/routes.txt", "examples/addresses.txt"])
    addresses = data_lines(EXAMPLES / "addresses.txt")
    assert code == 0
    assert [line.split()[0] for line in lines] == addresses
    labelled = [line for line in lines if len(line.split()) > 2]
    unmatched = [line for line in lines if line.endswith(" -")]
    assert labelled and unmatched, "the example should show labels and misses"
