#!/usr/bin/env python3
"""pytarn side by side with the Python libraries people use for the same jobs.

    python3 benchmarks/compare.py [--quick] [--use-build DIR] [--venv DIR]

Peers: the standard library's `ipaddress`, netaddr, pytricia, py-radix and
aggregate6.  The script makes its own virtual environment (build/compare-venv
by default), installs the peers, matplotlib and pytarn itself into it with pip
(`--use-build DIR` puts an already built module from DIR on the path instead
of installing the repository), and runs again inside it.  A peer that fails to
install or import is reported and skipped.

Inputs, made outside the timed regions: the synthetic IPv4 (about 1.04M
prefixes) and IPv6 (about 250k) routing tables of benchmarks/tablegen.py, and
1M IPv4 addresses, half inside table prefixes and half uniformly random.  The
columnar rows use 10M such addresses as one Arrow string column (or packed
bytes), numpy and pyarrow being installed beside the peers, and compare the
binding with the core's own C functions called through ctypes on the loaded
module's shared object.

Every operation runs on batches of 100k items for the headline ratios, and on
1M items where memory traffic matters.  A peer too slow to run 1M items in
reasonable time runs 100k and its time is scaled per item; the output marks
such rows.  Times are the best of several runs, in CPU time of the process, with the
garbage collector off during each run (as timeit does); the one row that runs two
threads is timed on the wall clock.  The memory of the lookup structures is
the growth of a child process's resident size while it builds one.

Writes docs/benchmarks.md and docs/benchmarks.png and prints the same table.
Not part of the test run.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import gc
import importlib
import json
import os
import platform
import random
import subprocess
import sys
import threading
import time
import venv
from collections import Counter
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_VENV = ROOT / "build" / "compare-venv"
PEER_PACKAGES = ["netaddr", "pytricia", "py-radix", "aggregate6"]
SUPPORT_PACKAGES = ["matplotlib", "numpy", "pyarrow"]  # the chart; the columns
SEED = 20251009
BATCH = 100_000
BIG = 1_000_000
COLUMN = 10_000_000  # addresses in one column (--quick: COLUMN_QUICK)
COLUMN_QUICK = 1_000_000
COLUMN_PEER = 200_000  # what a pure-Python peer of a column row runs, scaled
JOB_ADDRESSES = 2_000_000  # the labelled-table job (--quick: a tenth)
JOB_PREFIXES = 100_000
JOB_LABELS = 8_000  # distinct origin labels over the job's prefixes

# The operations of the columnar rows, named once for the rows and the targets.
OP_ARROW_PARSE = "parse an Arrow column of IPv4 text"
OP_ARROW_FORMAT = "format IPv4 addresses into an Arrow column"
OP_COLUMN_LPM = "longest-prefix match, packed IPv4 column"
OP_THREADS = "the same, two threads on one index (wall clock)"
OP_JOB = "hits per label, Arrow column vs labelled table"
OP_SINGLE = "longest-prefix match, one address object per call"
COLUMN_OPS = (OP_ARROW_PARSE, OP_ARROW_FORMAT, OP_COLUMN_LPM, OP_THREADS, OP_JOB, OP_SINGLE)
SINGLE_LOOKUPS = 1_000_000
# One column run takes a few hundred ms, and two of them (all the default
# budget allows) leave ratios of about 1 within the noise of a shared machine.
COLUMN_TIMING: dict[str, Any] = {"min_total": 3.0, "max_runs": 7}

TARGETS_NOTE = "above 1 means pytarn is faster"


# --- running inside a private environment ------------------------------------


def venv_python(venv_dir: Path) -> Path:
    return venv_dir / "bin" / "python"


def pip(py: Path, *args: str) -> bool:
    cmd = [str(py), "-m", "pip", "install", "-q", "--disable-pip-version-check", *args]
    print("+", " ".join(cmd[3:]), flush=True)
    return subprocess.run(cmd, check=False).returncode == 0


def bootstrap(args: argparse.Namespace, passthrough: list[str]) -> int:
    """Make the environment, install into it, and run this script there."""
    venv_dir = Path(args.venv)
    py = venv_python(venv_dir)
    if not py.exists():
        print(f"creating {venv_dir}", flush=True)
        venv.create(venv_dir, with_pip=True)
    failed = [pkg for pkg in PEER_PACKAGES + SUPPORT_PACKAGES if not pip(py, pkg)]
    site = subprocess.run(
        [str(py), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    pth = Path(site) / "pytarn_from_build.pth"
    if args.use_build:
        build = Path(args.use_build).resolve()
        pth.write_text(f"{build}\n{ROOT / 'python'}\n")
    else:
        if pth.exists():
            pth.unlink()
        if not pip(py, "--force-reinstall", "--no-deps", str(ROOT)):
            print("compare: installing pytarn failed; nothing to compare", file=sys.stderr)
            return 1
    cmd = [
        str(py),
        str(Path(__file__).resolve()),
        "--in-venv",
        "--install-failed",
        ",".join(failed),
    ]
    return subprocess.run(cmd + passthrough, check=False).returncode


# --- inputs ------------------------------------------------------------------


def import_tablegen() -> Any:
    """The core benchmarks' table generator."""
    sys.path.insert(0, str(ROOT / "benchmarks"))
    import tablegen

    return tablegen


def load_tables(quick: bool) -> tuple[list[str], list[str]]:
    tablegen = import_tablegen()
    v4_count = 200_000 if quick else None
    v6_count = 50_000 if quick else None
    return tablegen.generate_table("v4", v4_count), tablegen.generate_table("v6", v6_count)


def v4_text(a: int) -> str:
    return f"{a >> 24}.{(a >> 16) & 255}.{(a >> 8) & 255}.{a & 255}"


def make_v4_addresses(table: list[str], n: int, rng: random.Random) -> list[str]:
    """Half inside random table prefixes, half uniformly random."""
    out = []
    for i in range(n):
        if i % 2:
            out.append(v4_text(rng.getrandbits(32)))
            continue
        net, _, length = table[rng.randrange(len(table))].partition("/")
        a, b, c, d = map(int, net.split("."))
        host_bits = 32 - int(length)
        out.append(v4_text((a << 24 | b << 16 | c << 8 | d) | rng.getrandbits(host_bits)))
    return out


def make_v6_addresses(table: list[str], n: int, rng: random.Random) -> list[str]:
    import ipaddress

    out = []
    for _ in range(n):
        net = ipaddress.IPv6Network(table[rng.randrange(len(table))])
        out.append(str(net.network_address + rng.getrandbits(128 - net.prefixlen)))
    return out


# --- measuring ---------------------------------------------------------------


@dataclass
class Row:
    op: str  # operation, e.g. "parse IPv4 address strings"
    lib: str  # library label
    call: str  # the code measured
    items: int  # items the row reports on
    seconds: float  # time for `items` items (scaled when measured < items)
    measured: int  # items actually run
    note: str = ""

    @property
    def ns_per_item(self) -> float:
        return self.seconds / self.items * 1e9

    @property
    def scaled(self) -> bool:
        return self.measured != self.items


