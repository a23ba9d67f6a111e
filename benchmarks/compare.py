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
1M IPv4 addresses, half inside table prefixes and half uniformly random.

Every operation runs on batches of 100k items for the headline ratios, and on
1M items where memory traffic matters.  A peer too slow to run 1M items in
reasonable time runs 100k and its time is scaled per item; the output marks
such rows.  Times are the best of several runs, in CPU time of the process, with the
garbage collector off during each run (as timeit does).  The memory of the lookup structures is
the growth of a child process's resident size while it builds one.

Writes docs/benchmarks.md and docs/benchmarks.png and prints the same table.
Not part of the test run.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import json
import os
import platform
import random
import subprocess
import sys
import time
import venv
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_VENV = ROOT / "build" / "compare-venv"
PEER_PACKAGES = ["netaddr", "pytricia", "py-radix", "aggregate6"]
SEED = 20251009
BATCH = 100_000
BIG = 1_000_000

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
    failed = [pkg for pkg in PEER_PACKAGES if not pip(py, pkg)]
    if not pip(py, "matplotlib"):
        failed.append("matplotlib")
    site = subprocess.run(
        [str(py), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
        capture_output=True, text=True, check=True,
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
    cmd = [str(py), str(Path(__file__).resolve()), "--in-venv", "--install-failed", ",".join(failed)]
    return subprocess.run(cmd + passthrough, check=False).returncode


# --- inputs ------------------------------------------------------------------


def load_tables(quick: bool) -> tuple[list[str], list[str]]:
    sys.path.insert(0, str(ROOT / "benchmarks"))
    import tablegen  # the core benchmarks' table generator

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

    def find(self, op: str, lib: str, items: int = BATCH) -> Row | None:
        for r in self.rows:
            if r.op == op and r.lib == lib and r.items == items:
                return r
        return None


def best_time(fn: Callable[[], Any], min_total: float = 0.3, max_runs: int = 5) -> float:
    """Best of up to `max_runs` runs, stopping once `min_total` seconds were spent.

    Times are the process's CPU time, not wall time: the machines this runs
    on are often shared, and CPU time does not count the waits for a core,
    which would otherwise swamp the differences being measured.  Everything
    measured runs on one thread.
    """
    best = float("inf")
    spent = 0.0
    runs = 0
    while runs < max_runs and (runs < 2 or spent < min_total):
        gc.collect()
        gc.disable()
        try:
            t0 = time.process_time()
            fn()
            dt = time.process_time() - t0
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
    make: Callable[[int], Callable[[], Any]],
    sizes: tuple[int, ...],
    cap: int | None = None,
) -> None:
    """Time make(n)() for each size; above `cap`, run `cap` items and scale."""
    if lib in res.skipped:
        return
    for n in sizes:
        run_n = min(n, cap) if cap else n
        try:
            fn = make(run_n)
        except Exception as e:  # noqa: BLE001 - a peer's failure is reported, not fatal
            res.skipped.setdefault(lib, f"{op}: {type(e).__name__}: {e}")
            return
        t = best_time(fn)
        res.rows.append(Row(op, lib, call, n, t * n / run_n, run_n))
        r = res.rows[-1]
        tag = f" (measured {run_n:,}, scaled)" if r.scaled else ""
        print(f"  {op:38} {lib:10} {n:>9,} {r.seconds * 1e3:10.1f} ms {r.ns_per_item:9.0f} ns/item{tag}",
              flush=True)


def import_peer(res: Results, name: str, module: str) -> Any:
    try:
        return importlib.import_module(module)
    except Exception as e:  # noqa: BLE001
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
            capture_output=True, text=True, check=False,
        )
        if done.returncode != 0:
            res.skipped.setdefault(lib, f"memory child failed: {done.stderr.strip()[-200:]}")
            continue
        m = json.loads(done.stdout)
        res.memory.append(m)
        print(f"  memory of the lookup structure   {lib:10} {m['bytes'] / 2**20:8.1f} MiB "
              f"{m['bytes'] / m['prefixes']:6.1f} B/prefix", flush=True)


