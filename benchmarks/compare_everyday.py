"""The everyday surface beside its peers: set algebra against netaddr's IPSet,
range summarising, exclusion and host iteration against `ipaddress`, and
covering queries against py-radix.

Called by compare.py (the rows join its tables and targets); the inputs are
made here, outside the timed regions, from one seeded generator.
"""

from __future__ import annotations

import ipaddress
import random
from typing import Any

from compare import Results, Target, measure

SEED = 20261209
SET_ADDRESSES = 850_000  # netaddr issue 152's list of addresses
SET_PREFIXES = 1_000_000  # prefixes in each operand of the set operations
RANGES = 100_000
STD_CAP = 10_000  # ipaddress's pure-Python loops run this many, scaled

OP_SET_BUILD = "build a set from IPv4 address strings"
OP_SET_UNION = "union of two IPv4 prefix sets"
OP_SET_INTERSECTION = "intersection of two IPv4 prefix sets"
OP_SET_DIFFERENCE = "difference of two IPv4 prefix sets"
OP_RANGE = "IPv4 range to its CIDR cover"
OP_EXCLUDE = "exclude a /32 from a /8, per network"
OP_HOSTS = "iterate hosts() of a /16, per address"
OP_COVERING = "covering prefixes of an IPv4 address"

TARGETS = [
    Target(
        "`PrefixSet(strs)` vs netaddr `IPSet(strs)`", OP_SET_BUILD, "pytarn", "netaddr", 100, None
    ),
    Target("`PrefixSet` union vs netaddr `IPSet`", OP_SET_UNION, "pytarn", "netaddr", 100, None),
    Target(
        "`PrefixSet` intersection vs netaddr `IPSet`",
        OP_SET_INTERSECTION,
        "pytarn",
        "netaddr",
        100,
        None,
    ),
    Target(
        "`PrefixSet` difference vs netaddr `IPSet`",
        OP_SET_DIFFERENCE,
        "pytarn",
        "netaddr",
        100,
        None,
    ),
    Target("`summarize_address_range` vs `ipaddress`", OP_RANGE, "pytarn", "ipaddress", 30, None),
    Target("`address_exclude` vs `ipaddress`", OP_EXCLUDE, "pytarn", "ipaddress", 10, None),
    Target("`hosts()` vs `ipaddress`", OP_HOSTS, "pytarn", "ipaddress", 10, None),
    Target(
        "`PrefixIndex.covering_many` vs py-radix `search_covering`",
        OP_COVERING,
        "pytarn",
        "py-radix",
        5,
        None,
    ),
]


def v4(a: int) -> str:
    return str(ipaddress.IPv4Address(a))


def random_prefixes(rng: random.Random, n: int, shortest: int = 8) -> list[str]:
    """Prefixes of /shortest to /32 with a routing-table-like weight on /24."""
    out = []
    for _ in range(n):
        length = 24 if rng.random() < 0.6 else rng.randint(shortest, 32)
        a = rng.getrandbits(32) & ~((1 << (32 - length)) - 1) & 0xFFFFFFFF
        out.append(f"{v4(a)}/{length}")
    return out


