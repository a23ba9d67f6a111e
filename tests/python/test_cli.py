"""The `pytarn` command line, run in-process through main() and once as a process."""

from __future__ import annotations

import io
import ipaddress
import os
import random
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

import pytarn
import pytarn_cli
from pytarn_cli import commands


@dataclass
class Run:
    code: int
    out: str
    err: str

    @property
    def lines(self) -> list[str]:
        return self.out.splitlines()


def run(argv: list[str], stdin: bytes | str = b"") -> Run:
    if isinstance(stdin, str):
        stdin = stdin.encode()
    out, err = io.StringIO(), io.StringIO()
    code = pytarn_cli.main(argv, stdin=io.BytesIO(stdin), stdout=out, stderr=err)
    return Run(code, out.getvalue(), err.getvalue())


def text(*lines: str) -> str:
    return "".join(line + "\n" for line in lines)


# --- aggregate -------------------------------------------------------------


@pytest.mark.parametrize(
    "args, lines, want",
    [
        pytest.param([], ["10.0.0.0/24", "10.0.1.0/24"], ["10.0.0.0/23"], id="siblings"),
        pytest.param(
            [], ["10.0.0.0/8", "10.1.0.0/16", "10.0.0.0/8"], ["10.0.0.0/8"], id="covered-and-dup"
        ),
        pytest.param(
            [],
            ["2001:db8::/33", "2001:db8:8000::/33", "10.0.0.0/8"],
            ["10.0.0.0/8", "2001:db8::/32"],
            id="ipv4-first",
        ),
        pytest.param(["-4"], ["::/0", "192.0.2.0/24"], ["192.0.2.0/24"], id="only4"),
        pytest.param(["-6"], ["::/0", "192.0.2.0/24"], ["::/0"], id="only6"),
        pytest.param(
            [],
            ["# header", "", "  10.0.0.0/25  # first half", "\t", "10.0.0.128/25\r"],
            ["10.0.0.0/24"],
            id="comments-blank-crlf",
        ),
        pytest.param(
            [],
            ["192.0.2.1", "192.0.2.0", "::1"],
            ["192.0.2.0/31", "::1/128"],
            id="bare-address-is-host",
        ),
        pytest.param(
            ["--lenient"],
            ["10.0.0.1/8", "10.255.0.0/9"],
            ["10.0.0.0/8"],
            id="lenient-clears-host-bits",
        ),
        pytest.param(
            [],
            ["10.0.0.0/24 customer-a", "10.0.1.0/24\tcustomer-b"],
            ["10.0.0.0/23"],
            id="labels-ignored",
        ),
        pytest.param([], ["0.0.0.0/0", "255.255.255.255/32"], ["0.0.0.0/0"], id="default-route"),
        pytest.param([], [], [], id="empty"),
        pytest.param([], ["2001:DB8:0::/32"], ["2001:db8::/32"], id="canonical-output"),
    ],
)
def test_aggregate(args: list[str], lines: list[str], want: list[str]) -> None:
    r = run(["aggregate", *args], text(*lines))
    assert (r.code, r.err) == (0, "")
    assert r.lines == want