# --- the operations ----------------------------------------------------------


def run_all(quick: bool, install_failed: list[str]) -> Results:
    import ipaddress

    import pytarn

    res = Results()
    for pkg in install_failed:
        if pkg and pkg != "matplotlib":
            res.skipped[pkg] = "pip install failed"
    netaddr = import_peer(res, "netaddr", "netaddr") if "netaddr" not in res.skipped else None
    pytricia = import_peer(res, "pytricia", "pytricia") if "pytricia" not in res.skipped else None
    radix = import_peer(res, "py-radix", "radix") if "py-radix" not in res.skipped else None
    aggregate6 = import_peer(res, "aggregate6", "aggregate6") if "aggregate6" not in res.skipped else None

    print("generating inputs ...", flush=True)
    rng = random.Random(SEED)
    v4_table, v6_table = load_tables(quick)
    big = BATCH * 2 if quick else BIG
    addr4 = make_v4_addresses(v4_table, big, rng)
    addr6 = make_v6_addresses(v6_table, BATCH, rng)
    sample4 = rng.sample(v4_table, BATCH)
    print(f"  IPv4 table {len(v4_table):,} prefixes, IPv6 table {len(v6_table):,}, "
          f"{len(addr4):,} IPv4 addresses", flush=True)
    sizes = (BATCH, big)
    slow_cap = BATCH  # pure-Python peers run 100k items and are scaled

    # Objects made once, outside the timed regions.
    P4 = pytarn.IPv4Address
    tarn_addrs = pytarn.bulk_parse(addr4)
    std_addrs = [ipaddress.IPv4Address(s) for s in addr4[:BATCH]]
    na_addrs = [netaddr.IPAddress(s) for s in addr4[:BATCH]] if netaddr else []

    print("parsing and formatting", flush=True)
    op = "parse IPv4 address strings"
    measure(res, op, "pytarn", "[IPv4Address(s) for s in strs]",
            lambda n: (lambda s=addr4[:n]: [P4(x) for x in s]), sizes)
    measure(res, op, "pytarn bulk", "bulk_parse(strs)",
            lambda n: (lambda s=addr4[:n]: pytarn.bulk_parse(s)), sizes)
    measure(res, op, "ipaddress", "[ip_address(s) for s in strs]",
            lambda n: (lambda s=addr4[:n]: [ipaddress.ip_address(x) for x in s]), sizes, slow_cap)
    if netaddr:
        measure(res, op, "netaddr", "[IPAddress(s) for s in strs]",
                lambda n: (lambda s=addr4[:n]: [netaddr.IPAddress(x) for x in s]), sizes, slow_cap)

    op = "parse IPv6 address strings"
    P6 = pytarn.IPv6Address
    measure(res, op, "pytarn", "[IPv6Address(s) for s in strs]",
            lambda n: (lambda s=addr6[:n]: [P6(x) for x in s]), (BATCH,))
    measure(res, op, "pytarn bulk", "bulk_parse(strs)",
            lambda n: (lambda s=addr6[:n]: pytarn.bulk_parse(s)), (BATCH,))
    measure(res, op, "ipaddress", "[ip_address(s) for s in strs]",
            lambda n: (lambda s=addr6[:n]: [ipaddress.ip_address(x) for x in s]), (BATCH,))
    if netaddr:
        measure(res, op, "netaddr", "[IPAddress(s) for s in strs]",
                lambda n: (lambda s=addr6[:n]: [netaddr.IPAddress(x) for x in s]), (BATCH,))

    op = "format IPv4 addresses"
    measure(res, op, "pytarn", "list(map(str, addrs))",
            lambda n: (lambda a=tarn_addrs[:n]: list(map(str, a))), sizes)
    measure(res, op, "ipaddress", "list(map(str, addrs))",
            lambda n: (lambda a=std_addrs[:n]: list(map(str, a))), sizes, slow_cap)
    if netaddr:
        measure(res, op, "netaddr", "list(map(str, addrs))",
                lambda n: (lambda a=na_addrs[:n]: list(map(str, a))), sizes, slow_cap)

    print("networks", flush=True)
    op = "construct IPv4 networks from text"
    N4 = pytarn.IPv4Network
    measure(res, op, "pytarn", "[IPv4Network(s) for s in strs]",
            lambda n: (lambda s=sample4[:n]: [N4(x) for x in s]), (BATCH,))
    measure(res, op, "ipaddress", "[ip_network(s) for s in strs]",
            lambda n: (lambda s=sample4[:n]: [ipaddress.ip_network(x) for x in s]), (BATCH,))
    if netaddr:
        measure(res, op, "netaddr", "[IPNetwork(s) for s in strs]",
                lambda n: (lambda s=sample4[:n]: [netaddr.IPNetwork(x) for x in s]), (BATCH,))

    op = "containment in one network"
    tnet, snet = N4("128.0.0.0/2"), ipaddress.IPv4Network("128.0.0.0/2")
    measure(res, op, "pytarn", "[a in net for a in addrs]",
            lambda n: (lambda a=tarn_addrs[:n]: [x in tnet for x in a]), sizes)
    measure(res, op, "pytarn bulk", "bulk_contains(addrs, [net])",
            lambda n: (lambda a=tarn_addrs[:n]: pytarn.bulk_contains(a, [tnet])), sizes)
    measure(res, op, "ipaddress", "[a in net for a in addrs]",
            lambda n: (lambda a=std_addrs[:n]: [x in snet for x in a]), sizes, slow_cap)
    if netaddr:
        nnet = netaddr.IPNetwork("128.0.0.0/2")
        measure(res, op, "netaddr", "[a in net for a in addrs]",
                lambda n: (lambda a=na_addrs[:n]: [x in nnet for x in a]), sizes, slow_cap)

    op = "sort IPv4 networks"
    tarn_sample = [N4(x) for x in sample4]
    std_sample = [ipaddress.IPv4Network(x) for x in sample4]
    measure(res, op, "pytarn", "bulk_sort(nets, SORT_NETWORK_ASC)",
            lambda n: (lambda a=tarn_sample[:n]: pytarn.bulk_sort(a, pytarn.SORT_NETWORK_ASC)), (BATCH,))
    measure(res, op, "ipaddress", "sorted(nets)",
            lambda n: (lambda a=std_sample[:n]: sorted(a)), (BATCH,))
    if netaddr:
        na_sample = [netaddr.IPNetwork(x) for x in sample4]
        measure(res, op, "netaddr", "sorted(nets)",
                lambda n: (lambda a=na_sample[:n]: sorted(a)), (BATCH,))

    print("aggregation", flush=True)
    op = "aggregate IPv4 prefixes"
    measure(res, op, "pytarn", "bulk_aggregate(nets)",
            lambda n: (lambda a=tarn_sample[:n]: pytarn.bulk_aggregate(a)), (BATCH,))
    measure(res, op, "pytarn text", "text in, text out",
            lambda n: (lambda s=sample4[:n]: list(map(str, pytarn.bulk_aggregate(list(map(N4, s)))))),
            (BATCH,))
    measure(res, op, "ipaddress", "list(collapse_addresses(nets))",
            lambda n: (lambda a=std_sample[:n]: list(ipaddress.collapse_addresses(a))), (BATCH,))
    if netaddr:
        measure(res, op, "netaddr", "cidr_merge(nets)",
                lambda n: (lambda a=na_sample[:n]: netaddr.cidr_merge(a)), (BATCH,))
    if aggregate6:
        measure(res, op, "aggregate6", "aggregate(strs)",
                lambda n: (lambda s=sample4[:n]: aggregate6.aggregate(s)), (BATCH,))

    op = "aggregate the full tables"
    full = len(v4_table) + len(v6_table)
    tarn_v4 = list(map(N4, v4_table))
    tarn_v6 = list(map(pytarn.IPv6Network, v6_table))
    measure(res, op, "pytarn", "bulk_aggregate per family",
            lambda n: (lambda: (pytarn.bulk_aggregate(tarn_v4), pytarn.bulk_aggregate(tarn_v6))),
            (full,))
    if aggregate6 and not quick:
        measure(res, op, "aggregate6", "aggregate(strs)",
                lambda n: (lambda: aggregate6.aggregate(v4_table + v6_table)), (full,))
    check_aggregation(res, pytarn, tarn_sample, std_sample)
    del tarn_v6

    print("longest-prefix match against the IPv4 table", flush=True)
    measure_lpm(res, pytarn, pytricia, radix, v4_table, tarn_v4, addr4, sizes)
    del tarn_v4

    print("memory of the lookup structures", flush=True)
    tmpdir = ROOT / "build" / "compare-tmp"
    tmpdir.mkdir(parents=True, exist_ok=True)
    measure_memory(res, v4_table, tmpdir)
    return res