@dataclass
class Results:
    rows: list[Row] = field(default_factory=list)
    memory: list[dict[str, Any]] = field(default_factory=list)
    skipped: dict[str, str] = field(default_factory=dict)
    checks: list[str] = field(default_factory=list)

    def find(self, op: str, lib: str, items: int | None = BATCH) -> Row | None:
        """The row of `op` by `lib` at `items` items (None: at whatever size it ran)."""
        for r in self.rows:
            if r.op == op and r.lib == lib and items in (None, r.items):
                return r
        return None


def best_time(
    fn: Callable[..., Any],
    min_total: float = 0.3,
    max_runs: int = 5,
    clock: Callable[[], float] = time.process_time,
) -> float:
    """Best of up to `max_runs` runs, stopping once `min_total` seconds were spent.

    Times are the process's CPU time, not wall time: the machines this runs
    on are often shared, and CPU time does not count the waits for a core,
    which would otherwise swamp the differences being measured.  Everything
    measured runs on one thread, except what is timed with `clock` =
    time.perf_counter (the CPU time of two threads says nothing of how soon
    they finish).
    """
    best = float("inf")
    spent = 0.0
    runs = 0
    while runs < max_runs and (runs < 2 or spent < min_total):
        gc.collect()
        gc.disable()
        try:
            t0 = clock()
            fn()
            dt = clock() - t0
        finally:
            gc.enable()
        best = min(best, dt)
        spent += dt
        runs += 1
        if dt > 5.0:  # one long run says enough
            break
    return best


def measure(
    res: Results,
    op: str,
    lib: str,
    call: str,
    # make(n) returns the timed call; its arguments, computed by make outside
    # the timed region, are often bound as a lambda's defaults, hence "...".
    make: Callable[..., Callable[..., Any]],
    sizes: tuple[int, ...],
    cap: int | None = None,
    **timing: Any,
) -> None:
    """Time make(n)() for each size; above `cap`, run `cap` items and scale.

    `timing` goes to best_time (min_total, max_runs, clock)."""
    if lib in res.skipped:
        return
    for n in sizes:
        run_n = min(n, cap) if cap else n
        try:
            fn = make(run_n)
        except Exception as e:
            res.skipped.setdefault(lib, f"{op}: {type(e).__name__}: {e}")
            return
        t = best_time(fn, **timing)
        res.rows.append(Row(op, lib, call, n, t * n / run_n, run_n))
        r = res.rows[-1]
        tag = f" (measured {run_n:,}, scaled)" if r.scaled else ""
        print(
            f"  {op:38} {lib:10} {n:>9,} {r.seconds * 1e3:10.1f} ms"
            f" {r.ns_per_item:9.0f} ns/item{tag}",
            flush=True,
        )


def import_peer(res: Results, name: str, module: str) -> Any:
    try:
        return importlib.import_module(module)
    except Exception as e:
        res.skipped[name] = f"import failed: {e}"
        return None


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def release_free_memory() -> None:
    gc.collect()
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def memory_child(lib: str, path: str) -> None:
    """Print the resident growth of building `lib`'s lookup structure over PATH."""
    prefixes = Path(path).read_text().split()
    shared = object()  # one value for every prefix: the structure alone is measured
    release_free_memory()
    before = rss_bytes()
    if lib == "pytarn":
        import pytarn

        nets = list(map(pytarn.IPv4Network, prefixes))
        structure: Any = pytarn.PrefixIndex(nets)
        del nets
    elif lib == "pytricia":
        import pytricia

        structure = pytricia.PyTricia(32)
        for p in prefixes:
            structure[p] = shared
    elif lib == "py-radix":
        import radix

        structure = radix.Radix()
        for p in prefixes:
            structure.add(p)
    else:
        raise SystemExit(f"unknown library {lib}")
    release_free_memory()
    after = rss_bytes()
    print(json.dumps({"lib": lib, "bytes": after - before, "prefixes": len(prefixes)}))
    del structure


def measure_memory(res: Results, table: list[str], tmpdir: Path) -> None:
    path = tmpdir / "v4-table.txt"
    path.write_text("\n".join(table) + "\n")
    for lib in ("pytarn", "pytricia", "py-radix"):
        if lib in res.skipped:
            continue
        done = subprocess.run(
            [sys.executable, __file__, "--memory-child", lib, str(path)],
            capture_output=True,
            text=True,
            check=False,
        )
        if done.returncode != 0:
            res.skipped.setdefault(lib, f"memory child failed: {done.stderr.strip()[-200:]}")
            continue
        m = json.loads(done.stdout)
        res.memory.append(m)
        print(
            f"  memory of the lookup structure   {lib:10} {m['bytes'] / 2**20:8.1f} MiB "
            f"{m['bytes'] / m['prefixes']:6.1f} B/prefix",
            flush=True,
        )


# --- the operations ----------------------------------------------------------


