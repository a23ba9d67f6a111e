"""A typical pytarn user program.  It must pass ``mypy --strict`` against the
type stubs and run cleanly against the module; the assert_type lines pin
what the stubs promise."""

from __future__ import annotations

import array
import ipaddress
from collections.abc import Iterable
from typing import assert_type

import pytarn
from pytarn import IPv4Address, IPv4Network, IPv6Address, IPv6Network


def describe(addr: IPv4Address | IPv6Address) -> str:
    flags = [name for name, on in [("global", addr.is_global), ("private", addr.is_private),
                                   ("loopback", addr.is_loopback),
                                   ("multicast", addr.is_multicast),
                                   ("link-local", addr.is_link_local),
                                   ("unspecified", addr.is_unspecified)] if on]
    if isinstance(addr, IPv6Address):
        inner = addr.to_ipv4()
        if inner is not None:
            flags.append(f"mapped {inner.compressed}")
    return f"{addr.exploded} v{addr.version} [{', '.join(flags)}] {addr.classify():#x}"


def parse_any(text: str) -> IPv4Address | IPv6Address:
    try:
        return IPv4Address(text)
    except pytarn.FamilyError:
        return IPv6Address(text)


def route_table(lines: Iterable[str]) -> list[IPv4Network]:
    nets: list[IPv4Network] = []
    for line in lines:
        try:
            nets.append(IPv4Network(line.strip(), strict=False))
        except (pytarn.ParseError, pytarn.PrefixLengthError) as e:
            print(f"skipping {e}")
    return pytarn.bulk_sort(nets, pytarn.SORT_NETWORK_ASC)


def main() -> None:
    a = IPv4Address("192.0.2.1")
    assert_type(a.packed, bytes)
    assert a == IPv4Address(3221225985) == IPv4Address(b"\xc0\x00\x02\x01")
    assert a == IPv4Address(ipaddress.IPv4Address("192.0.2.1"))
    assert a < IPv4Address("192.0.2.2")
    print(describe(a), hash(a))
    print(describe(parse_any("::ffff:10.0.0.1")))

    net = IPv4Network("10.0.0.0/8")
    assert_type(net.supernet(), IPv4Network)
    assert_type(net.network_address, IPv4Address)
    assert "10.1.2.3" in net and a not in net
    assert net.contains(IPv4Address("10.255.255.255"))
    assert IPv4Network(("10.0.0.1", 8), strict=False) == net
    assert IPv4Network(ipaddress.IPv4Network("10.0.0.0/8")) == net
    print(net.broadcast_address, net.netmask, net.num_addresses, net.with_prefixlen)
    for sub in net.subnets(10):
        assert_type(sub, IPv4Network)
        print(sub, sub.overlaps(net))

    v6 = IPv6Network("2001:db8::/32")
    first = next(iter(v6.subnets(prefixlen=48)))
    assert_type(first, IPv6Network)
    try:
        v6.overlaps(net)
    except pytarn.FamilyError as e:
        print("cannot mix:", e)

    table = route_table(["10.0.0.0/8", "10.1.0.0/16", "192.168.1.7/24", "bogus"])
    aggregated = pytarn.bulk_aggregate(table)
    assert_type(aggregated, list[IPv4Network])
    hosts = [IPv4Address("10.1.2.3"), IPv4Address("192.168.1.9"), IPv4Address("8.8.8.8")]
    first_match: list[int] = pytarn.bulk_contains(hosts, table)
    with pytarn.PrefixIndex(table) as index:
        best = index.lookup(hosts)
    print(first_match, best, aggregated)

    packed = array.array("B", b"".join(h.packed for h in hosts))
    print(pytarn.bulk_contains_packed(memoryview(packed), table, pytarn.AF_INET))
    parsed = pytarn.bulk_parse(["10.0.0.1", "10.0.0.2"])
    print([str(p) for p in parsed])

    try:
        pytarn.IPv4Network("0.0.0.0/0").supernet()
    except pytarn.AddressOverflowError:
        pass
    except pytarn.TARNError as e:
        raise SystemExit(f"unexpected {e!r}") from e
    assert pytarn.TARN_IANA_SNAPSHOT > 20000000


if __name__ == "__main__":
    main()