def measure_lpm(res, pytarn, pytricia, radix, table, tarn_nets, addr4, sizes) -> None:
    op_build = "build LPM structure (IPv4 table)"
    op = "longest-prefix match, from strings"
    n_table = len(table)
    index_holder: dict[str, Any] = {}

    def build_pytarn():
        index_holder["pytarn"] = pytarn.PrefixIndex(list(map(pytarn.IPv4Network, table)))

    t = best_time(build_pytarn, max_runs=2)
    res.rows.append(Row(op_build, "pytarn", "PrefixIndex(list(map(IPv4Network, strs)))", n_table, t, n_table))
    index = index_holder["pytarn"]
    measure(res, op, "pytarn", "index.lookup(bulk_parse(strs))",
            lambda n: (lambda s=addr4[:n]: index.lookup(pytarn.bulk_parse(s))), sizes)

    if pytricia is not None:
        def build_tricia():
            t = pytricia.PyTricia(32)
            for i, p in enumerate(table):
                t[p] = i
            index_holder["pytricia"] = t

        t = best_time(build_tricia, max_runs=2)
        res.rows.append(Row(op_build, "pytricia", "t[p] = i for each prefix", n_table, t, n_table))
        tri = index_holder["pytricia"]
        get = tri.get
        measure(res, op, "pytricia", "[t.get(s) for s in strs]",
                lambda n: (lambda s=addr4[:n]: [get(x) for x in s]), sizes)
        check_lpm(res, pytarn, index, tri, table, addr4[:20000])
        del index_holder["pytricia"], tri, get
    if radix is not None:
        def build_radix():
            rt = radix.Radix()
            for p in table:
                rt.add(p)
            index_holder["py-radix"] = rt

        t = best_time(build_radix, max_runs=2)
        res.rows.append(Row(op_build, "py-radix", "rt.add(p) for each prefix", n_table, t, n_table))
        rt = index_holder["py-radix"]
        best = rt.search_best
        measure(res, op, "py-radix", "[rt.search_best(s) for s in strs]",
                lambda n: (lambda s=addr4[:n]: [best(x) for x in s]), sizes)
        del index_holder["py-radix"], rt, best
    for r in res.rows:
        if r.op == op_build:
            print(f"  {op_build:38} {r.lib:10} {r.items:>9,} {r.seconds * 1e3:10.1f} ms", flush=True)


