#!/usr/bin/env python3
"""Deterministic synthetic routing tables for the index benchmarks.

Writes one prefix per line, shaped like a full Internet routing table:

  v4  about 1.04 million prefixes: some 60 % /24, most of the rest /16 to
      /23, a few /8 to /15; many more-specifics nested inside announced
      covering prefixes, and deaggregated blocks clustered in one region.
  v6  about 250 thousand prefixes: about half /48, many /32 to /44, a few
      /29 and shorter, inside the RIR blocks of 2000::/3.

The same seed and count always give the same table (standard library only,
no downloads).  Usage:

  python3 benchmarks/tablegen.py v4 OUT [--seed N] [--count N]
  python3 benchmarks/tablegen.py v6 OUT [--seed N] [--count N]

Importable: generate_table(version, count=None, seed=DEFAULT_SEED) returns
the list of prefix strings.
"""

from __future__ import annotations

import argparse
import bisect
import ipaddress
import random
import sys
from collections.abc import Callable, Sequence

# A prefix or a block of address space: (network as an integer, length).
Region = tuple[int, int]

DEFAULT_SEED = 1
DEFAULT_COUNT = {"v4": 1_040_000, "v6": 250_000}

# Share of each prefix length, roughly that of today's IPv4 table.
V4_LENGTHS = {
    8: 16,
    9: 13,
    10: 40,
    11: 110,
    12: 320,
    13: 650,
    14: 1300,
    15: 2300,
    16: 13500,
    17: 8500,
    18: 14500,
    19: 26000,
    20: 47000,
    21: 50000,
    22: 130000,
    23: 115000,
    24: 630000,
}

# The same for IPv6.
V6_LENGTHS = {
    19: 20,
    20: 60,
    22: 40,
    24: 120,
    26: 60,
    27: 80,
    28: 400,
    29: 5000,
    30: 1200,
    31: 1000,
    32: 31000,
    33: 3700,
    34: 3700,
    35: 2000,
    36: 7500,
    37: 1200,
    38: 2500,
    39: 2000,
    40: 12500,
    41: 1500,
    42: 3700,
    43: 1700,
    44: 15000,
    45: 2500,
    46: 6200,
    47: 5000,
    48: 125000,
    52: 300,
    56: 2000,
    60: 200,
    64: 800,
}

# First octets that carry unicast routes (no 0, 10, 127 or 224 and above).
V4_FIRST_OCTETS = [o for o in range(1, 224) if o not in (10, 127)]

# (block, length, weight): where IPv6 allocations come from.
V6_BLOCKS = [
    (0x2001 << 112, 16, 3),
    (0x2400 << 112, 12, 5),
    (0x2600 << 112, 12, 6),
    (0x2800 << 112, 12, 2),
    (0x2A00 << 112, 12, 7),
    (0x2A10 << 112, 12, 2),
    (0x2C00 << 112, 12, 1),
    (0x2402 << 112, 16, 1),
    (0x2602 << 112, 16, 1),
    (0x2620 << 112, 16, 1),
]


def _regions_v4() -> list[Region]:
    """The /8 blocks every IPv4 prefix is drawn inside."""
    return [(octet << 24, 8) for octet in V4_FIRST_OCTETS]


def _regions_v6() -> list[Region]:
    """The allocation blocks every IPv6 prefix is drawn inside, less those
    held in another (2402::/16 lies in 2400::/12), so no two overlap."""
    return [
        (block, blen)
        for block, blen, _ in V6_BLOCKS
        if not any(
            olen < blen and block >> (128 - olen) == other >> (128 - olen)
            for other, olen, _ in V6_BLOCKS
        )
    ]


SHAPES: dict[str, tuple[int, dict[int, int], Callable[[], list[Region]]]] = {
    "v4": (32, V4_LENGTHS, _regions_v4),
    "v6": (128, V6_LENGTHS, _regions_v6),
}


def _capacity(width: int, regions: list[Region], length: int) -> int:
    """How many distinct prefixes of `length` lie inside the disjoint regions.

    Every way the generator makes a prefix (fresh, nested, clustered) stays
    inside them, so it can never make more than this many of one length: a
    count that needs more would have it draw forever.  A region shorter than
    `length` holds 2^(length - its length) of them; a longer one meets
    exactly one, which longer regions may share.
    """
    total = 0
    truncated = set()
    for net, rlen in regions:
        if rlen <= length:
            total += 1 << (length - rlen)
        else:
            truncated.add(net >> (width - length))
    return total + len(truncated)


def max_count(version: str) -> int:
    """The largest count whose per-length shares all fit their capacity."""
    lo, hi = 0, 1
    while fits(version, hi):
        lo, hi = hi, hi * 2
    # fits(lo) and not fits(hi); the shares only grow with the count.
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (mid, hi) if fits(version, mid) else (lo, mid)
    return lo


def fits(version: str, count: int) -> bool:
    return not _overfull(version, count)


def _overfull(version: str, count: int) -> list[tuple[int, int, int]]:
    """(length, wanted, capacity) of every length `count` asks too much of."""
    width, lengths, regions = SHAPES[version]
    regs = regions()
    return [
        (length, n, _capacity(width, regs, length))
        for length, n in sorted(_counts(lengths, count).items())
        if n > _capacity(width, regs, length)
    ]