def run_all(quick: bool, install_failed: list[str]) -> Results:
    import ipaddress

    import pytarn

    res = Results()
    for pkg in install_failed:
        if pkg and pkg not in SUPPORT_PACKAGES:
            res.skipped[pkg] = "pip install failed"
    netaddr = import_peer(res, "netaddr", "netaddr") if "netaddr" not in res.skipped else None
    pytricia = import_peer(res, "pytricia", "pytricia") if "pytricia" not in res.skipped else None
    radix = import_peer(res, "py-radix", "radix") if "py-radix" not in res.skipped else None
    aggregate6 = (
        import_peer(res, "aggregate6", "aggregate6") if "aggregate6" not in res.skipped else None
    )

    print("generating inputs ...", flush=True)
    rng = random.Random(SEED)
    v4_table, v6_table = load_tables(quick)
    big = BATCH * 2 if quick else BIG
    addr4 = make_v4_addresses(v4_table, big, rng)
    addr6 = make_v6_addresses(v6_table, BATCH, rng)
    sample4 = rng.sample(v4_table, BATCH)
    print(
        f"  IPv4 table {len(v4_table):,} prefixes, IPv6 table {len(v6_table):,}, "
        f"{len(addr4):,} IPv4 addresses",
        flush=True,
    )
    sizes = (BATCH, big)
    slow_cap = BATCH  # pure-Python peers run 100k items and are scaled

    # Objects made once, outside the timed regions.
    P4 = pytarn.IPv4Address
    tarn_addrs = pytarn.bulk_parse(addr4)
    std_addrs = [ipaddress.IPv4Address(s) for s in addr4[:BATCH]]
    na_addrs = [netaddr.IPAddress(s) for s in addr4[:BATCH]] if netaddr else []

    print("parsing and formatting", flush=True)
    op = "parse IPv4 address strings"
    measure(
        res,
        op,
        "pytarn",
        "[IPv4Address(s) for s in strs]",
        lambda n: lambda s=addr4[:n]: [P4(x) for x in s],
        sizes,
    )
    measure(
        res,
        op,
        "pytarn bulk",
        "bulk_parse(strs)",
        lambda n: lambda s=addr4[:n]: pytarn.bulk_parse(s),
        sizes,
    )
    measure(
        res,
        op,
        "ipaddress",
        "[ip_address(s) for s in strs]",
        lambda n: lambda s=addr4[:n]: [ipaddress.ip_address(x) for x in s],
        sizes,
        slow_cap,
    )
    if netaddr:
        measure(
            res,
            op,
            "netaddr",
            "[IPAddress(s) for s in strs]",
            lambda n: lambda s=addr4[:n]: [netaddr.IPAddress(x) for x in s],
            sizes,
            slow_cap,
        )

    op = "parse IPv6 address strings"
    P6 = pytarn.IPv6Address
    measure(
        res,
        op,
        "pytarn",
        "[IPv6Address(s) for s in strs]",
        lambda n: lambda s=addr6[:n]: [P6(x) for x in s],
        (BATCH,),
    )
    measure(
        res,
        op,
        "pytarn bulk",
        "bulk_parse(strs)",
        lambda n: lambda s=addr6[:n]: pytarn.bulk_parse(s),
        (BATCH,),
    )
    measure(
        res,
        op,
        "ipaddress",
        "[ip_address(s) for s in strs]",
        lambda n: lambda s=addr6[:n]: [ipaddress.ip_address(x) for x in s],
        (BATCH,),
    )
    if netaddr:
        measure(
            res,
            op,
            "netaddr",
            "[IPAddress(s) for s in strs]",
            lambda n: lambda s=addr6[:n]: [netaddr.IPAddress(x) for x in s],
            (BATCH,),
        )

    op = "format IPv4 addresses"
    measure(
        res,
        op,
        "pytarn",
        "list(map(str, addrs))",
        lambda n: lambda a=tarn_addrs[:n]: list(map(str, a)),
        sizes,
    )
    measure(
        res,
        op,
        "ipaddress",
        "list(map(str, addrs))",
        lambda n: lambda a=std_addrs[:n]: list(map(str, a)),
        sizes,
        slow_cap,
    )
    if netaddr:
        measure(
            res,
            op,
            "netaddr",
            "list(map(str, addrs))",
            lambda n: lambda a=na_addrs[:n]: list(map(str, a)),
            sizes,
            slow_cap,
        )

    print("networks", flush=True)
    op = "construct IPv4 networks from text"
    N4 = pytarn.IPv4Network
    measure(
        res,
        op,
        "pytarn",
        "[IPv4Network(s) for s in strs]",
        lambda n: lambda s=sample4[:n]: [N4(x) for x in s],
        (BATCH,),
    )
    measure(
        res,
        op,
        "ipaddress",
        "[ip_network(s) for s in strs]",
        lambda n: lambda s=sample4[:n]: [ipaddress.ip_network(x) for x in s],
        (BATCH,),
    )
    if netaddr:
        measure(
            res,
            op,
            "netaddr",
            "[IPNetwork(s) for s in strs]",
            lambda n: lambda s=sample4[:n]: [netaddr.IPNetwork(x) for x in s],
            (BATCH,),
        )

    op = "containment in one network"
    tnet, snet = N4("128.0.0.0/2"), ipaddress.IPv4Network("128.0.0.0/2")
    measure(
        res,
        op,
        "pytarn",
        "[a in net for a in addrs]",
        lambda n: lambda a=tarn_addrs[:n]: [x in tnet for x in a],
        sizes,
    )
    measure(
        res,
        op,
        "pytarn bulk",
        "bulk_contains(addrs, [net])",
        lambda n: lambda a=tarn_addrs[:n]: pytarn.bulk_contains(a, [tnet]),
        sizes,
    )
    measure(
        res,
        op,
        "ipaddress",
        "[a in net for a in addrs]",
        lambda n: lambda a=std_addrs[:n]: [x in snet for x in a],
        sizes,
        slow_cap,
    )
    if netaddr:
        nnet = netaddr.IPNetwork("128.0.0.0/2")
        measure(
            res,
            op,
            "netaddr",
            "[a in net for a in addrs]",
            lambda n: lambda a=na_addrs[:n]: [x in nnet for x in a],
            sizes,
            slow_cap,
        )

    op = "sort IPv4 networks"
    tarn_sample = [N4(x) for x in sample4]
    std_sample = [ipaddress.IPv4Network(x) for x in sample4]
    measure(
        res,
        op,
        "pytarn",
        "bulk_sort(nets, SORT_NETWORK_ASC)",
        lambda n: lambda a=tarn_sample[:n]: pytarn.bulk_sort(a, pytarn.SORT_NETWORK_ASC),
        (BATCH,),
    )
    measure(
        res, op, "ipaddress", "sorted(nets)", lambda n: lambda a=std_sample[:n]: sorted(a), (BATCH,)
    )
    if netaddr:
        na_sample = [netaddr.IPNetwork(x) for x in sample4]
        measure(
            res,
            op,
            "netaddr",
            "sorted(nets)",
            lambda n: lambda a=na_sample[:n]: sorted(a),
            (BATCH,),
        )

    print("aggregation", flush=True)
    op = "aggregate IPv4 prefixes"
    measure(
        res,
        op,
        "pytarn",
        "bulk_aggregate(nets)",
        lambda n: lambda a=tarn_sample[:n]: pytarn.bulk_aggregate(a),
        (BATCH,),
    )
    measure(
        res,
        op,
        "pytarn text",
        "text in, text out",
        lambda n: lambda s=sample4[:n]: list(map(str, pytarn.bulk_aggregate(list(map(N4, s))))),
        (BATCH,),
    )
    measure(
        res,
        op,
        "ipaddress",
        "list(collapse_addresses(nets))",
        lambda n: lambda a=std_sample[:n]: list(ipaddress.collapse_addresses(a)),
        (BATCH,),
    )
    if netaddr:
        measure(
            res,
            op,
            "netaddr",
            "cidr_merge(nets)",
            lambda n: lambda a=na_sample[:n]: netaddr.cidr_merge(a),
            (BATCH,),
        )
    if aggregate6:
        measure(
            res,
            op,
            "aggregate6",
            "aggregate(strs)",
            lambda n: lambda s=sample4[:n]: aggregate6.aggregate(s),
            (BATCH,),
        )

    op = "aggregate the full tables"
    full = len(v4_table) + len(v6_table)
    tarn_v4 = list(map(N4, v4_table))
    tarn_v6 = list(map(pytarn.IPv6Network, v6_table))
    measure(
        res,
        op,
        "pytarn",
        "bulk_aggregate per family",
        lambda n, v4=tarn_v4, v6=tarn_v6: (
            lambda: (pytarn.bulk_aggregate(v4), pytarn.bulk_aggregate(v6))
        ),
        (full,),
    )
    if aggregate6 and not quick:
        measure(
            res,
            op,
            "aggregate6",
            "aggregate(strs)",
            lambda n: lambda: aggregate6.aggregate(v4_table + v6_table),
            (full,),
        )
    check_aggregation(res, pytarn, tarn_sample, std_sample)
    del tarn_v6

    print("longest-prefix match against the IPv4 table", flush=True)
    measure_lpm(res, pytarn, pytricia, radix, v4_table, tarn_v4, addr4, sizes)
    del tarn_v4

    print("columns: Arrow and packed input, the core through ctypes", flush=True)
    missing = [pkg for pkg in ("numpy", "pyarrow") if pkg in install_failed]
    if missing:
        res.skipped["columns"] = f"{', '.join(missing)} failed to install"
    else:
        measure_columns(res, pytarn, pytricia, v4_table, quick)

    # Sets, ranges, exclusion, hosts and covering queries (compare_everyday.py),
    # whose targets join the table's.
    import compare_everyday

    TARGETS.extend(compare_everyday.TARGETS)
    compare_everyday.measure_everyday(res, quick, v4_table)

    print("memory of the lookup structures", flush=True)
    tmpdir = ROOT / "build" / "compare-tmp"
    tmpdir.mkdir(parents=True, exist_ok=True)
    measure_memory(res, v4_table, tmpdir)
    return res