def check_lpm(res: Results, pytarn, index, tri, table, addrs) -> None:
    """The two libraries must agree before their speeds are compared."""
    hits = index.lookup(pytarn.bulk_parse(addrs))
    mismatches = 0
    for s, h in zip(addrs, hits):
        theirs = tri.get_key(s)
        ours = None if h < 0 else str(pytarn.IPv4Network(table[h]))
        if ours != theirs:
            mismatches += 1
    res.checks.append(f"longest-prefix match agrees with pytricia on {len(addrs) - mismatches:,} "
                      f"of {len(addrs):,} addresses")


def check_aggregation(res: Results, pytarn, tarn_nets, std_nets) -> None:
    import ipaddress

    ours = [str(n) for n in pytarn.bulk_aggregate(tarn_nets)]
    theirs = [str(n) for n in ipaddress.collapse_addresses(std_nets)]
    res.checks.append(f"aggregation of {len(tarn_nets):,} prefixes agrees with ipaddress: "
                      f"{'yes' if ours == theirs else 'NO'} ({len(ours):,} prefixes)")


# --- reporting ---------------------------------------------------------------


@dataclass
class Target:
    what: str
    op: str
    ours: str
    peer: str
    want: float


TARGETS = [
    Target("`IPv4Address(text)` vs `ipaddress.ip_address`", "parse IPv4 address strings", "pytarn", "ipaddress", 15),
    Target("`bulk_parse` vs `ipaddress.ip_address`", "parse IPv4 address strings", "pytarn bulk", "ipaddress", 25),
    Target("`bulk_aggregate` vs `ipaddress.collapse_addresses`", "aggregate IPv4 prefixes", "pytarn", "ipaddress", 100),
    Target("`bulk_aggregate` vs aggregate6", "aggregate IPv4 prefixes", "pytarn", "aggregate6", 10),
    Target("LPM from strings vs pytricia", "longest-prefix match, from strings", "pytarn", "pytricia", 3),
]


