"""Write the example data files: routes.txt and addresses.txt.

    python3 examples/make_example_data.py [OUTDIR]

The data is synthetic and the same on every run (a fixed seed, and only the
random generator's raw bits are used, which every Python version produces
alike).  The prefixes imitate a small routing table: many /24s, allocations
split into more-specifics, some adjacent halves that aggregate, a few labelled
internal and customer networks, and IPv6 allocations.  The addresses are
mostly inside those prefixes, some outside, about one in ten IPv6.
No real network is described.
"""

from __future__ import annotations

import ipaddress
import sys
from pathlib import Path
from random import Random

SEED = 20251009

# First octets of ordinary unicast space, clear of the special-purpose blocks
# (0, 10, 100.64/10, 127, 169.254, 172.16/12, 192.0/24, 192.168, 198.18/15,
# 224 and above), so every generated prefix classifies as global.
FIRST_OCTETS = [
    5, 23, 31, 37, 41, 45, 46, 62, 77, 80, 81, 82, 85, 87, 88, 91, 93, 94,
    95, 103, 104, 109, 128, 130, 141, 145, 151, 154, 176, 178, 185, 188,
    193, 194, 195, 212, 213, 217,
]

# Prefix lengths of the IPv4 more-specifics, with repeats for weight: most
# routes in a real table are /24s.
V4_LENGTHS = [24] * 12 + [23] * 2 + [22] * 3 + [21, 20, 20, 19, 18, 16]
V6_LENGTHS = [48] * 6 + [44, 40, 36, 32, 32, 29]

LABELLED = [
    ("10.0.0.0/8", "internal"),
    ("172.16.0.0/12", "internal"),
    ("192.168.0.0/16", "internal lab"),
    ("fd00::/8", "internal-v6"),
]


class Gen:
    def __init__(self, seed: int) -> None:
        self.rng = Random(seed)

    def below(self, n: int) -> int:
        """A uniform integer in [0, n), from raw bits only."""
        bits = max(1, (n - 1).bit_length())
        while True:
            v = self.rng.getrandbits(bits)
            if v < n:
                return v

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def v4_block(self, length: int) -> ipaddress.IPv4Network:
        first = self.pick(FIRST_OCTETS)
        rest = self.rng.getrandbits(24)
        value = (first << 24 | rest) >> (32 - length) << (32 - length)
        return ipaddress.IPv4Network((value, length))

    def v6_block(self, length: int) -> ipaddress.IPv6Network:
        # 2400::/6 .. inside 2000::/3, away from 2001:db8::/32 and 2002::/16.
        top = 0x2400 + self.below(0x1C00)
        value = top << 112 | self.rng.getrandbits(112)
        value = value >> (128 - length) << (128 - length)
        return ipaddress.IPv6Network((value, length))


def make_routes(g: Gen) -> list[str]:
    lines = [
        "# Example route table for pytarn.",
        "# Synthetic data from examples/make_example_data.py; no real network is described.",
        "# Format: PREFIX [LABEL], one per line; '#' starts a comment.",
        "",
        "# Internal networks",
    ]
    lines += [f"{p:<20} {label}" for p, label in LABELLED]

    lines += ["", "# Customers (documentation AS numbers)"]
    for i in range(24):
        net = g.v4_block(g.pick([22, 23, 24]))
        lines.append(f"{str(net):<20} customer-{i + 1:02d} AS{64496 + i % 16}")
    for i in range(6):
        net = g.v6_block(48)
        lines.append(f"{str(net):<20} customer-v6-{i + 1:02d}")

    lines += ["", "# Transit, IPv4"]
    v4: list[str] = []
    while len(v4) < 2400:
        alloc = g.v4_block(g.pick([14, 15, 16, 17, 18]))
        if g.below(4) == 0:
            v4.append(str(alloc))  # the covering allocation is announced too
        for _ in range(1 + g.below(12)):
            length = max(g.pick(V4_LENGTHS), alloc.prefixlen + 1)
            offset = g.rng.getrandbits(length - alloc.prefixlen)
            sub = ipaddress.IPv4Network(
                (int(alloc.network_address) | offset << (32 - length), length)
            )
            v4.append(str(sub))
            if g.below(5) == 0:
                # The sibling half: the pair aggregates to their parent.
                sibling = int(sub.network_address) ^ (1 << (32 - length))
                v4.append(str(ipaddress.IPv4Network((sibling, length))))
    lines += v4

    lines += ["", "# Transit, IPv6"]
    for _ in range(500):
        lines.append(str(g.v6_block(g.pick(V6_LENGTHS))))
    return lines


def make_addresses(g: Gen, routes: list[str]) -> list[str]:
    entries = [line.split() for line in routes if line and line[0] != "#"]
    nets = [ipaddress.ip_network(e[0]) for e in entries]
    labelled = [ipaddress.ip_network(e[0]) for e in entries if len(e) > 1]
    lines = [
        "# Example addresses for pytarn lookup / classify.",
        "# Synthetic data from examples/make_example_data.py.",
        "10.20.30.40",
        "192.168.1.10",
        str(labelled[4].network_address + 77),
        "203.0.113.7",
        "fd00::53",
        "2001:db8::1",
        "",
        "# A random sample: mostly inside the routes, some outside.",
    ]
    for _ in range(2000):
        kind = g.below(20)
        if kind < 14:
            net = g.pick(labelled if kind < 4 else nets)
            host = g.rng.getrandbits(net.max_prefixlen - net.prefixlen)
            lines.append(str(net.network_address + host))
        elif kind < 18:
            lines.append(str(ipaddress.IPv4Address(g.rng.getrandbits(32))))
        else:
            lines.append(str(g.v6_block(64).network_address + g.rng.getrandbits(64)))
    return lines


def write_all(outdir: Path) -> None:
    g = Gen(SEED)
    routes = make_routes(g)
    addresses = make_addresses(g, routes)
    (outdir / "routes.txt").write_text("\n".join(routes) + "\n")
    (outdir / "addresses.txt").write_text("\n".join(addresses) + "\n")


if __name__ == "__main__":
    write_all(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent)