def measure_lpm(
    res: Results,
    pytarn: Any,
    pytricia: Any,
    radix: Any,
    table: list[str],
    tarn_nets: list[Any],
    addr4: list[str],
    sizes: tuple[int, ...],
) -> None:
    op_build = "build LPM structure (IPv4 table)"
    op = "longest-prefix match, from strings"
    n_table = len(table)
    index_holder: dict[str, Any] = {}

    def build_pytarn() -> None:
        index_holder["pytarn"] = pytarn.PrefixIndex(list(map(pytarn.IPv4Network, table)))

    t = best_time(build_pytarn, max_runs=2)
    res.rows.append(
        Row(op_build, "pytarn", "PrefixIndex(list(map(IPv4Network, strs)))", n_table, t, n_table)
    )
    index = index_holder["pytarn"]
    measure(
        res,
        op,
        "pytarn",
        "index.lookup(bulk_parse(strs))",
        lambda n: lambda s=addr4[:n]: index.lookup(pytarn.bulk_parse(s)),
        sizes,
    )

    if pytricia is not None:

        def build_tricia() -> None:
            t = pytricia.PyTricia(32)
            for i, p in enumerate(table):
                t[p] = i
            index_holder["pytricia"] = t

        t = best_time(build_tricia, max_runs=2)
        res.rows.append(Row(op_build, "pytricia", "t[p] = i for each prefix", n_table, t, n_table))
        tri = index_holder["pytricia"]
        get = tri.get
        measure(
            res,
            op,
            "pytricia",
            "[t.get(s) for s in strs]",
            lambda n: lambda s=addr4[:n]: [get(x) for x in s],
            sizes,
        )
        check_lpm(res, pytarn, index, tri, table, addr4[:20000])
        del index_holder["pytricia"], tri, get
    if radix is not None:

        def build_radix() -> None:
            rt = radix.Radix()
            for p in table:
                rt.add(p)
            index_holder["py-radix"] = rt

        t = best_time(build_radix, max_runs=2)
        res.rows.append(Row(op_build, "py-radix", "rt.add(p) for each prefix", n_table, t, n_table))
        rt = index_holder["py-radix"]
        best = rt.search_best
        measure(
            res,
            op,
            "py-radix",
            "[rt.search_best(s) for s in strs]",
            lambda n: lambda s=addr4[:n]: [best(x) for x in s],
            sizes,
        )
        del index_holder["py-radix"], rt, best
    for r in res.rows:
        if r.op == op_build:
            print(
                f"  {op_build:38} {r.lib:10} {r.items:>9,} {r.seconds * 1e3:10.1f} ms", flush=True
            )


def check_lpm(
    res: Results, pytarn: Any, index: Any, tri: Any, table: list[str], addrs: list[str]
) -> None:
    """The two libraries must agree before their speeds are compared."""
    hits = index.lookup(pytarn.bulk_parse(addrs))
    mismatches = 0
    for s, h in zip(addrs, hits):
        theirs = tri.get_key(s)
        ours = None if h < 0 else str(pytarn.IPv4Network(table[h]))
        if ours != theirs:
            mismatches += 1
    res.checks.append(
        f"longest-prefix match agrees with pytricia on {len(addrs) - mismatches:,} "
        f"of {len(addrs):,} addresses"
    )


def check_aggregation(res: Results, pytarn: Any, tarn_nets: list[Any], std_nets: list[Any]) -> None:
    import ipaddress

    ours = [str(n) for n in pytarn.bulk_aggregate(tarn_nets)]
    theirs = [str(n) for n in ipaddress.collapse_addresses(std_nets)]
    res.checks.append(
        f"aggregation of {len(tarn_nets):,} prefixes agrees with ipaddress: "
        f"{'yes' if ours == theirs else 'NO'} ({len(ours):,} prefixes)"
    )


# --- columns: Arrow and packed input, held against the core --------------------

TARN_AF_INET = 4  # include/pytarn.h


class TarnAddr(ctypes.Structure):
    """tarn_addr_t: the family, then the address bytes in network order (20 bytes)."""

    _fields_ = [("family", ctypes.c_uint32), ("addr", ctypes.c_uint8 * 16)]


class TarnPrefix(ctypes.Structure):
    """tarn_prefix_t: an address and its length, padded to the address's alignment (24 bytes)."""

    _fields_ = [("addr", TarnAddr), ("pfxlen", ctypes.c_uint8)]


def core_library(pytarn: Any) -> ctypes.CDLL:
    """The core's own functions, from the shared object the binding was loaded from.

    ctypes releases the interpreter's lock around each call, as the binding
    does around its core calls, so the two are timed alike.
    """
    lib = ctypes.CDLL(pytarn.__file__)
    ptr, size = ctypes.c_void_p, ctypes.c_size_t
    signatures = {
        "tarn_bulk_parse": [ptr, size, ptr, ptr],
        "tarn_index_create": [ptr, size, ctypes.POINTER(ptr)],
        "tarn_index_lookup": [ptr, ptr, size, ptr, ptr],
    }
    for name, argtypes in signatures.items():
        fn = getattr(lib, name)
        fn.argtypes, fn.restype = argtypes, ctypes.c_int32
    lib.tarn_index_destroy.argtypes, lib.tarn_index_destroy.restype = [ptr], None
    return lib


def core_check(rc: int, what: str) -> None:
    if rc != 0:
        raise RuntimeError(f"{what} returned {rc}")


def core_dtypes(np: Any) -> tuple[Any, Any]:
    """numpy records laid out as ctypes lays out tarn_addr_t and tarn_prefix_t."""
    at = TarnPrefix.addr.offset
    addr = np.dtype(
        {
            "names": ["family", "addr"],
            "formats": [np.uint32, "V16"],
            "offsets": [TarnAddr.family.offset, TarnAddr.addr.offset],
            "itemsize": ctypes.sizeof(TarnAddr),
        }
    )
    prefix = np.dtype(
        {
            "names": ["family", "addr", "pfxlen"],
            "formats": [np.uint32, "V16", np.uint8],
            "offsets": [
                at + TarnAddr.family.offset,
                at + TarnAddr.addr.offset,
                TarnPrefix.pfxlen.offset,
            ],
            "itemsize": ctypes.sizeof(TarnPrefix),
        }
    )
    assert (addr.itemsize, prefix.itemsize) == (20, 24), "tarn_addr_t / tarn_prefix_t layout"
    return addr, prefix