def ratio(res: Results, op: str, ours: str, peer: str, items: int = BATCH) -> float | None:
    a, b = res.find(op, ours, items), res.find(op, peer, items)
    if a is None or b is None:
        return None
    return b.ns_per_item / a.ns_per_item


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
    for dist in ("pytarn", "netaddr", "pytricia", "py-radix", "aggregate6"):
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
        lines.append(f"| {r.op} | {r.items:,} | {r.lib} | `{r.call}` | {fmt_time(r.seconds)}{scaled} "
                     f"| {r.ns_per_item:,.0f} | {speed} |")
    return lines


def targets_table(res: Results) -> list[str]:
    lines = ["| Target (100k items) | Wanted | Measured | Met |", "|---|---:|---:|---|"]
    for t in TARGETS:
        got = ratio(res, t.op, t.ours, t.peer)
        if got is None:
            lines.append(f"| {t.what} | {t.want:g}x | not run | - |")
            continue
        met = "yes" if got >= t.want else f"no, {t.want / got:.1f}x short"
        lines.append(f"| {t.what} | ≥ {t.want:g}x | {got:.1f}x | {met} |")
    mem = {m["lib"]: m for m in res.memory}
    if "pytarn" in mem:
        ours = mem["pytarn"]["bytes"] / mem["pytarn"]["prefixes"]
        lines.append(f"| index bytes per prefix | ≤ 64 | {ours:.1f} | {'yes' if ours <= 64 else 'no'} |")
        if "pytricia" in mem:
            share = mem["pytarn"]["bytes"] / mem["pytricia"]["bytes"]
            lines.append(f"| index memory vs pytricia | ≤ 0.5 | {share:.2f} | "
                         f"{'yes' if share <= 0.5 else 'no'} |")
    return lines


def memory_table(res: Results) -> list[str]:
    lines = ["| Library | Prefixes | Resident growth | Bytes per prefix |", "|---|---:|---:|---:|"]
    for m in res.memory:
        lines.append(f"| {m['lib']} | {m['prefixes']:,} | {m['bytes'] / 2**20:.1f} MiB | "
                     f"{m['bytes'] / m['prefixes']:.1f} |")
    return lines