def measure_everyday(res: Results, quick: bool, v4_table: list[str]) -> None:
    """The rows; `v4_table` (the synthetic routing table) serves the covering queries."""
    import pytarn

    netaddr = None if "netaddr" in res.skipped else _try_import("netaddr")
    radix = None if "py-radix" in res.skipped else _try_import("radix")
    rng = random.Random(SEED)
    scale = 10 if quick else 1
    n_addrs, n_prefixes, n_ranges = SET_ADDRESSES // scale, SET_PREFIXES // scale, RANGES // scale

    print("everyday surface: sets, ranges, exclusion, hosts, covering", flush=True)
    addrs = [v4(rng.getrandbits(32)) for _ in range(n_addrs)]
    measure(
        res,
        OP_SET_BUILD,
        "pytarn",
        "PrefixSet(strs)",
        lambda n: lambda s=addrs[:n]: pytarn.PrefixSet(s),
        (n_addrs,),
    )
    column = pytarn.AddressArray(addrs)
    measure(
        res,
        OP_SET_BUILD,
        "pytarn column",
        "PrefixSet(AddressArray(strs))",
        lambda n: lambda c=column[:n]: pytarn.PrefixSet(c),
        (n_addrs,),
    )
    if netaddr:
        measure(
            res,
            OP_SET_BUILD,
            "netaddr",
            "IPSet(strs)",
            lambda n: lambda s=addrs[:n]: netaddr.IPSet(s),
            (n_addrs,),
            max_runs=2,
        )

    # Operands of about a million prefixes each after aggregation: with /8s
    # among them a random list would collapse to a few thousand.
    left, right = random_prefixes(rng, n_prefixes, 20), random_prefixes(rng, n_prefixes, 20)
    sets = (pytarn.PrefixSet(left), pytarn.PrefixSet(right))
    print(f"  set operands: {len(sets[0]):,} and {len(sets[1]):,} prefixes", flush=True)
    na_sets = (netaddr.IPSet(left), netaddr.IPSet(right)) if netaddr else None
    for op, fn in (
        (OP_SET_UNION, "__or__"),
        (OP_SET_INTERSECTION, "__and__"),
        (OP_SET_DIFFERENCE, "__sub__"),
    ):
        measure(
            res,
            op,
            "pytarn",
            f"a.{fn}(b)",
            lambda n, f=fn: lambda: getattr(sets[0], f)(sets[1]),
            (n_prefixes,),
        )
        if netaddr:

            def make(n: int, f: str = fn) -> Any:
                assert na_sets is not None
                return lambda: getattr(na_sets[0], f)(na_sets[1])

            measure(res, op, "netaddr", f"IPSet.{fn}", make, (n_prefixes,), max_runs=2)
    if na_sets:
        got = [str(n) for n in sets[0] - sets[1]][:1000]
        want = [str(n) for n in (na_sets[0] - na_sets[1]).iter_cidrs()][:1000]
        res.checks.append(
            f"PrefixSet difference equals netaddr's on its first 1000 prefixes: {got == want}"
        )

    ranges = []
    for _ in range(n_ranges):
        a, b = sorted((rng.getrandbits(32), rng.getrandbits(32)))
        ranges.append(
            (
                pytarn.IPv4Address(a),
                pytarn.IPv4Address(b),
                ipaddress.IPv4Address(a),
                ipaddress.IPv4Address(b),
            )
        )
    measure(
        res,
        OP_RANGE,
        "pytarn",
        "summarize_address_range(a, b)",
        lambda n: lambda r=ranges[:n]: [pytarn.summarize_address_range(a, b) for a, b, _, _ in r],
        (n_ranges,),
    )
    measure(
        res,
        OP_RANGE,
        "ipaddress",
        "list(summarize_address_range(a, b))",
        lambda n: (
            lambda r=ranges[:n]: [list(ipaddress.summarize_address_range(a, b)) for _, _, a, b in r]
        ),
        (n_ranges,),
        cap=STD_CAP,
    )

    # Per network produced: a /32 out of a /8 leaves 24 networks.
    outer, inner = pytarn.IPv4Network("10.0.0.0/8"), pytarn.IPv4Network("10.1.2.3/32")
    s_outer, s_inner = ipaddress.IPv4Network("10.0.0.0/8"), ipaddress.IPv4Network("10.1.2.3/32")
    measure(
        res,
        OP_EXCLUDE,
        "pytarn",
        "list(net.address_exclude(host))",
        lambda n: lambda: [list(outer.address_exclude(inner)) for _ in range(n // 24)],
        (24 * 10_000 // scale,),
    )
    measure(
        res,
        OP_EXCLUDE,
        "ipaddress",
        "list(net.address_exclude(host))",
        lambda n: lambda: [list(s_outer.address_exclude(s_inner)) for _ in range(n // 24)],
        (24 * 10_000 // scale,),
        cap=24 * 1000,
    )

    net16, s_net16 = pytarn.IPv4Network("10.1.0.0/16"), ipaddress.IPv4Network("10.1.0.0/16")
    hosts = 65534
    measure(
        res,
        OP_HOSTS,
        "pytarn",
        "for a in net.hosts()",
        lambda n: lambda: [None for _ in range(n // hosts) for _ in net16.hosts()],
        (hosts * 10 // scale,),
    )
    measure(
        res,
        OP_HOSTS,
        "ipaddress",
        "for a in net.hosts()",
        lambda n: lambda: [None for _ in range(max(1, n // hosts)) for _ in s_net16.hosts()],
        (hosts * 10 // scale,),
        cap=hosts,
    )

    table = v4_table
    index = pytarn.PrefixIndex([pytarn.IPv4Network(p) for p in table])
    # Both sides take text, as a log line gives it.
    texts = [v4(rng.getrandbits(32)) for _ in range(100_000 // scale)]
    # The batched form first (the row the target reads, as the other
    # lookups' targets read the batched calls), then one call per address.
    measure(
        res,
        OP_COVERING,
        "pytarn",
        "idx.covering_many(strs)",
        lambda n: lambda s=texts[:n]: index.covering_many(s),
        (len(texts),),
    )
    measure(
        res,
        OP_COVERING,
        "pytarn loop",
        "[idx.covering(s) for s in strs]",
        lambda n: lambda s=texts[:n]: [index.covering(x) for x in s],
        (len(texts),),
    )
    if radix:
        tree = radix.Radix()
        for p in table:
            tree.add(p)
        measure(
            res,
            OP_COVERING,
            "py-radix",
            "[tree.search_covering(s) for s in strs]",
            lambda n: lambda s=texts[:n]: [tree.search_covering(x) for x in s],
            (len(texts),),
        )
        same = all(
            [str(n) for n, _ in index.covering(s)] == [x.prefix for x in tree.search_covering(s)]
            for s in texts[:2000]
        )
        res.checks.append(f"covering equals py-radix search_covering on 2000 addresses: {same}")
    batched = index.covering_many(texts[:2000]) == [index.covering(x) for x in texts[:2000]]
    res.checks.append(f"covering_many equals one covering call per address: {batched}")


def _try_import(name: str) -> Any:
    try:
        return __import__(name)
    except Exception:
        return None