def core_records(np: Any, dtype: Any, values: Any, pfxlen: Any = None) -> Any:
    """IPv4 records of `dtype` holding the uint32 `values` (and lengths), rest zero."""
    recs = np.zeros(len(values), dtype)
    recs["family"] = TARN_AF_INET
    if pfxlen is not None:
        recs["pfxlen"] = pfxlen
    at = dtype.fields["addr"][1]
    raw = recs.view(np.uint8).reshape(len(values), dtype.itemsize)
    raw[:, at : at + 4] = values.astype(">u4").view(np.uint8).reshape(-1, 4)
    return recs


def core_values(np: Any, recs: Any) -> Any:
    """The uint32 values of IPv4 records (inverse of core_records), or None if one is not IPv4."""
    if not (recs["family"] == TARN_AF_INET).all():
        return None
    at = recs.dtype.fields["addr"][1]
    raw = recs.view(np.uint8).reshape(len(recs), recs.dtype.itemsize)
    return raw[:, at : at + 4].copy().view(">u4").ravel().astype(np.uint32)


@contextlib.contextmanager
def core_index(lib: ctypes.CDLL, prefixes: Any) -> Iterator[ctypes.c_void_p]:
    """A tarn_index_t over the tarn_prefix_t records `prefixes`, destroyed on exit."""
    handle = ctypes.c_void_p()
    core_check(
        lib.tarn_index_create(prefixes.ctypes.data, len(prefixes), ctypes.byref(handle)),
        "tarn_index_create",
    )
    try:
        yield handle
    finally:
        lib.tarn_index_destroy(handle)


def table_values(np: Any, table: list[str]) -> tuple[Any, Any]:
    """The prefixes of an IPv4 table as uint32 network values and uint8 lengths."""
    nets, lens = [], []
    for p in table:
        net, _, length = p.partition("/")
        a, b, c, d = map(int, net.split("."))
        nets.append(a << 24 | b << 16 | c << 8 | d)
        lens.append(int(length))
    return np.array(nets, np.uint32), np.array(lens, np.uint8)


def column_values(np: Any, nets: Any, lens: Any, n: int, seed: int) -> Any:
    """make_v4_addresses as numbers, vectorised: even slots inside random table prefixes,
    odd slots uniformly random."""
    rng = np.random.default_rng(seed)
    values = rng.integers(0, 1 << 32, n, dtype=np.uint64)
    pick = rng.integers(0, len(nets), len(values[0::2]))
    # Lengths are 8..32, so the shift stays below the 64-bit width.
    host = (np.uint64(1) << (32 - lens[pick]).astype(np.uint64)) - np.uint64(1)
    values[0::2] = nets[pick] | (values[0::2] & host)
    return values.astype(np.uint32)


def text_column(np: Any, pa: Any, pc: Any, values: Any) -> Any:
    """The dotted-quad text of uint32 values, as one Arrow string array."""
    octets = [
        pa.array((values >> shift & 255).astype(np.uint8)).cast(pa.string())
        for shift in (24, 16, 8, 0)
    ]
    return pc.binary_join_element_wise(*octets, ".")


def c_strings(np: Any, pa: Any, pc: Any, col: Any) -> tuple[Any, Any]:
    """A `const char *[]` over NUL-terminated copies of the items of `col`, and the
    Arrow array that owns the copies (keep it alive while the pointers are used)."""
    owner = pc.binary_join_element_wise(col, pa.scalar("\0"), "")
    _, offsets, data = owner.buffers()
    starts = np.frombuffer(offsets, np.int32, len(owner), owner.offset * 4)
    return starts.astype(np.uintp) + np.uintp(data.address), owner