def random_prefixes(rng: random.Random, version: int, count: int) -> list[str]:
    bits = 32 if version == 4 else 128
    out = []
    for _ in range(count):
        length = rng.randint(bits // 4, bits)
        # A narrow top keeps the prefixes close enough to merge and nest.
        value = (rng.getrandbits(12) << (bits - 12)) | rng.getrandbits(bits - 12)
        out.append(str(ipaddress.ip_network((value, length), strict=False)))
    return out


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_aggregate_matches_stdlib(seed: int, tmp_path: Path) -> None:
    rng = random.Random(seed)
    v4 = random_prefixes(rng, 4, 400)
    v6 = random_prefixes(rng, 6, 200)
    mixed = v4 + v6
    rng.shuffle(mixed)
    path = tmp_path / "prefixes.txt"
    path.write_text(text(*mixed))
    r = run(["aggregate", str(path)])
    assert r.code == 0, f"seed {seed}: {r.err}"
    want = [
        str(n)
        for group in (v4, v6)
        for n in ipaddress.collapse_addresses(ipaddress.ip_network(p) for p in group)
    ]
    assert r.lines == want, f"seed {seed}"


def test_aggregate_reads_several_files_and_stdin(tmp_path: Path) -> None:
    a = tmp_path / "a.txt"
    a.write_text("10.0.0.0/25\n")
    r = run(["aggregate", str(a), "-"], "10.0.0.128/25\n")
    assert (r.code, r.lines) == (0, ["10.0.0.0/24"])


# --- bad input and usage -----------------------------------------------------


@pytest.mark.parametrize(
    "argv, stdin, want_err",
    [
        pytest.param(
            ["aggregate"],
            text("10.0.0.0/8", "# c", "10.0.0.256/8"),
            "pytarn: <stdin>:3: invalid prefix: '10.0.0.256/8'",
            id="bad-prefix",
        ),
        pytest.param(
            ["aggregate"],
            text("10.0.0.1/8"),
            "<stdin>:1: host bits set (--lenient clears them): '10.0.0.1/8'",
            id="host-bits",
        ),
        pytest.param(
            ["aggregate"],
            text("10.0.0.0/33"),
            "<stdin>:1: prefix length out of range: '10.0.0.0/33'",
            id="length-v4",
        ),
        pytest.param(
            ["aggregate"],
            text("::/129"),
            "<stdin>:1: prefix length out of range: '::/129'",
            id="length-v6",
        ),
        pytest.param(
            ["aggregate", "--lenient"],
            text("10.0.0.0/x"),
            "<stdin>:1: prefix length out of range: '10.0.0.0/x'",
            id="lenient-length",
        ),
        pytest.param(
            ["aggregate"],
            text("1.2.3.4:80/32"),
            "<stdin>:1: invalid prefix: '1.2.3.4:80/32'",
            id="port-is-not-ipv6",
        ),
        pytest.param(
            ["aggregate"],
            text("10.0.0.0/8 # ok", "010.0.0.0/8"),
            "<stdin>:2: invalid prefix: '010.0.0.0/8'",
            id="leading-zero",
        ),
        pytest.param(
            ["aggregate"],
            b"10.0.0.0/8\n10.0.0.0/8\x00junk\n",
            "<stdin>:2: contains a NUL character",
            id="nul-byte",
        ),
        pytest.param(
            ["aggregate"], b"10.0.0.0/8\n\xff\xfe/8\n", "<stdin>:2: invalid prefix", id="not-utf8"
        ),
        # The first bad line in file order is reported, whatever its family.
        pytest.param(
            ["aggregate"],
            text("10.0.0.0/8", "2001:db8::g/32", "10.0.0.1/8"),
            "<stdin>:2: invalid prefix: '2001:db8::g/32'",
            id="first-bad-v6-before-v4",
        ),
        pytest.param(
            ["sort"], text("::/0", "bogus"), "<stdin>:2: invalid prefix: 'bogus'", id="sort-bad"
        ),
        pytest.param(
            ["lookup", "-", os.devnull],
            text("10.0.0.0/8 x", "10.0.0.0/8/8"),
            "<stdin>:2: invalid prefix",
            id="lookup-bad-table",
        ),
        pytest.param(
            ["classify"],
            text("10.0.0.1", "fe80::1%eth0"),
            "<stdin>:2: invalid address: 'fe80::1%eth0'",
            id="classify-zone",
        ),
        pytest.param(
            ["classify", "8.8.8.8", "8.8.8"],
            "",
            "argument 2: invalid address: '8.8.8'",
            id="classify-argument",
        ),
    ],
)
def test_bad_line_stops_with_status_2(argv: list[str], stdin: bytes | str, want_err: str) -> None:
    r = run(argv, stdin)
    assert r.code == 2
    assert want_err in r.err
    assert r.err.count("\n") == 1, "exactly one diagnostic"


@pytest.mark.parametrize(
    "argv, want_err",
    [
        pytest.param([], "a command is required", id="no-command"),
        pytest.param(["frobnicate"], "invalid choice", id="unknown-command"),
        pytest.param(["lookup"], "the following arguments are required: TABLE", id="no-table"),
        pytest.param(["aggregate", "-4", "-6"], "not allowed with argument", id="both-families"),
        pytest.param(["sort", "--by", "size"], "invalid choice", id="bad-order"),
        pytest.param(["lookup", "--packed", "t"], "--packed needs -4 or -6", id="packed-no-width"),
        pytest.param(
            ["lookup", "-4", "t"], "-4 and -6 give the width of --packed", id="width-without-packed"
        ),
        pytest.param(
            ["lookup", "-", "-"], "cannot both come from standard input", id="stdin-twice"
        ),
        pytest.param(["aggregate", "--frob"], "unrecognized arguments", id="unknown-option"),
    ],
)
def test_bad_usage(argv: list[str], want_err: str, tmp_path: Path, monkeypatch) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t").write_text("10.0.0.0/8\n")
    r = run(argv)
    assert r.code == 2
    assert want_err in r.err
    assert r.out == ""


@pytest.mark.parametrize("command", ["aggregate", "sort", "lookup"])
def test_missing_file(command: str, tmp_path: Path) -> None:
    missing = str(tmp_path / "nope.txt")
    r = run([command, missing] if command != "lookup" else [command, missing, "-"], "10.0.0.1\n")
    assert r.code == 2
    assert r.err == f"pytarn: cannot read {missing}: No such file or directory\n"
    assert r.out == ""


def test_diagnostic_names_the_file(tmp_path: Path) -> None:
    good, bad = tmp_path / "good.txt", tmp_path / "bad.txt"
    good.write_text("10.0.0.0/8\n")
    bad.write_text("# comment lines count\n\n192.0.2.0/24\n192.0.2.0/33\n")
    r = run(["aggregate", str(good), str(bad)])
    assert r.code == 2
    assert r.err == f"pytarn: {bad}:4: prefix length out of range: '192.0.2.0/33'\n"


def test_help_and_version() -> None:
    r = run(["--help"])
    assert r.code == 0 and "aggregate" in r.out and "lookup" in r.out
    r = run(["lookup", "--help"])
    assert r.code == 0 and "--packed" in r.out
    r = run(["--version"])
    assert r.code == 0 and r.out.startswith("pytarn ")


# --- --skip-bad ----------------------------------------------------------------


@pytest.mark.parametrize(
    "argv, stdin, want_out, want_reports",
    [
        pytest.param(
            ["aggregate", "--skip-bad"],
            text("10.0.0.0/24", "nonsense", "10.0.1.0/24", "10.0.0.1/8"),
            ["10.0.0.0/23"],
            ["<stdin>:2: invalid prefix", "<stdin>:4: host bits set"],
            id="aggregate",
        ),
        pytest.param(
            ["lookup", "--skip-bad", "TABLE"],
            text("10.1.2.3", "10.1.2", "::1", ":::"),
            ["10.1.2.3 10.0.0.0/8 ten", "::1 -"],
            ["<stdin>:2: invalid address: '10.1.2'", "<stdin>:4: invalid address: ':::'"],
            id="lookup",
        ),
        pytest.param(
            ["classify", "--skip-bad"],
            text("8.8.8.8", "8.8.8.8.8", "::1"),
            ["8.8.8.8 global", "::1 loopback"],
            ["<stdin>:2: invalid address"],
            id="classify",
        ),
        pytest.param(
            ["sort", "--skip-bad", "--by", "length"],
            text("10.0.0.0/8", "::/0", "x/1", "10.1.0.0/16"),
            ["10.1.0.0/16", "10.0.0.0/8", "::/0"],
            ["<stdin>:3: invalid prefix: 'x/1'"],
            id="sort",
        ),
    ],
)
def test_skip_bad_reports_each_and_goes_on(
    argv: list[str], stdin: str, want_out: list[str], want_reports: list[str], tmp_path: Path
) -> None:
    table = tmp_path / "table.txt"
    table.write_text("10.0.0.0/8 ten\n")
    argv = [str(table) if a == "TABLE" else a for a in argv]
    r = run(argv, stdin)
    assert r.code == 0
    assert r.lines == want_out
    reports = r.err.splitlines()
    assert len(reports) == len(want_reports) + 1
    for got, want in zip(reports, want_reports):
        assert want in got
    n = len(want_reports)
    assert reports[-1] == f"pytarn: skipped {n} bad line{'s' if n > 1 else ''}"


@pytest.mark.parametrize("chunk", [1, 2, 3, 1 << 16])
def test_chunk_boundaries_keep_order_and_line_numbers(chunk: int, monkeypatch, tmp_path) -> None:
    """Lookup works in chunks; positions and line numbers must survive the seams."""
    monkeypatch.setattr(commands, "CHUNK", chunk)
    table = tmp_path / "t.txt"
    table.write_text("10.0.0.0/8 v4\n2001:db8::/32 v6\n")
    stdin = text("10.0.0.1", "# c", "2001:db8::1", "11.0.0.1", "bad", "::1", "10.9.9.9")
    r = run(["lookup", "--skip-bad", str(table)], stdin)
    assert r.lines == [
        "10.0.0.1 10.0.0.0/8 v4",
        "2001:db8::1 2001:db8::/32 v6",
        "11.0.0.1 -",
        "::1 -",
        "10.9.9.9 10.0.0.0/8 v4",
    ]
    assert r.err.splitlines()[0] == "pytarn: <stdin>:5: invalid address: 'bad'"
    # Without --skip-bad the lines before the bad one are still printed.
    r = run(["lookup", str(table)], stdin)
    assert r.code == 2
    assert r.lines == [
        "10.0.0.1 10.0.0.0/8 v4",
        "2001:db8::1 2001:db8::/32 v6",
        "11.0.0.1 -",
    ]


# --- lookup ------------------------------------------------------------------


TABLE = text(
    "# test table",
    "20.0.0.0/8      twenty",
    "10.0.0.0/8      ten net",
    "10.0.0.0/8      second label is ignored",
    "10.1.0.0/16",
    "192.0.2.7       host",
    "2001:db8::/32   doc6",
    "::/0            default6",
)


@pytest.mark.parametrize(
    "address, want",
    [
        pytest.param("10.1.2.3", "10.1.2.3 10.1.0.0/16", id="longest-unlabelled"),
        pytest.param("10.2.0.0", "10.2.0.0 10.0.0.0/8 ten net", id="duplicate-keeps-first-label"),
        pytest.param("20.255.255.255", "20.255.255.255 20.0.0.0/8 twenty", id="top-of-prefix"),
        pytest.param("192.0.2.7", "192.0.2.7 192.0.2.7/32 host", id="host-route"),
        pytest.param("192.0.2.8", "192.0.2.8 -", id="no-match"),
        pytest.param("2001:db8::1", "2001:db8::1 2001:db8::/32 doc6", id="v6"),
        pytest.param("2001:DB8::1", "2001:DB8::1 2001:db8::/32 doc6", id="v6-text-as-given"),
        pytest.param("::ffff:10.1.2.3", "::ffff:10.1.2.3 ::/0 default6", id="mapped-stays-v6"),
    ],
)
def test_lookup(address: str, want: str, tmp_path: Path) -> None:
    table = tmp_path / "table.txt"
    table.write_text(TABLE)
    r = run(["lookup", str(table)], address + "\n")
    assert (r.code, r.err) == (0, "")
    assert r.lines == [want]


def test_lookup_without_v6_prefixes_answers_dash(tmp_path: Path) -> None:
    table = tmp_path / "table.txt"
    table.write_text("10.0.0.0/8\n")
    r = run(["lookup", str(table)], text("::1", "10.0.0.1"))
    assert r.lines == ["::1 -", "10.0.0.1 10.0.0.0/8"]


def test_lookup_table_from_stdin(tmp_path: Path) -> None:
    addrs = tmp_path / "addrs.txt"
    addrs.write_text("10.0.0.1\n")
    r = run(["lookup", "-", str(addrs)], "10.0.0.0/8 ten\n")
    assert r.lines == ["10.0.0.1 10.0.0.0/8 ten"]


def linear_lpm(table: list[tuple[str, str]], address: str) -> str:
    addr = ipaddress.ip_address(address)
    best = None
    for prefix, label in table:
        net = ipaddress.ip_network(prefix)
        longer = best is None or net.prefixlen > best[0].prefixlen
        if net.version == addr.version and addr in net and longer:
            best = (net, label)
    if best is None:
        return f"{address} -"
    return f"{address} {best[0]} {best[1]}".rstrip()


@pytest.mark.parametrize("seed", [7, 8])
def test_lookup_matches_linear_reference(seed: int, tmp_path: Path) -> None:
    rng = random.Random(seed)
    prefixes = random_prefixes(rng, 4, 150) + random_prefixes(rng, 6, 80)
    prefixes += ["0.0.0.0/0", "255.255.255.255/32", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"]
    # Labels are unique per prefix text so that duplicates cannot hide a mismatch.
    seen: dict[str, str] = {}
    for i, p in enumerate(prefixes):
        seen.setdefault(p, f"L{i}")
    table = list(seen.items())
    addrs = []
    for p, _ in table:
        net = ipaddress.ip_network(p)
        addrs.append(str(net.network_address))
        addrs.append(str(net.broadcast_address))
    addrs += [str(ipaddress.IPv4Address(rng.getrandbits(32))) for _ in range(100)]
    path = tmp_path / "table.txt"
    path.write_text(text(*(f"{p} {label}" for p, label in table)))
    r = run(["lookup", str(path)], text(*addrs))
    assert r.code == 0, r.err
    assert r.lines == [linear_lpm(table, a) for a in addrs], f"seed {seed}"


@pytest.mark.parametrize(
    "flag, addrs",
    [
        pytest.param("-4", ["10.1.2.3", "11.0.0.1", "0.0.0.0", "255.255.255.255"], id="v4"),
        pytest.param("-6", ["2001:db8::1", "::", "::ffff:10.0.0.1"], id="v6"),
    ],
)
def test_lookup_packed(flag: str, addrs: list[str], tmp_path: Path) -> None:
    table = tmp_path / "table.txt"
    table.write_text("10.0.0.0/8 ten\n2001:db8::/32 doc\n")
    data = b"".join(ipaddress.ip_address(a).packed for a in addrs)
    r = run(["lookup", "--packed", flag, str(table)], data)
    assert r.code == 0, r.err
    want = [linear_lpm([("10.0.0.0/8", "ten"), ("2001:db8::/32", "doc")], a) for a in addrs]
    assert r.lines == want


def test_lookup_packed_trailing_bytes(tmp_path: Path) -> None:
    table = tmp_path / "table.txt"
    table.write_text("10.0.0.0/8\n")
    data = bytes([10, 0, 0, 1, 11, 0, 0, 1, 10, 0])
    r = run(["lookup", "--packed", "-4", str(table)], data)
    assert r.code == 2
    assert r.lines == ["10.0.0.1 10.0.0.0/8", "11.0.0.1 -"]
    assert r.err == "pytarn: <stdin>: 2 trailing bytes after the last 4-byte address: '0a00'\n"
    r = run(["lookup", "--packed", "-4", "--skip-bad", str(table)], data)
    assert r.code == 0
    assert len(r.lines) == 2


# --- classify --------------------------------------------------------------


@pytest.mark.parametrize(
    "address, want",
    [
        pytest.param("8.8.8.8", "global", id="global"),
        pytest.param("10.1.2.3", "private", id="private"),
        pytest.param("127.0.0.1", "loopback", id="loopback4"),
        pytest.param("::1", "loopback", id="loopback6"),
        pytest.param("192.0.2.1", "documentation", id="documentation"),
        pytest.param("fd00::1", "unique_local", id="unique-local"),
        pytest.param("100.64.0.1", "shared", id="shared"),
        pytest.param("0.0.0.0", "this_host", id="this-host"),
    ],
)
def test_classify(address: str, want: str) -> None:
    from_args = run(["classify", address])
    from_stdin = run(["classify"], address + "\n")
    assert from_args.lines == from_stdin.lines == [f"{address} {want}"]


def test_classify_names_every_class() -> None:
    names = commands.class_names()
    assert len(names) == 23
    assert [bit for bit, _ in names] == [1 << i for i in range(23)]
    assert (pytarn.TARN_CLASS_6TO4_RELAY, "6to4_relay") in names
    # Several bits at once come out in bit order, comma-separated.
    r = run(["classify", "255.255.255.255"])
    mask = pytarn.IPv4Address("255.255.255.255").classify()
    assert r.lines == ["255.255.255.255 " + ",".join(n for b, n in names if mask & b)]


# --- sort --------------------------------------------------------------------


SORT_INPUT = [
    "10.1.0.0/16 b",
    "::/0",
    "10.0.0.0/8 a",
    "10.0.0.0/24",
    "10.1.0.0/16 c",
    "2001:db8::/32",
]


@pytest.mark.parametrize(
    "args, want",
    [
        pytest.param(
            [],
            [
                "10.0.0.0/8 a",
                "10.0.0.0/24",
                "10.1.0.0/16 b",
                "10.1.0.0/16 c",
                "::/0",
                "2001:db8::/32",
            ],
            id="network",
        ),
        pytest.param(
            ["--by", "length"],
            [
                "10.0.0.0/24",
                "10.1.0.0/16 b",
                "10.1.0.0/16 c",
                "10.0.0.0/8 a",
                "2001:db8::/32",
                "::/0",
            ],
            id="length",
        ),
        pytest.param(["-6"], ["::/0", "2001:db8::/32"], id="only6"),
    ],
)
def test_sort(args: list[str], want: list[str]) -> None:
    r = run(["sort", *args], text(*SORT_INPUT))
    assert (r.code, r.err) == (0, "")
    assert r.lines == want


@pytest.mark.parametrize("by", ["network", "length"])
def test_sort_matches_stdlib_order(by: str, tmp_path: Path) -> None:
    rng = random.Random(11)
    prefixes = random_prefixes(rng, 4, 300)
    prefixes += prefixes[:20]  # duplicates
    path = tmp_path / "p.txt"
    path.write_text(text(*prefixes))
    nets = [ipaddress.ip_network(p) for p in prefixes]
    if by == "network":
        key = lambda n: (n.network_address, n.prefixlen)
    else:
        key = lambda n: (-n.prefixlen, n.network_address)
    r = run(["sort", "--by", by, str(path)])
    assert r.lines == [str(n) for n in sorted(nets, key=key)]


# --- as a process ------------------------------------------------------------


def test_runs_as_a_module_process(tmp_path: Path) -> None:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    good = subprocess.run(
        [sys.executable, "-m", "pytarn_cli", "aggregate"],
        input=b"10.0.0.0/24\n10.0.1.0/24\n",
        capture_output=True,
        env=env,
        check=False,
    )
    assert (good.returncode, good.stdout, good.stderr) == (0, b"10.0.0.0/23\n", b"")
    bad = subprocess.run(
        [sys.executable, "-m", "pytarn_cli", "aggregate"],
        input=b"10.0.0.0/24\nnot-a-prefix\n",
        capture_output=True,
        env=env,
        check=False,
    )
    assert bad.returncode == 2
    assert bad.stdout == b""
    assert bad.stderr == b"pytarn: <stdin>:2: invalid prefix: 'not-a-prefix'\n"


# --- byte-order mark ---------------------------------------------------------

BOM = b"\xef\xbb\xbf"


@pytest.mark.parametrize(
    "argv, stdin, want",
    [
        pytest.param(
            ["aggregate"], BOM + b"10.0.0.0/24\n10.0.1.0/24\n", ["10.0.0.0/23"], id="stdin"
        ),
        pytest.param(["aggregate"], BOM + b"10.0.0.0/8\r\n", ["10.0.0.0/8"], id="stdin-crlf"),
        pytest.param(["aggregate"], BOM + b"# header\n::/0\n", ["::/0"], id="before-a-comment"),
        pytest.param(["classify"], BOM + b"10.1.2.3\n", ["10.1.2.3 private"], id="classify-stdin"),
        pytest.param(
            ["sort", "FILE", "FILE"], b"", ["10.0.0.0/8", "10.0.0.0/8"], id="each-file-its-own"
        ),
        pytest.param(
            ["lookup", "FILE"],
            BOM + b"10.9.9.9\n",
            ["10.9.9.9 10.0.0.0/8"],
            id="table-and-addresses",
        ),
    ],
)
def test_leading_bom_is_dropped(
    argv: list[str], stdin: bytes, want: list[str], tmp_path: Path
) -> None:
    path = tmp_path / "bom.txt"
    path.write_bytes(BOM + b"10.0.0.0/8\n")
    r = run([str(path) if a == "FILE" else a for a in argv], stdin)
    assert (r.code, r.lines, r.err) == (0, want, "")


@pytest.mark.parametrize(
    "stdin, line",
    [
        pytest.param(b"10.0.0.0/8\n" + BOM + b"10.1.0.0/16\n", 2, id="not-first-line"),
        pytest.param(BOM + BOM + b"10.0.0.0/8\n", 1, id="doubled"),
    ],
)
def test_bom_elsewhere_is_a_bad_line(stdin: bytes, line: int) -> None:
    r = run(["aggregate"], stdin)
    assert r.code == 2
    assert r.err.startswith(f"pytarn: <stdin>:{line}: ")


def test_packed_input_keeps_bom_bytes(tmp_path: Path) -> None:
    """Raw addresses are not text: EF BB BF xx is the address 239.187.191.xx."""
    table = tmp_path / "t.txt"
    table.write_text("239.0.0.0/8 mcast\n")
    packed = tmp_path / "a.bin"
    packed.write_bytes(BOM + b"\x07")
    r = run(["lookup", "--packed", "-4", str(table), str(packed)])
    assert (r.code, r.lines) == (0, ["239.187.191.7 239.0.0.0/8 mcast"])


# --- benchmarks/tablegen.py ---------------------------------------------------


@pytest.fixture(scope="module")
def tablegen():
    import importlib.util

    path = Path(__file__).resolve().parents[2] / "benchmarks" / "tablegen.py"
    spec = importlib.util.spec_from_file_location("tablegen", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("version, count", [("v4", 3000), ("v6", 3000), ("v4", 1), ("v6", 0)])
def test_tablegen_makes_distinct_canonical_prefixes(tablegen, version: str, count: int) -> None:
    table = tablegen.generate_table(version, count, seed=5)
    nets = [ipaddress.ip_network(t) for t in table]  # strict: no host bits set
    assert len(set(nets)) == len(nets) == count
    assert all(n.version == int(version[1]) for n in nets)
    assert table == tablegen.generate_table(version, count, seed=5)


@pytest.mark.parametrize("version", ["v4", "v6"])
def test_tablegen_refuses_a_count_its_blocks_cannot_hold(tablegen, version: str) -> None:
    """A count past the shape's capacity used to loop forever drawing duplicates."""
    top = tablegen.max_count(version)
    assert tablegen.fits(version, top) and not tablegen.fits(version, top + 1)
    with pytest.raises(ValueError, match=rf"largest count this shape can fill is {top}$"):
        tablegen.generate_table(version, 10_000_000)
    with pytest.raises(ValueError, match="negative"):
        tablegen.generate_table(version, -1)


def test_tablegen_capacity_matches_brute_force(tablegen) -> None:
    """The capacity count agrees with enumerating a small shape's prefixes."""
    regions = [(0b1000 << 4, 4), (0b1001 << 4, 4), (0b11 << 6, 2), (0b0101_0110, 7)]
    for length in range(1, 9):
        brute = {
            v >> (8 - length)
            for v in range(256)
            if any(v >> (8 - rl) == net >> (8 - rl) for net, rl in regions)
        }
        assert tablegen._capacity(8, regions, length) == len(brute), length