def _counts(lengths: dict[int, int], count: int) -> dict[int, int]:
    """Per-length counts summing exactly to `count`."""
    total = sum(lengths.values())
    out = {length: share * count // total for length, share in lengths.items()}
    most = max(lengths, key=lambda length: lengths[length])
    out[most] += count - sum(out.values())
    return out


def _generate(
    rng: random.Random,
    width: int,
    lengths: dict[int, int],
    count: int,
    fresh: Callable[[int], int],
    p_nest: float,
    p_cluster: float,
    cluster_keep: Callable[[int], int],
) -> list[Region]:
    """Prefixes as (network int, length) pairs, shortest lengths first.

    Each prefix of length L is, with probability p_nest, a random subnet of a
    random shorter prefix already made (a more-specific under a covering
    announcement); with probability p_cluster, a prefix next to an existing
    one, sharing its first cluster_keep(L) bits without being covered by it
    (a deaggregated block); otherwise fresh(L), a new allocation.
    """
    made: list[Region] = []
    seen: set[Region] = set()
    for length, n in sorted(_counts(lengths, count).items()):
        shorter = len(made)  # made[:shorter] all have a length below `length`
        host_bits = width - length
        produced = 0
        attempts = 0
        while produced < n:
            attempts += 1
            r = rng.random()
            if r < p_nest and shorter and attempts < 50 * n:
                net, plen = made[int(rng.random() * shorter)]
                free = length - plen
                net |= rng.getrandbits(free) << host_bits if free else 0
            elif r < p_nest + p_cluster and made and attempts < 50 * n:
                base, _ = made[int(rng.random() * len(made))]
                keep = min(cluster_keep(length), length)
                top = base >> (width - keep) << (width - keep)
                net = top | (rng.getrandbits(length - keep) << host_bits if length > keep else 0)
            else:
                net = fresh(length)
            key = (net, length)
            if key in seen:
                continue
            seen.add(key)
            made.append(key)
            produced += 1
    return made


def _v4(rng: random.Random, count: int) -> list[str]:
    def fresh(length: int) -> int:
        octet = V4_FIRST_OCTETS[int(rng.random() * len(V4_FIRST_OCTETS))]
        rest = rng.getrandbits(length - 8) << (32 - length) if length > 8 else 0
        return (octet << 24) | rest

    made = _generate(
        rng,
        32,
        V4_LENGTHS,
        count,
        fresh,
        p_nest=0.30,
        p_cluster=0.30,
        cluster_keep=lambda length: max(8, min(16, length - 4)),
    )
    return [
        f"{net >> 24}.{(net >> 16) & 255}.{(net >> 8) & 255}.{net & 255}/{length}"
        for net, length in made
    ]


def _v6(rng: random.Random, count: int) -> list[str]:
    weights = [w for _, _, w in V6_BLOCKS]
    cumulative = [sum(weights[: i + 1]) for i in range(len(weights))]

    def fresh(length: int) -> int:
        i = bisect.bisect_right(cumulative, rng.random() * cumulative[-1])
        block, blen, _ = V6_BLOCKS[min(i, len(V6_BLOCKS) - 1)]
        if length <= blen:
            return block >> (128 - length) << (128 - length)
        return block | (rng.getrandbits(length - blen) << (128 - length))

    made = _generate(
        rng,
        128,
        V6_LENGTHS,
        count,
        fresh,
        p_nest=0.45,
        p_cluster=0.20,
        cluster_keep=lambda length: max(16, min(32, length - 8)),
    )
    out = []
    for net, length in made:
        out.append(f"{ipaddress.IPv6Address(net).compressed}/{length}")
    return out


def generate_table(version: str, count: int | None = None, seed: int = DEFAULT_SEED) -> list[str]:
    """The table for `version` ("v4" or "v6") as a list of prefix strings."""
    if version not in DEFAULT_COUNT:
        raise ValueError(f"version must be 'v4' or 'v6', not {version!r}")
    if count is None:
        count = DEFAULT_COUNT[version]
    if count < 0:
        raise ValueError(f"count must not be negative, not {count}")
    over = _overfull(version, count)
    if over:
        length, wanted, capacity = over[0]
        raise ValueError(
            f"a {version} table of {count} prefixes needs {wanted} /{length} prefixes, but "
            f"its address blocks hold only {capacity}; the largest count this shape can fill "
            f"is {max_count(version)}"
        )
    rng = random.Random(f"{version}:{seed}")
    prefixes = _v4(rng, count) if version == "v4" else _v6(rng, count)
    # Routing tables come in no particular order; neither should the input.
    rng.shuffle(prefixes)
    return prefixes


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("version", choices=sorted(DEFAULT_COUNT))
    parser.add_argument("out", help="output file, one prefix per line")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--count", type=int, default=None)
    args = parser.parse_args(argv)
    try:
        prefixes = generate_table(args.version, args.count, args.seed)
    except ValueError as e:
        parser.error(str(e))
    with open(args.out, "w", encoding="ascii") as f:
        f.write("\n".join(prefixes))
        f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