def measure_columns(
    res: Results, pytarn: Any, pytricia: Any, table: list[str], quick: bool
) -> None:
    """The columnar paths, each beside the core's own function on the same data or a peer."""
    import ipaddress

    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc

    n = COLUMN_QUICK if quick else COLUMN
    peer_cap = BATCH if quick else COLUMN_PEER
    core = core_library(pytarn)
    addr_dtype, prefix_dtype = core_dtypes(np)
    nets, lens = table_values(np, table)
    values = column_values(np, nets, lens, n, SEED)
    col = text_column(np, pa, pc, values)
    print(f"  {n:,} IPv4 addresses, {col.nbytes / 2**20:.0f} MiB of Arrow text", flush=True)

    # Every column row runs one size, so the makers below ignore theirs
    # except where a peer runs a sample.
    op = OP_ARROW_PARSE
    ptrs, owner = c_strings(np, pa, pc, col)
    parsed = np.zeros(n, addr_dtype)
    measure(
        res,
        op,
        "pytarn",
        "AddressArray(col)",
        lambda _, col=col: lambda: pytarn.AddressArray(col),
        (n,),
        **COLUMN_TIMING,
    )

    # Both sides make a new array of records per run, as parsing a new
    # column does: faulting in its fresh pages costs about 2.4 ns per
    # 20-byte record here, a quarter of the core's parse.
    def core_parse(p: int = ptrs.ctypes.data) -> Any:
        out = np.empty(n, addr_dtype)
        core.tarn_bulk_parse(p, n, out.ctypes.data, None)
        return out

    measure(
        res,
        op,
        "core",
        "tarn_bulk_parse(ptrs, n, new out, NULL), ctypes",
        lambda _: core_parse,
        (n,),
        **COLUMN_TIMING,
    )
    core.tarn_bulk_parse(ptrs.ctypes.data, n, parsed.ctypes.data, None)
    measure(
        res,
        op,
        "ipaddress",
        "[ip_address(s) for s in strs]",
        lambda k, col=col: (
            lambda s=col.slice(0, k).to_pylist(): [ipaddress.ip_address(x) for x in s]
        ),
        (n,),
        peer_cap,
    )
    addrs = pytarn.AddressArray(col)
    ours_ok = np.array_equal(np.asarray(addrs.to_uint32()), values)
    core_ok = np.array_equal(core_values(np, parsed), values)
    res.checks.append(
        f"AddressArray(col) of {n:,} Arrow strings holds the generated addresses: "
        f"{'yes' if ours_ok else 'NO'}; so does tarn_bulk_parse: {'yes' if core_ok else 'NO'}"
    )
    del ptrs, owner, parsed

    op = OP_ARROW_FORMAT
    std_addrs = list(map(ipaddress.IPv4Address, col.slice(0, peer_cap).to_pylist()))
    measure(
        res,
        op,
        "pytarn",
        "pyarrow.array(addrs)",
        lambda _, addrs=addrs: lambda: pa.array(addrs),
        (n,),
        **COLUMN_TIMING,
    )
    measure(
        res,
        op,
        "ipaddress",
        "list(map(str, addrs))",
        lambda k, std=std_addrs: lambda a=std[:k]: list(map(str, a)),
        (n,),
        peer_cap,
    )
    res.checks.append(
        f"pyarrow.array(AddressArray) gives back the {n:,} texts parsed: "
        f"{'yes' if pa.array(addrs).equals(col) else 'NO'}"
    )
    del std_addrs, addrs, col

    op = OP_COLUMN_LPM
    index = pytarn.PrefixIndex(list(map(pytarn.IPv4Network, table)))
    packed = values.astype(">u4").view(np.uint8)
    column = pytarn.AddressArray.from_packed(packed, pytarn.AF_INET)
    recs = core_records(np, addr_dtype, values)
    matches = np.empty(n, np.intp)  # ssize_t
    measure(
        res,
        op,
        "pytarn",
        "index.lookup_array(addrs)",
        lambda _, index=index, column=column: lambda: index.lookup_array(column),
        (n,),
        **COLUMN_TIMING,
    )
    measure(
        res,
        op,
        "pytarn packed",
        "index.lookup_array(AddressArray.from_packed(buf, AF_INET))",
        lambda _, index=index, packed=packed: (
            lambda: index.lookup_array(pytarn.AddressArray.from_packed(packed, pytarn.AF_INET))
        ),
        (n,),
        **COLUMN_TIMING,
    )
    measure(
        res,
        op,
        "pytarn in place",
        "index.lookup_packed(buf, AF_INET)",
        lambda _, index=index, packed=packed: lambda: index.lookup_packed(packed, pytarn.AF_INET),
        (n,),
        **COLUMN_TIMING,
    )
    with core_index(core, core_records(np, prefix_dtype, nets, lens)) as handle:
        measure(
            res,
            op,
            "core",
            "tarn_index_lookup(index, recs, n, out, NULL), ctypes",
            lambda _, r=recs.ctypes.data, m=matches.ctypes.data: (
                lambda: core.tarn_index_lookup(handle, r, n, m, None)
            ),
            (n,),
            **COLUMN_TIMING,
        )
    positions = np.asarray(index.lookup_array(column))
    in_place = np.asarray(index.lookup_packed(packed, pytarn.AF_INET))
    res.checks.append(
        f"lookup_array agrees with tarn_index_lookup on {n:,} addresses: "
        f"{'yes' if np.array_equal(positions, matches) else 'NO'} "
        f"({np.count_nonzero(positions >= 0):,} matched); so does lookup_packed: "
        f"{'yes' if np.array_equal(in_place, matches) else 'NO'}"
    )
    del recs, matches

    op = OP_THREADS
    halves = (column[: n // 2], column[n // 2 :])
    wall: dict[str, Any] = {**COLUMN_TIMING, "clock": time.perf_counter}
    with ThreadPoolExecutor(2) as pool:
        both = threading.Barrier(2)
        list(pool.map(lambda _: both.wait(), range(2)))  # both workers exist before any timing
        print(f"  load average before the threads: {os.getloadavg()[0]:.2f}", flush=True)
        measure(
            res,
            op,
            "pytarn 2 threads",
            "pool.map(index.lookup_array, halves)",
            lambda _, index=index, halves=halves: (
                lambda: list(pool.map(index.lookup_array, halves))
            ),
            (n,),
            **wall,
        )
        measure(
            res,
            op,
            "pytarn 1 thread",
            "index.lookup_array(addrs)",
            lambda _, index=index, column=column: lambda: index.lookup_array(column),
            (n,),
            **wall,
        )
        split = np.concatenate([np.asarray(r) for r in pool.map(index.lookup_array, halves)])
    res.checks.append(
        f"two threads on halves of the column give the one-thread positions: "
        f"{'yes' if np.array_equal(split, positions) else 'NO'}"
    )
    del column, halves, split, packed

    # What pytricia's and py-radix's users write: one call per address.  The
    # batched call over the same objects is the cost of the lookups without
    # the per-call machinery.
    op = OP_SINGLE
    objs = [pytarn.IPv4Address(int(v)) for v in values[:SINGLE_LOOKUPS]]
    measure(
        res,
        op,
        "pytarn get",
        "[index.get(a) for a in addrs]",
        lambda _, index=index, objs=objs: lambda: [index.get(a) for a in objs],
        (len(objs),),
        **COLUMN_TIMING,
    )
    measure(
        res,
        op,
        "pytarn batched",
        "index.lookup(addrs)",
        lambda _, index=index, objs=objs: lambda: index.lookup(objs),
        (len(objs),),
        **COLUMN_TIMING,
    )
    # The same loop on one address: the call without the memory it misses.
    measure(
        res,
        op,
        "pytarn get, one address",
        "[index.get(a) for a in [addrs[0]] * n]",
        lambda _, index=index, same=[objs[0]] * len(objs): lambda: [index.get(a) for a in same],
        (len(objs),),
        **COLUMN_TIMING,
    )
    res.checks.append(
        f"a loop of get() gives lookup()'s positions on {len(objs):,} addresses: "
        f"{'yes' if [index.get(a) for a in objs] == positions[: len(objs)].tolist() else 'NO'}"
    )
    del index, objs, positions, values

    measure_label_job(res, pytarn, pytricia, np, pa, pc, quick)


def measure_label_job(
    res: Results, pytarn: Any, pytricia: Any, np: Any, pa: Any, pc: Any, quick: bool
) -> None:
    """An analyst's job end to end: hits per origin label of a column of addresses.

    Both sides start from what the analyst has: an Arrow string column and
    the table's prefix and label texts, and both build their structure.
    """
    op = OP_JOB
    n = JOB_ADDRESSES // 10 if quick else JOB_ADDRESSES
    rng = random.Random(SEED)
    table = import_tablegen().generate_table("v4", JOB_PREFIXES)
    labels = [f"AS{64496 + rng.randrange(JOB_LABELS)}" for _ in table]
    nets, lens = table_values(np, table)
    col = text_column(np, pa, pc, column_values(np, nets, lens, n, SEED + 1))

    def with_pytarn() -> dict[str, int]:
        # The table as text straight into the index; the labels as Arrow
        # dictionary codes, so no Python object is made per prefix or row.
        index = pytarn.PrefixIndex.from_strings(table)
        encoded = pa.array(labels).dictionary_encode()
        label_of = np.asarray(encoded.indices)
        positions = np.asarray(index.lookup_array(pytarn.AddressArray(col)))
        counts = np.bincount(label_of[positions[positions >= 0]], minlength=len(encoded.dictionary))
        names = encoded.dictionary.to_pylist()
        return {names[k]: int(counts[k]) for k in np.flatnonzero(counts)}

    def with_pytricia() -> dict[str, int]:
        trie = pytricia.PyTricia(32)
        for prefix, label in zip(table, labels):
            trie[prefix] = label
        counts = Counter(map(trie.get, col.to_pylist()))
        counts.pop(None, None)
        return counts

    measure(
        res,
        op,
        "pytarn",
        "AddressArray(col), PrefixIndex.from_strings(table), lookup_array, bincount",
        lambda _: with_pytarn,
        (n,),
    )
    if pytricia is not None:
        measure(
            res,
            op,
            "pytricia",
            "trie[p] = label, Counter(map(trie.get, col.to_pylist()))",
            lambda _: with_pytricia,
            (n,),
        )
        res.checks.append(
            f"hits per label over {n:,} addresses and {len(table):,} prefixes agree "
            f"with pytricia: {'yes' if with_pytarn() == with_pytricia() else 'NO'}"
        )


# --- reporting ---------------------------------------------------------------


@dataclass
class Target:
    what: str
    op: str
    ours: str
    peer: str
    want: float | None  # None: the ratio is shown without a target
    items: int | None = BATCH  # None: the one size a column row runs at
    # The ratio is ours / peer in time, wanted at most `want` (a binding beside
    # its core); otherwise peer / ours, wanted at least `want`.
    at_most: bool = False


TARGETS = [
    Target(
        "`IPv4Address(text)` vs `ipaddress.ip_address`",
        "parse IPv4 address strings",
        "pytarn",
        "ipaddress",
        15,
    ),
    Target(
        "`bulk_parse` vs `ipaddress.ip_address`",
        "parse IPv4 address strings",
        "pytarn bulk",
        "ipaddress",
        25,
    ),
    Target(
        "`bulk_aggregate` vs `ipaddress.collapse_addresses`",
        "aggregate IPv4 prefixes",
        "pytarn",
        "ipaddress",
        100,
    ),
    Target("`bulk_aggregate` vs aggregate6", "aggregate IPv4 prefixes", "pytarn", "aggregate6", 10),
    Target(
        "LPM from strings vs pytricia",
        "longest-prefix match, from strings",
        "pytarn",
        "pytricia",
        3,
    ),
    Target(
        "`AddressArray(arrow_col)`, time over the core's `tarn_bulk_parse`",
        OP_ARROW_PARSE,
        "pytarn",
        "core",
        1.3,
        None,
        at_most=True,
    ),
    Target(
        "`AddressArray(arrow_col)` vs `ipaddress.ip_address`",
        OP_ARROW_PARSE,
        "pytarn",
        "ipaddress",
        100,
        None,
    ),
    Target(
        "`lookup_array`, time over the core's `tarn_index_lookup`",
        OP_COLUMN_LPM,
        "pytarn",
        "core",
        1.15,
        None,
        at_most=True,
    ),
    Target(
        "`from_packed` + `lookup_array`, time over `tarn_index_lookup`",
        OP_COLUMN_LPM,
        "pytarn packed",
        "core",
        None,
        None,
        at_most=True,
    ),
    Target(
        "`lookup_packed` of the packed buffer, time over `tarn_index_lookup`",
        OP_COLUMN_LPM,
        "pytarn in place",
        "core",
        None,
        None,
        at_most=True,
    ),
    Target(
        "`lookup_array` on two threads vs one, throughput",
        OP_THREADS,
        "pytarn 2 threads",
        "pytarn 1 thread",
        1.8,
        None,
    ),
    Target("hits per label, column in, vs pytricia", OP_JOB, "pytarn", "pytricia", 20, None),
    Target(
        "a loop of `idx.get(a)`, time over one batched `idx.lookup`",
        OP_SINGLE,
        "pytarn get",
        "pytarn batched",
        2.5,
        None,
        at_most=True,
    ),
    Target(
        "`pyarrow.array(addrs)` vs `str(ipaddress)`",
        OP_ARROW_FORMAT,
        "pytarn",
        "ipaddress",
        50,
        None,
    ),
]


def target_ratio(res: Results, t: Target) -> tuple[float, int] | None:
    """The measured ratio of a target, and the items it was measured on."""
    a, b = res.find(t.op, t.ours, t.items), res.find(t.op, t.peer, t.items)
    if a is None or b is None:
        return None
    got = a.ns_per_item / b.ns_per_item if t.at_most else b.ns_per_item / a.ns_per_item
    return got, a.items


def pytarn_reference(res: Results, op: str, items: int) -> Row | None:
    """The pytarn row the peers of an operation are compared with."""
    return res.find(op, "pytarn", items) or res.find(op, "pytarn bulk", items)


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}, {platform.system()}"


def versions() -> str:
    from importlib.metadata import PackageNotFoundError, version

    out = []
    for dist in ("pytarn", "netaddr", "pytricia", "py-radix", "aggregate6", "numpy", "pyarrow"):
        try:
            out.append(f"{dist} {version(dist)}")
        except PackageNotFoundError:
            out.append(f"{dist} (from build tree)" if dist == "pytarn" else f"{dist} (missing)")
    return ", ".join(out)


def fmt_time(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    return f"{seconds * 1e3:.1f} ms"


def results_table(res: Results) -> list[str]:
    lines = [
        "| Operation | Items | Library | Code | Time | ns/item | pytarn faster by |",
        "|---|---:|---|---|---:|---:|---:|",
    ]
    for r in res.rows:
        ref = pytarn_reference(res, r.op, r.items)
        speed = ""
        if ref is not None and not r.lib.startswith("pytarn"):
            speed = f"{r.ns_per_item / ref.ns_per_item:.1f}x"
        scaled = f" (scaled from {r.measured:,})" if r.scaled else ""
        lines.append(
            f"| {r.op} | {r.items:,} | {r.lib} | `{r.call}` | {fmt_time(r.seconds)}{scaled} "
            f"| {r.ns_per_item:,.0f} | {speed} |"
        )
    return lines


def targets_table(res: Results) -> list[str]:
    lines = ["| Target | Items | Wanted | Measured | Met |", "|---|---:|---:|---:|---|"]
    for t in TARGETS:
        wanted = "-" if t.want is None else f"{'≤' if t.at_most else '≥'} {t.want:g}x"
        got = target_ratio(res, t)
        if got is None:
            lines.append(f"| {t.what} | | {wanted} | not run | - |")
            continue
        value, items = got
        if t.want is None:
            met = "no target"
        elif t.at_most:
            met = "yes" if value <= t.want else f"no, {value / t.want:.2f}x over"
        else:
            met = "yes" if value >= t.want else f"no, {t.want / value:.1f}x short"
        lines.append(
            f"| {t.what} | {items:,} | {wanted} | {value:.{2 if t.at_most else 1}f}x | {met} |"
        )
    mem = {m["lib"]: m for m in res.memory}
    if "pytarn" in mem:
        prefixes = f"{mem['pytarn']['prefixes']:,}"
        ours = mem["pytarn"]["bytes"] / mem["pytarn"]["prefixes"]
        lines.append(
            f"| index bytes per prefix | {prefixes} | ≤ 64 | {ours:.1f} | "
            f"{'yes' if ours <= 64 else 'no'} |"
        )
        if "pytricia" in mem:
            share = mem["pytarn"]["bytes"] / mem["pytricia"]["bytes"]
            lines.append(
                f"| index memory vs pytricia | {prefixes} | ≤ 0.5 | {share:.2f} | "
                f"{'yes' if share <= 0.5 else 'no'} |"
            )
    return lines


def memory_table(res: Results) -> list[str]:
    lines = ["| Library | Prefixes | Resident growth | Bytes per prefix |", "|---|---:|---:|---:|"]
    for m in res.memory:
        lines.append(
            f"| {m['lib']} | {m['prefixes']:,} | {m['bytes'] / 2**20:.1f} MiB | "
            f"{m['bytes'] / m['prefixes']:.1f} |"
        )
    return lines


def write_chart(res: Results, path: Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception as e:
        print(f"no chart: matplotlib unavailable ({e})")
        return False
    # The 100k-item rows, and the column rows at the one size they run.
    charted = [r for r in res.rows if r.items == BATCH or r.op in COLUMN_OPS]
    ops = list(dict.fromkeys(r.op for r in charted))
    libs = list(dict.fromkeys(r.lib for r in charted))
    cmap = plt.get_cmap("tab10")
    color = {lib: cmap(i % 10) for i, lib in enumerate(libs)}
    # One group of bars per operation, only the libraries that ran it, each
    # bar labelled with its library and time so no legend is needed.
    ys, xs, names, colors, ticks, tick_labels = [], [], [], [], [], []
    y = 0.0
    for op in ops:
        rows = [r for r in charted if r.op == op]
        tick_labels.append(op if rows[0].items == BATCH else f"{op}, {rows[0].items / 1e6:g}M")
        first = y
        for r in rows:
            ys.append(y)
            xs.append(r.ns_per_item)
            names.append(r.lib)
            colors.append(color[r.lib])
            y += 1
        ticks.append((first + y - 1) / 2)
        y += 0.8
    fig, ax = plt.subplots(figsize=(11, 0.32 * y + 1.4))
    ax.barh(ys, xs, height=0.85, color=colors)
    for yy, xx, name in zip(ys, xs, names):
        ax.text(xx * 1.06, yy, f"{name}  {xx:,.0f} ns", va="center", fontsize=8)
    ax.set_yticks(ticks)
    ax.set_yticklabels(tick_labels)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlim(min(xs) / 2, max(xs) * 12)
    ax.set_xlabel(
        "time per item, batches of 100k items or the column size shown"
        " (log scale, shorter is faster)"
    )
    ax.set_title("pytarn beside its Python peers")
    ax.grid(axis="x", which="major", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def report(res: Results, quick: bool, out_md: Path, out_png: Path) -> None:
    header = [
        "# pytarn beside its Python peers",
        "",
        "Made by `python3 benchmarks/compare.py`; rerun it to refresh this page.",
        "",
        f"- Machine: {machine()}",
        f"- Versions: {versions()}",
        "- Inputs: the synthetic routing tables of benchmarks/tablegen.py"
        + (" (reduced: --quick)" if quick else "")
        + " and IPv4 addresses half inside table prefixes, half uniformly random.",
        "- Times are the best of several runs in CPU time of the (single-threaded) process, so"
        " that waiting for a core on a shared machine does not count; the garbage collector is"
        " off during each run.",
        "- Rows marked *scaled* ran 100k items (the column rows' peers: 200k) and report the time"
        " per item times the row's item count: the pure-Python peers are slow enough that 1M"
        " items would stretch the run.",
        "- The column rows take one column of IPv4 addresses (an Arrow string array, or packed"
        " network-order bytes) and set the binding beside the core's own C function called"
        " through ctypes on the module's shared object, with its inputs (the `const char *`"
        " array, the `tarn_addr_t` records, the output arrays) made outside the timed region."
        " The two-thread row and its one-thread peer are the best wall-clock times of several"
        " runs: on a shared two-core machine they vary with the other work on it.",
        "- The last column divides the peer's time per item by that of the first pytarn row of the"
        f" same operation and size: {TARGETS_NOTE}.",
    ]
    if res.skipped:
        header.append("- Skipped: " + "; ".join(f"{k} ({v})" for k, v in res.skipped.items()))
    body = [
        "",
        "## Headline ratios",
        "",
        *targets_table(res),
        "",
        "## All measurements",
        "",
        *results_table(res),
        "",
        "## Memory of the longest-prefix-match structure",
        "",
        "Growth of a child process's resident size while it builds the structure over the"
        " whole IPv4 table (after freeing its inputs and trimming the allocator). pytricia"
        " stores one shared value object for every prefix, so only the trie is counted.",
        "",
        *memory_table(res),
        "",
        "## Cross-checks",
        "",
        *[f"- {c}" for c in res.checks],
        "",
    ]
    chart = write_chart(res, out_png)
    if chart:
        body += ["## Chart", "", f"![time per item, log scale]({out_png.name})", ""]
    text = "\n".join(header + body)
    out_md.write_text(text)
    print()
    print(text)
    # The README quotes the published page: a trial run, or one written
    # elsewhere, leaves it alone.
    if not quick and out_md.resolve() == (ROOT / "docs" / "benchmarks.md").resolve():
        update_tour(res)


def tour_table(res: Results) -> list[str]:
    """The few figures a reader of the README wants, as a table."""
    lines = ["| Operation, 100k items | pytarn | Peer | pytarn faster by |", "|---|---:|---:|---:|"]
    for t in TARGETS:
        a, b = res.find(t.op, t.ours, BATCH), res.find(t.op, t.peer, BATCH)
        if t.items != BATCH or a is None or b is None:
            continue
        what = t.what.replace(" vs ", " vs. ")
        lines.append(
            f"| {what} | {a.ns_per_item:,.0f} ns | {b.ns_per_item:,.0f} ns "
            f"| {b.ns_per_item / a.ns_per_item:.0f}x |"
        )
    mem = {m["lib"]: m for m in res.memory}
    if "pytarn" in mem and "pytricia" in mem:
        ours = mem["pytarn"]["bytes"] / mem["pytarn"]["prefixes"]
        theirs = mem["pytricia"]["bytes"] / mem["pytricia"]["prefixes"]
        lines.append(
            f"| `PrefixIndex` memory vs. pytricia, per prefix | {ours:.0f} B | {theirs:.0f} B "
            f"| {theirs / ours:.1f}x smaller |"
        )
    return lines


def update_tour(res: Results) -> None:
    """Refresh the figures between the markers of the README's tour."""
    tour = ROOT / "README.md"
    begin, end = "<!-- benchmarks:begin -->", "<!-- benchmarks:end -->"
    if not tour.exists():
        return
    text = tour.read_text()
    if begin not in text or end not in text:
        return
    head, rest = text.split(begin, 1)
    _, tail = rest.split(end, 1)
    block = "\n".join(
        [
            begin,
            f"Time per item in one run on {machine()}, against the Python libraries used for the"
            " same jobs (`python3 benchmarks/compare.py`; all figures and a chart in"
            " docs/benchmarks.md):",
            "",
            *tour_table(res),
            end,
        ]
    )
    tour.write_text(head + block + tail)


# --- entry -------------------------------------------------------------------


def main() -> int:
    ap = argparse.ArgumentParser(description="pytarn beside its Python peers")
    ap.add_argument(
        "--quick", action="store_true", help="smaller tables and batches, for a trial run"
    )
    ap.add_argument(
        "--venv", default=str(DEFAULT_VENV), help="environment to install the peers into"
    )
    ap.add_argument("--use-build", metavar="DIR", help="use the pytarn module built in DIR")
    ap.add_argument("--out", default=str(ROOT / "docs" / "benchmarks.md"))
    ap.add_argument("--in-venv", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--install-failed", default="", help=argparse.SUPPRESS)
    ap.add_argument("--memory-child", nargs=2, metavar=("LIB", "FILE"), help=argparse.SUPPRESS)
    args, _ = ap.parse_known_args()
    if args.memory_child:
        memory_child(*args.memory_child)
        return 0
    if not args.in_venv:
        passthrough = (["--quick"] if args.quick else []) + ["--out", str(Path(args.out).resolve())]
        return bootstrap(args, passthrough)
    started = time.perf_counter()
    res = run_all(args.quick, args.install_failed.split(","))
    out_md = Path(args.out)
    report(res, args.quick, out_md, out_md.with_suffix(".png"))
    print(f"\ntotal {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
