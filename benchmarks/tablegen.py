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

import argparse
import bisect
import ipaddress
import random
import sys

DEFAULT_SEED = 1
DEFAULT_COUNT = {"v4": 1_040_000, "v6": 250_000}

# Share of each prefix length, roughly that of today's IPv4 table.
V4_LENGTHS = {
    8: 16, 9: 13, 10: 40, 11: 110, 12: 320, 13: 650, 14: 1300, 15: 2300,
    16: 13500, 17: 8500, 18: 14500, 19: 26000, 20: 47000, 21: 50000,
    22: 130000, 23: 115000, 24: 630000,
}

# The same for IPv6.
V6_LENGTHS = {
    19: 20, 20: 60, 22: 40, 24: 120, 26: 60, 27: 80, 28: 400, 29: 5000,
    30: 1200, 31: 1000, 32: 31000, 33: 3700, 34: 3700, 35: 2000, 36: 7500,
    37: 1200, 38: 2500, 39: 2000, 40: 12500, 41: 1500, 42: 3700, 43: 1700,
    44: 15000, 45: 2500, 46: 6200, 47: 5000, 48: 125000, 52: 300, 56: 2000,
    60: 200, 64: 800,
}

# First octets that carry unicast routes (no 0, 10, 127 or 224 and above).
V4_FIRST_OCTETS = [o for o in range(1, 224) if o not in (10, 127)]

# (block, length, weight): where IPv6 allocations come from.
V6_BLOCKS = [
    (0x2001 << 112, 16, 3), (0x2400 << 112, 12, 5), (0x2600 << 112, 12, 6),
    (0x2800 << 112, 12, 2), (0x2A00 << 112, 12, 7), (0x2A10 << 112, 12, 2),
    (0x2C00 << 112, 12, 1), (0x2402 << 112, 16, 1), (0x2602 << 112, 16, 1),
    (0x2620 << 112, 16, 1),
]


def _counts(lengths, count):
    """Per-length counts summing exactly to `count`."""
    total = sum(lengths.values())
    out = {length: share * count // total for length, share in lengths.items()}
    most = max(lengths, key=lengths.get)
    out[most] += count - sum(out.values())
    return out


def _generate(rng, width, lengths, count, fresh, p_nest, p_cluster, cluster_keep):
    """Prefixes as (network int, length) pairs, shortest lengths first.

    Each prefix of length L is, with probability p_nest, a random subnet of a
    random shorter prefix already made (a more-specific under a covering
    announcement); with probability p_cluster, a prefix next to an existing
    one, sharing its first cluster_keep(L) bits without being covered by it
    (a deaggregated block); otherwise fresh(L), a new allocation.
    """
    made = []
    seen = set()
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


def _v4(rng, count):
    def fresh(length):
        octet = V4_FIRST_OCTETS[int(rng.random() * len(V4_FIRST_OCTETS))]
        rest = rng.getrandbits(length - 8) << (32 - length) if length > 8 else 0
        return (octet << 24) | rest

    made = _generate(rng, 32, V4_LENGTHS, count, fresh, p_nest=0.30, p_cluster=0.30,
                     cluster_keep=lambda length: max(8, min(16, length - 4)))
    return [
        f"{net >> 24}.{(net >> 16) & 255}.{(net >> 8) & 255}.{net & 255}/{length}"
        for net, length in made
    ]


def _v6(rng, count):
    weights = [w for _, _, w in V6_BLOCKS]
    cumulative = [sum(weights[: i + 1]) for i in range(len(weights))]

    def fresh(length):
        i = bisect.bisect_right(cumulative, rng.random() * cumulative[-1])
        block, blen, _ = V6_BLOCKS[min(i, len(V6_BLOCKS) - 1)]
        if length <= blen:
            return block >> (128 - length) << (128 - length)
        return block | (rng.getrandbits(length - blen) << (128 - length))

    made = _generate(rng, 128, V6_LENGTHS, count, fresh, p_nest=0.45, p_cluster=0.20,
                     cluster_keep=lambda length: max(16, min(32, length - 8)))
    out = []
    for net, length in made:
        out.append(f"{ipaddress.IPv6Address(net).compressed}/{length}")
    return out


def generate_table(version, count=None, seed=DEFAULT_SEED):
    """The table for `version` ("v4" or "v6") as a list of prefix strings."""
    if version not in DEFAULT_COUNT:
        raise ValueError(f"version must be 'v4' or 'v6', not {version!r}")
    if count is None:
        count = DEFAULT_COUNT[version]
    rng = random.Random(f"{version}:{seed}")
    prefixes = _v4(rng, count) if version == "v4" else _v6(rng, count)
    # Routing tables come in no particular order; neither should the input.
    rng.shuffle(prefixes)
    return prefixes


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("version", choices=sorted(DEFAULT_COUNT))
    parser.add_argument("out", help="output file, one prefix per line")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--count", type=int, default=None)
    args = parser.parse_args(argv)
    prefixes = generate_table(args.version, args.count, args.seed)
    with open(args.out, "w", encoding="ascii") as f:
        f.write("\n".join(prefixes))
        f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