def write_chart(res: Results, path: Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception as e:  # noqa: BLE001
        print(f"no chart: matplotlib unavailable ({e})")
        return False
    ops: list[str] = []
    libs: list[str] = []
    for r in res.rows:
        if r.items == BATCH and r.op not in ops:
            ops.append(r.op)
        if r.items == BATCH and r.lib not in libs:
            libs.append(r.lib)
    cmap = plt.get_cmap("tab10")
    color = {lib: cmap(i % 10) for i, lib in enumerate(libs)}
    # One group of bars per operation, only the libraries that ran it, each
    # bar labelled with its library and time so no legend is needed.
    ys, xs, names, colors, ticks = [], [], [], [], []
    y = 0.0
    for op in ops:
        rows = [r for r in res.rows if r.op == op and r.items == BATCH]
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
    ax.set_yticklabels(ops)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlim(min(xs) / 2, max(xs) * 12)
    ax.set_xlabel("time per item, batches of 100k items (log scale, shorter is faster)")
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
        "- Rows marked *scaled* ran 100k items and report the time per item times the row's"
        " item count: the pure-Python peers are slow enough that 1M items would stretch the run.",
        "- The last column divides the peer's time per item by that of the first pytarn row of the"
        f" same operation and size: {TARGETS_NOTE}.",
    ]
    if res.skipped:
        header.append("- Skipped: " + "; ".join(f"{k} ({v})" for k, v in res.skipped.items()))
    body = ["", "## Headline ratios", "", *targets_table(res), "",
            "## All measurements", "", *results_table(res), "",
            "## Memory of the longest-prefix-match structure", "",
            "Growth of a child process's resident size while it builds the structure over the"
            " whole IPv4 table (after freeing its inputs and trimming the allocator). pytricia"
            " stores one shared value object for every prefix, so only the trie is counted.", "",
            *memory_table(res), "",
            "## Cross-checks", "", *[f"- {c}" for c in res.checks], ""]
    chart = write_chart(res, out_png)
    if chart:
        body += ["## Chart", "", f"![time per item, log scale]({out_png.name})", ""]
    text = "\n".join(header + body)
    out_md.write_text(text)
    print()
    print(text)
    update_tour(res)


def tour_table(res: Results) -> list[str]:
    """The few figures a reader of the README wants, as a table."""
    lines = ["| Operation, 100k items | pytarn | Peer | pytarn faster by |", "|---|---:|---:|---:|"]
    for t in TARGETS:
        a, b = res.find(t.op, t.ours, BATCH), res.find(t.op, t.peer, BATCH)
        if a is None or b is None:
            continue
        what = t.what.replace(" vs ", " vs. ")
        lines.append(f"| {what} | {a.ns_per_item:,.0f} ns | {b.ns_per_item:,.0f} ns "
                     f"| {b.ns_per_item / a.ns_per_item:.0f}x |")
    mem = {m["lib"]: m for m in res.memory}
    if "pytarn" in mem and "pytricia" in mem:
        ours = mem["pytarn"]["bytes"] / mem["pytarn"]["prefixes"]
        theirs = mem["pytricia"]["bytes"] / mem["pytricia"]["prefixes"]
        lines.append(f"| `PrefixIndex` memory vs. pytricia, per prefix | {ours:.0f} B | {theirs:.0f} B "
                     f"| {theirs / ours:.1f}x smaller |")
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
        [begin, f"Time per item in one run on {machine()}, against the Python libraries used for the"
         " same jobs (`python3 benchmarks/compare.py`; all figures and a chart in"
         " docs/benchmarks.md):", "", *tour_table(res), end]
    )
    tour.write_text(head + block + tail)


# --- entry -------------------------------------------------------------------


def main() -> int:
    ap = argparse.ArgumentParser(description="pytarn beside its Python peers")
    ap.add_argument("--quick", action="store_true", help="smaller tables and batches, for a trial run")
    ap.add_argument("--venv", default=str(DEFAULT_VENV), help="environment to install the peers into")
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
