"""PrefixIndex.get: one address per call, answering exactly what lookup
answers for it, with the default for no match and for a family the table
lacks; its argument handling and the released index."""

import ipaddress
import random

import pytest

import pytarn

A4, A6 = pytarn.IPv4Address, pytarn.IPv6Address
N4, N6 = pytarn.IPv4Network, pytarn.IPv6Network
BITS = {4: 32, 6: 128}


def random_table(rng, version, count):
    """Clustered networks with nesting, duplicates, /0, host routes and the
    ends of the space: the shapes longest-prefix lookups go wrong on."""
    bits = BITS[version]
    std = ipaddress.IPv4Network if version == 4 else ipaddress.IPv6Network
    nets = [std((0, 0)), std(((1 << bits) - 1, bits)), std((0, bits))]
    base = rng.getrandbits(bits)
    while len(nets) < count:
        length = rng.randrange(bits + 1)
        addr = base ^ rng.getrandbits(rng.randrange(1, bits + 1))
        nets.append(std((addr, length), strict=False))
        if rng.random() < 0.1:
            nets.append(nets[rng.randrange(len(nets))])
    return [str(n) for n in nets]


def probe_addresses(rng, version, nets, count):
    """Random addresses, and each network's first and last address and the
    addresses just outside it."""
    bits = BITS[version]
    top = (1 << bits) - 1
    out = [rng.getrandbits(bits) for _ in range(count)]
    for text in nets:
        n = ipaddress.ip_network(text)
        first, last = int(n.network_address), int(n.broadcast_address)
        out += [first, last, (first - 1) & top, (last + 1) & top]
    return [(A4 if version == 4 else A6)(a) for a in out]


@pytest.mark.parametrize("version", [4, 6], ids=["v4", "v6"])
@pytest.mark.parametrize("count", [1, 17, 300, 5000])
def test_get_equals_lookup(version, count):
    rng = random.Random(count * 10 + version)
    nets = random_table(rng, version, count)
    index = pytarn.PrefixIndex([pytarn.ip_network(n) for n in nets])
    addrs = probe_addresses(rng, version, nets, 500)
    want = index.lookup(addrs)
    assert [index.get(a) for a in addrs] == want
    assert [index.get(str(a)) for a in addrs] == want
    sentinel = object()
    assert [index.get(a, sentinel) for a in addrs] == [sentinel if w < 0 else w for w in want]


def test_mixed_families_report_table_positions():
    nets = ["2001:db8::/32", "10.0.0.0/8", "::/0", "10.1.0.0/16", "2001:db8:1::/48"]
    index = pytarn.PrefixIndex([pytarn.ip_network(n) for n in nets])
    cases = {
        "10.1.2.3": 3,
        "10.2.0.0": 1,
        "11.0.0.0": -1,
        "2001:db8:1::5": 4,
        "2001:db8:2::": 0,
        "fe80::1": 2,
    }
    for text, want in cases.items():
        assert index.get(text) == want, text
        assert index.get(pytarn.ip_address(text)) == want, text
        assert index.lookup([pytarn.ip_address(text)]) == [want], text


@pytest.mark.parametrize(
    ("nets", "query", "kwargs", "want"),
    [
        (["10.0.0.0/8"], "2001:db8::1", {}, -1),
        (["10.0.0.0/8"], "2001:db8::1", {"default": None}, None),
        (["2001:db8::/32"], "10.0.0.1", {"default": "none"}, "none"),
        (["10.0.0.0/8"], "11.0.0.1", {"default": 0}, 0),
        (["10.0.0.0/8"], "10.0.0.1", {"default": None}, 0),
        (["0.0.0.0/0"], "255.255.255.255", {}, 0),
        (["255.255.255.255/32"], "255.255.255.255", {}, 0),
        (["::/0"], "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", {}, 0),
    ],
    ids=[
        "other family",
        "other family, default",
        "v4 in a v6 table",
        "no match, default",
        "match ignores default",
        "v4 /0 top of space",
        "v4 top host route",
        "v6 /0 top of space",
    ],
)
def test_defaults_and_edges(nets, query, kwargs, want):
    index = pytarn.PrefixIndex([pytarn.ip_network(n) for n in nets])
    assert index.get(query, **kwargs) == want
    if "default" in kwargs:
        assert index.get(query, kwargs["default"]) == want


@pytest.mark.parametrize(
    ("args", "kwargs", "exc"),
    [
        ((), {}, TypeError),
        (("10.0.0.1", 1, 2), {}, TypeError),
        (("10.0.0.1", 1), {"default": 2}, TypeError),
        (("10.0.0.1",), {"fallback": 2}, TypeError),
        ((167772161,), {}, TypeError),
        ((N4("10.0.0.0/8"),), {}, TypeError),
        (("10.0.0.256",), {}, pytarn.ParseError),
        (("10.0.0.0/8",), {}, pytarn.ParseError),
        (("10.0.0.1\0",), {}, pytarn.ParseError),
    ],
    ids=[
        "no address",
        "three positionals",
        "default twice",
        "unknown keyword",
        "integer",
        "network",
        "bad text",
        "prefix text",
        "nul in text",
    ],
)
def test_rejects_bad_arguments(args, kwargs, exc):
    index = pytarn.PrefixIndex([N4("10.0.0.0/8")])
    with pytest.raises(exc):
        index.get(*args, **kwargs)


def test_released_index_refuses():
    index = pytarn.PrefixIndex([N4("10.0.0.0/8")])
    with index:
        assert index.get("10.0.0.1") == 0
    with pytest.raises(pytarn.InvalidArgumentError, match="destroyed"):
        index.get("10.0.0.1")
