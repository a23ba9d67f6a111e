"""Tests of PrefixSet and the set and range functions (bulk_union and its
twins, summarize_address_range, spanning_network).

Set results are checked against netaddr's IPSet (iter_cidrs, size,
iter_ipranges, containment and the relations), ranges against the standard
library's summarize_address_range, spans against netaddr.spanning_cidr, and
large inputs (which the binding hands to the core in pieces) against a
plain interval sweep.  Networks are compared as (version, first address,
length), never as text: the libraries print IPv4-mapped addresses
differently.
"""

from __future__ import annotations

import bisect
import copy
import ipaddress
import pickle
import random
import threading
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

import pytarn
from conftest import assert_no_leak, raises_quietly

netaddr = pytest.importorskip("netaddr")

PS = pytarn.PrefixSet
BITS = {4: 32, 6: 128}
STD_NET = {4: ipaddress.IPv4Network, 6: ipaddress.IPv6Network}
ANCHORS = {4: [0, 0x0A000000, 0xC0000200, (1 << 32) - 1],
           6: [0, 0x20010DB8 << 96, 0xFFFF << 32, (1 << 128) - 1]}  # fmt: skip


def key(nets: Any) -> list[tuple[int, int, int]]:
    """(version, first address, length) of networks of either library."""
    out = []
    for n in nets:
        if isinstance(n, netaddr.IPNetwork):
            out.append((n.version, n.first, n.prefixlen))
        else:
            out.append((n.version, int(n.network_address), n.prefixlen))
    return out


def text(version: int, value: int, length: int) -> str:
    host = (1 << (BITS[version] - length)) - 1
    return str(STD_NET[version]((value & ~host, length)))


@st.composite
def network_texts(draw: Any, version: int | None = None) -> str:
    """A network near one of a few anchors (so sets overlap and touch), or
    anywhere; lengths from /0 to host routes, long ones favoured."""
    v = draw(st.sampled_from([4, 6])) if version is None else version
    bits = BITS[v]
    value = draw(st.one_of(
        st.integers(0, (1 << bits) - 1),
        st.builds(lambda a, d: (a + d) % (1 << bits), st.sampled_from(ANCHORS[v]),
                  st.integers(-(1 << 10), 1 << 10)),
    ))  # fmt: skip
    length = draw(st.one_of(st.integers(0, bits), st.integers(bits - 12, bits)))
    return text(v, value, length)


sets = st.lists(network_texts(), max_size=12)


def both(items: list[str]) -> tuple[Any, Any]:
    return PS(items), netaddr.IPSet(items)


# ---- differential against netaddr ---------------------------------------------


def check_against(ours: Any, theirs: Any) -> None:
    assert key(ours) == key(theirs.iter_cidrs())
    assert len(ours) == len(list(theirs.iter_cidrs()))
    assert ours.size == theirs.size
    assert bool(ours) == bool(theirs.size)
    assert [(a.version, int(a), int(b)) for a, b in ours.ranges()] == [
        (r.version, r.first, r.last) for r in theirs.iter_ipranges()
    ]


@given(sets)
def test_construction_agrees_with_netaddr(items: list[str]) -> None:
    check_against(*both(items))


OPS = [("|", "union", pytarn.bulk_union), ("&", "intersection", pytarn.bulk_intersection),
       ("-", "difference", pytarn.bulk_difference),
       ("^", "symmetric_difference", pytarn.bulk_symmetric_difference)]  # fmt: skip


@given(sets, sets)
def test_algebra_agrees_with_netaddr(a: list[str], b: list[str]) -> None:
    (pa, na), (pb, nb) = both(a), both(b)
    for sym, method, bulk in OPS:
        ours = eval(f"pa {sym} pb")
        check_against(ours, eval(f"na {sym} nb"))
        assert type(ours) is PS
        assert getattr(pa, method)(b) == ours  # the methods take any iterable
        assert key(bulk(a, b)) == key(ours)


@given(sets, sets)
def test_relations_agree_with_netaddr(a: list[str], b: list[str]) -> None:
    (pa, na), (pb, nb) = both(a), both(b)
    assert pa.issubset(pb) == (pa <= pb) == na.issubset(nb)
    assert pa.issuperset(b) == (pa >= pb) == na.issuperset(nb)
    assert (pa < pb) == (na.issubset(nb) and na != nb)
    assert (pa > pb) == (na.issuperset(nb) and na != nb)
    assert pa.isdisjoint(pb) == na.isdisjoint(nb)
    assert (pa == pb) == (na == nb) == (hash(pa) == hash(pb) and pa == pb)


@given(sets, st.lists(network_texts(), min_size=1, max_size=8))
def test_containment_agrees_with_netaddr(items: list[str], probes: list[str]) -> None:
    ours, theirs = both(items)
    for p in probes:
        net = netaddr.IPNetwork(p)
        assert (p in ours) == (net in theirs), p
        assert (pytarn.ip_network(p) in ours) == (net in theirs), p
        addr = p.split("/")[0]
        assert (addr in ours) == (netaddr.IPAddress(addr) in theirs), addr
        assert (ipaddress.ip_address(addr) in ours) == (netaddr.IPAddress(addr) in theirs)


@given(sets)
def test_representation_does_not_depend_on_how_the_set_was_given(items: list[str]) -> None:
    """Equal sets are equal and hash equally however they were spelt: as
    given, as their own cover, as ranges, split into halves, shuffled,
    pickled."""
    s = PS(items)
    halves: list[Any] = []
    for n in s:
        halves.extend(n.subnets() if n.prefixlen < BITS[n.version] else [n])
    random.Random(len(items)).shuffle(halves)
    spellings = [PS(list(s)), PS(s.ranges()), PS(halves), PS([s, *items]),
                 pickle.loads(pickle.dumps(s))]  # fmt: skip
    for other in spellings:
        assert other == s and hash(other) == hash(s)
        assert key(other) == key(s)


# ---- ranges and spans ----------------------------------------------------------


@st.composite
def address_ranges(draw: Any) -> tuple[int, int, int]:
    v = draw(st.sampled_from([4, 6]))
    top = (1 << BITS[v]) - 1
    ends = st.one_of(st.integers(0, top), st.sampled_from([0, 1, top - 1, top]))
    lo, hi = sorted((draw(ends), draw(ends)))
    return v, lo, hi


@given(address_ranges())
def test_summarize_address_range_agrees_with_ipaddress(r: tuple[int, int, int]) -> None:
    v, lo, hi = r
    first = ipaddress.IPv4Address(lo) if v == 4 else ipaddress.IPv6Address(lo)
    last = ipaddress.IPv4Address(hi) if v == 4 else ipaddress.IPv6Address(hi)
    want = key(ipaddress.summarize_address_range(first, last))
    assert key(pytarn.summarize_address_range(str(first), str(last))) == want
    assert key(pytarn.summarize_address_range(first, pytarn.ip_address(str(last)))) == want
    assert key(PS([(first, last)])) == want


def brute_span(items: list[str]) -> tuple[int, int, int]:
    nets = [ipaddress.ip_network(t) for t in items]
    v, bits = nets[0].version, BITS[nets[0].version]
    lo = min(int(n.network_address) for n in nets)
    hi = max(int(n.broadcast_address) for n in nets)
    length = next(L for L in range(bits, -1, -1) if lo >> (bits - L) == hi >> (bits - L))
    return v, lo >> (bits - length) << (bits - length), length


family_lists = st.sampled_from([4, 6]).flatmap(
    lambda v: st.lists(network_texts(v), min_size=2, max_size=10))


@given(family_lists)
def test_spanning_network_of_addresses_agrees_with_netaddr(items: list[str]) -> None:
    addrs = [t.split("/")[0] for t in items]
    assert key([pytarn.spanning_network(addrs)]) == key([netaddr.spanning_cidr(addrs)])


@given(family_lists)
def test_spanning_network_of_networks_agrees_with_a_brute_force_span(items: list[str]) -> None:
    """netaddr.spanning_cidr takes the last address of the network that
    sorts last, not the highest last address: it spans 0.0.0.0/0 and
    0.0.0.0/2 with a /1.  So networks are checked against a brute force."""
    assert key([pytarn.spanning_network(items)]) == [brute_span(items)]
    assert key([pytarn.spanning_network(PS(items))]) == [brute_span(items)]


# ---- edges ----------------------------------------------------------------------

EDGES = [
    ("empty", []),
    ("whole-v4", ["0.0.0.0/0"]),
    ("whole-v6", ["::/0"]),
    ("both-wholes", ["::/0", "0.0.0.0/0"]),
    ("tops", ["255.255.255.255", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"]),
    ("bottoms", ["0.0.0.0", "::"]),
    ("top-halves", ["128.0.0.0/1", "255.255.255.254/31", "8000::/1"]),
    ("siblings-merge", ["10.0.0.0/25", "10.0.0.128/26", "10.0.0.192/26"]),
    ("covered", ["10.0.0.0/8", "10.1.2.3", "10.255.0.0/16", "10.0.0.0/8"]),
    ("mapped", ["::ffff:1.2.3.4", "1.2.3.4"]),
    ("range-to-top", [("255.255.255.0", "255.255.255.255"), ("::1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff")]),
]  # fmt: skip


@pytest.mark.parametrize("items", [e[1] for e in EDGES], ids=[e[0] for e in EDGES])
def test_edges_agree_with_netaddr(items: list[Any]) -> None:
    theirs = netaddr.IPSet()
    for item in items:
        theirs.add(netaddr.IPRange(*item) if isinstance(item, tuple) else item)
    ours = PS(items)
    check_against(ours, theirs)
    assert pickle.loads(pickle.dumps(ours)) == ours
    whole = PS(["0.0.0.0/0", "::/0"])
    assert ours <= whole and (whole - ours) | ours == whole and not (whole - ours) & ours


def test_size_of_both_whole_spaces_passes_128_bits() -> None:
    assert PS(["0.0.0.0/0", "::/0"]).size == 2**128 + 2**32


# ---- what the constructor takes -------------------------------------------------


class SubNet(pytarn.IPv4Network):
    pass


def _numpy(values: list[str]) -> Any:
    np = pytest.importorskip("numpy")
    return np.array(values)


def _arrow(values: list[str]) -> Any:
    pa = pytest.importorskip("pyarrow")
    return pa.chunked_array([values[:1], values[1:]])


FORMS = [
    ("text", lambda: ["10.0.0.0/24", "10.0.1.0/24", "::1"], ["10.0.0.0/23", "::1/128"]),
    ("dotted-masks", lambda: ["10.0.0.0/255.255.255.0", "10.0.1.0/0.0.0.255"], ["10.0.0.0/23"]),
    ("ours", lambda: [pytarn.IPv4Network("10.0.0.0/24"), SubNet("10.0.1.0/24"),
                      pytarn.IPv6Address("::1")], ["10.0.0.0/23", "::1/128"]),
    ("ipaddress", lambda: [ipaddress.ip_network("10.0.0.0/24"), ipaddress.ip_address("::1")],
     ["10.0.0.0/24", "::1/128"]),
    ("interfaces-are-addresses", lambda: [pytarn.ip_interface("10.0.0.1/24"),
                                          ipaddress.ip_interface("10.0.0.2/24")],
     ["10.0.0.1/32", "10.0.0.2/32"]),
    ("ranges", lambda: [("10.0.0.0", pytarn.ip_address("10.0.0.255")),
                        (ipaddress.ip_address("10.0.1.0"), "10.0.1.255")], ["10.0.0.0/23"]),
    ("nested-sets", lambda: [PS(["10.0.0.0/24"]), pytarn.AddressArray(["10.0.1.0", "::1"])],
     ["10.0.0.0/24", "10.0.1.0/32", "::1/128"]),
    ("generator", lambda: (f"10.0.0.{i}" for i in range(4)), ["10.0.0.0/30"]),
    ("address-array", lambda: pytarn.AddressArray(["10.0.0.0", "10.0.0.1", "::"]),
     ["10.0.0.0/31", "::/128"]),
    ("numpy-str", lambda: _numpy(["10.0.0.0", "10.0.0.1"]), ["10.0.0.0/31"]),
    ("arrow-chunks", lambda: _arrow(["10.0.0.0", "10.0.0.1"]), ["10.0.0.0/31"]),
]  # fmt: skip


@pytest.mark.parametrize("make,want", [f[1:] for f in FORMS], ids=[f[0] for f in FORMS])
def test_constructor_forms(make: Any, want: list[str]) -> None:
    got = PS(make())
    assert [str(n) for n in got] == want
    assert [type(n) for n in got] == [type(pytarn.ip_network(w)) for w in want]


BAD_ITEMS = [
    # id, items, exception, message, .index
    ("host-bits", ["10.0.0.0/8", "10.0.0.1/8"], pytarn.HostBitsError,
     "invalid network at index 1: '10.0.0.1/8'", 1),
    ("length", ["10.0.0.0/33"], pytarn.PrefixLengthError, "invalid network at index 0: '10.0.0.0/33'", 0),
    ("bad-mask", ["10.0.0.0/255.0.255.0"], pytarn.PrefixLengthError,
     "invalid network at index 0: '10.0.0.0/255.0.255.0'", 0),
    ("address", ["::1", "10.0.0.256"], pytarn.ParseError, "invalid address at index 1: '10.0.0.256'", 1),
    ("nul", ["10.0.0.1\0"], pytarn.ParseError, "invalid text at index 0: '10.0.0.1\\x00'", 0),
    ("surrogate", ["\udc80"], pytarn.ParseError, "invalid text at index 0: '\\\\udc80'", 0),
    ("range-order", [("10.0.0.5", "10.0.0.1")], pytarn.InvalidArgumentError,
     "invalid range at index 0: \"('10.0.0.5', '10.0.0.1')\"", 0),
    ("range-families", [("10.0.0.1", "::1")], pytarn.FamilyError,
     "invalid range at index 0: \"('10.0.0.1', '::1')\"", 0),
    ("range-net-end", [("10.0.0.0/8", "10.0.0.1")], pytarn.ParseError,
     "invalid address at index 0: '10.0.0.0/8'", 0),
    ("lying-foreign", [type("N", (), {"network_address": ipaddress.ip_address("10.0.0.1"),
                                      "prefixlen": 8, "__repr__": lambda s: "N"})()],
     pytarn.HostBitsError, "invalid network at index 0: 'N'", 0),
    ("int", ["10.0.0.0/8", 7], TypeError, "item at index 1 is a 'int' object, not an address, "
     "a network, their text, a (first, last) range, an AddressArray or a PrefixSet", None),
    ("none", [None], TypeError, "item at index 0 is a 'NoneType' object, not an address, a "
     "network, their text, a (first, last) range, an AddressArray or a PrefixSet", None),
    ("nulls", [pytarn.AddressArray(["10.0.0.1", None, None])], pytarn.InvalidArgumentError,
     "the column at index 0 holds 2 null(s), which a PrefixSet cannot hold: drop them first", None),
    ("single-str", "10.0.0.0/8", TypeError, "expected an iterable of items or a column of "
     "addresses, not a str; wrap a single item in a list", None),
    ("single-net", ipaddress.ip_network("10.0.0.0/8"), TypeError, "expected an iterable of items "
     "or a column of addresses, not a single network; wrap a single item in a list", None),
]  # fmt: skip


@pytest.mark.parametrize("items,exc,message,index", [b[1:] for b in BAD_ITEMS],
                         ids=[b[0] for b in BAD_ITEMS])  # fmt: skip
def test_bad_items_name_the_item(items: Any, exc: type, message: str, index: int | None) -> None:
    with pytest.raises(exc) as info:
        PS(items)
    assert type(info.value) is exc
    assert str(info.value) == message
    assert getattr(info.value, "index", None) == index


CONTAINS_ERRORS = [(7, TypeError), (None, TypeError), (("10.0.0.1", "10.0.0.2"), TypeError),
                   (PS(), TypeError), ("10.0.0.1/8", pytarn.HostBitsError),
                   ("bogus", pytarn.ParseError)]  # fmt: skip


@pytest.mark.parametrize("probe,exc", CONTAINS_ERRORS, ids=[repr(c[0]) for c in CONTAINS_ERRORS])
def test_contains_refuses_what_is_no_address_or_network(probe: Any, exc: type) -> None:
    with pytest.raises(exc):
        probe in PS(["10.0.0.0/8"])  # noqa: B015


def test_operators_take_prefixsets_only() -> None:
    s = PS(["10.0.0.0/8"])
    for op in ("|", "&", "-", "^", "<", "<=", ">", ">="):
        with pytest.raises(TypeError):
            eval(f"s {op} frozenset()")
    assert s != frozenset() and not s == ["10.0.0.0/8"]
    assert s.union(["11.0.0.0/8"]) == PS(["10.0.0.0/7"])


def test_spanning_network_refusals() -> None:
    with pytest.raises(pytarn.InvalidArgumentError):
        pytarn.spanning_network([])
    with pytest.raises(pytarn.FamilyError):
        pytarn.spanning_network(["10.0.0.1", "::1"])
    assert str(pytarn.spanning_network(PS(["10.0.0.0/24", "10.0.3.0/24"]))) == "10.0.0.0/22"


@pytest.mark.parametrize("first,last,exc", [("10.0.0.2", "10.0.0.1", pytarn.InvalidArgumentError),
                                            ("10.0.0.1", "::2", pytarn.FamilyError),
                                            (1, "10.0.0.1", TypeError)])  # fmt: skip
def test_summarize_address_range_refusals(first: Any, last: Any, exc: type) -> None:
    with pytest.raises(exc):
        pytarn.summarize_address_range(first, last)


def test_repr_shows_ten_prefixes_then_the_length() -> None:
    assert repr(PS()) == "PrefixSet([])"
    assert repr(PS(["2001:db8::/32", "10.0.0.0/8"])) == "PrefixSet(['10.0.0.0/8', '2001:db8::/32'])"
    many = PS([f"10.{2 * i}.0.0/16" for i in range(12)])
    assert repr(many) == ("PrefixSet(['10.0.0.0/16', '10.2.0.0/16', '10.4.0.0/16', '10.6.0.0/16', "
                          "'10.8.0.0/16', '10.10.0.0/16', '10.12.0.0/16', '10.14.0.0/16', "
                          "'10.16.0.0/16', '10.18.0.0/16', ...], length=12)")  # fmt: skip


# ---- pickling and copying ----------------------------------------------------------


class Tagged(PS):
    pass


def test_pickle_and_copy_keep_class_and_dict() -> None:
    s = PS(["10.0.0.0/8", "::/0"])
    assert copy.copy(s) is s and copy.deepcopy(s) is s
    t = Tagged(["10.0.0.0/8"])
    t.tags = ["allow"]
    for clone in (pickle.loads(pickle.dumps(t)), copy.copy(t), copy.deepcopy(t)):
        assert type(clone) is Tagged and clone == t and clone.tags == ["allow"]
    assert copy.copy(t).tags is t.tags and copy.deepcopy(t).tags is not t.tags
    assert type(t | t) is PS  # operators answer the base type, as frozenset's


def rec(family: int, length: int, addr: int) -> bytes:
    return bytes([family, length]) + addr.to_bytes(4 if family == 4 else 16, "big")


V = bytes([1])
HOSTILE = [
    ("cut-header", V + bytes([4])),
    ("cut-address", V + rec(4, 8, 0x0A000000)[:-1]),
    ("trailing-byte", V + rec(4, 8, 0x0A000000) + bytes([4])),
    ("family", V + bytes([5, 8]) + bytes(4)),
    ("family-zero", V + bytes([0, 0]) + bytes(16)),
    ("length", V + rec(4, 33, 0)),
    ("length-v6", V + rec(6, 129, 0)),
    ("host-bits", V + rec(4, 8, 0x0A000001)),
    ("unsorted", V + rec(4, 8, 0x0B000000) + rec(4, 8, 0x0A000000)),
    ("duplicate", V + rec(4, 8, 0x0A000000) * 2),
    ("overlap", V + rec(4, 8, 0x0A000000) + rec(4, 16, 0x0A010000)),
    ("siblings", V + rec(4, 8, 0x0A000000) + rec(4, 8, 0x0B000000)),
    ("v4-after-v6", V + rec(6, 0, 0) + rec(4, 8, 0x0A000000)),
    ("version", bytes([99]) + rec(4, 8, 0x0A000000)),
    ("empty", b""),
    ("not-bytes", "x"),
]  # fmt: skip


@pytest.mark.parametrize("state", [h[1] for h in HOSTILE], ids=[h[0] for h in HOSTILE])
def test_hostile_state_is_refused(state: Any) -> None:
    with pytest.raises(pytarn.InvalidArgumentError, match="^cannot restore PrefixSet: "):
        pytarn._restore(PS, state)


def test_state_of_touching_non_siblings_is_accepted() -> None:
    """10.0.0.0/8 and 11.0.0.0/8 would merge; 11.0.0.0/8 and 12.0.0.0/8 may not."""
    s = pytarn._restore(PS, V + rec(4, 8, 0x0B000000) + rec(4, 8, 0x0C000000) + rec(6, 0, 0))
    assert s == PS(["11.0.0.0/8", "12.0.0.0/8", "::/0"])


# ---- large inputs: pieces, seams, the lock ---------------------------------------------


def intervals(nets: Any) -> list[tuple[int, int, int]]:
    """(version, first, last) of the union of networks, merged: a slow reference."""
    spans = sorted((n.version, int(n.network_address), int(n.broadcast_address) if n.version == 4
                    else int(n.network_address) + n.num_addresses - 1) for n in nets)  # fmt: skip
    out: list[list[int]] = []
    for v, lo, hi in spans:
        if out and out[-1][0] == v and lo <= out[-1][2] + 1:
            out[-1][2] = max(out[-1][2], hi)
        else:
            out.append([v, lo, hi])
    return [tuple(x) for x in out]  # type: ignore[misc]


def member(ivs: list[Any], v: int, x: int) -> bool:
    i = bisect.bisect_right(ivs, (v, x, float("inf"))) - 1
    return i >= 0 and ivs[i][0] == v and ivs[i][1] <= x <= ivs[i][2]


def sweep(a: list[Any], b: list[Any], keep: Any) -> list[tuple[int, int, int]]:
    """The merged intervals of the addresses x with keep(x in a, x in b):
    membership is constant between consecutive interval ends."""
    cuts = sorted({(v, x) for v, lo, hi in a + b for x in (lo, hi + 1)})
    out: list[list[int]] = []
    for (v, x), (w, y) in zip(cuts, cuts[1:]):
        if v != w or not keep(member(a, v, x), member(b, v, x)):
            continue
        if out and out[-1][0] == v and out[-1][2] + 1 == x:
            out[-1][2] = y - 1
        else:
            out.append([v, x, y - 1])
    return [tuple(x) for x in out]  # type: ignore[misc]


KEEP = {"|": lambda p, q: p or q, "&": lambda p, q: p and q, "-": lambda p, q: p and not q,
        "^": lambda p, q: p != q}  # fmt: skip


def random_nets(seed: int, n: int, v6: bool = False) -> list[Any]:
    """Half anywhere (/16 to /32), half inside 10.0.0.0/8 (/24 to /32), where
    two sets meet often; with v6, each also as an IPv6 network of the same
    top 32 bits and length."""
    r = random.Random(seed)
    out = []
    for i in range(n):
        length = r.randrange(16, 33) if i % 2 else r.randrange(24, 33)
        value = r.getrandbits(32) if i % 2 else 0x0A000000 | r.getrandbits(24)
        value = value >> (32 - length) << (32 - length)
        out.append(pytarn.IPv4Network((value, length)))
        if v6:
            out.append(pytarn.IPv6Network((value << 96, length)))
    return out


@pytest.mark.parametrize("sym", list(KEEP))
def test_large_operations_agree_with_an_interval_sweep(sym: str) -> None:
    """Sets of 50k prefixes go to the core in pieces; the pieces' covers
    are joined at seams that fall inside maximal intervals."""
    a, b = PS(random_nets(1, 40_000, v6=True)), PS(random_nets(2, 40_000, v6=True))
    assert len(a) > 2 * 32_768 and len(b) > 2 * 32_768
    got = eval(f"a {sym} b")
    assert intervals(got) == sweep(intervals(a), intervals(b), KEEP[sym])
    collapsed = [c for v in (4, 6) for c in ipaddress.collapse_addresses(
        ipaddress.ip_network(str(n)) for n in got if n.version == v)]  # fmt: skip
    assert key(got) == key(collapsed)


def test_seams_join_interleaved_host_routes() -> None:
    """Even and odd host routes of a /15 interleave; their union is the
    /15, found only by merging every piece's cover across its seams."""
    evens = PS([pytarn.IPv4Address(0x0A000000 + 2 * i) for i in range(1 << 16)])
    odds = PS(pytarn.AddressArray.from_integers([0x0A000001 + 2 * i for i in range(1 << 16)], 4))
    assert len(evens) == len(odds) == 1 << 16
    assert [str(n) for n in evens | odds] == [str(n) for n in evens ^ odds] == ["10.0.0.0/15"]
    assert evens - odds == evens and not evens & odds
    holes = PS(["10.0.0.0/15"]) - odds
    assert holes == evens
    # One piece whose difference outgrows |A| + |B|: the core is asked again.
    rest = PS(["0.0.0.0/0"]) - evens
    assert rest.size == 2**32 - 2**16 and len(rest.ranges()) == 2**16 + 1
    assert rest | evens == PS(["0.0.0.0/0"]) and rest == PS(rest.ranges())


def test_operations_on_shared_sets_from_threads() -> None:
    """The core runs without the lock on the operands' shared storage."""
    a, b = PS(random_nets(3, 50_000)), PS(random_nets(4, 50_000))
    want = [a | b, a & b, a - b, a ^ b]
    errors: list[BaseException] = []

    def work() -> None:
        try:
            for _ in range(3):
                assert [a | b, a & b, a - b, a ^ b] == want and a <= (a | b)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def test_no_leaks() -> None:
    a, b = PS(["10.0.0.0/8", "::/64"]), PS(["10.1.0.0/16", "2001:db8::/32"])
    sub = Tagged(["10.0.0.0/8"])
    sub.tag = 1
    assert_no_leak(lambda: (a | b, a ^ b, a & b, a - b, a <= b, hash(PS(list(a)))), rounds=10_000)
    assert_no_leak(lambda: (list(a), a.ranges(), a.size, repr(a), "10.0.0.1" in a), rounds=10_000)
    assert_no_leak(lambda: (pickle.loads(pickle.dumps(sub)), copy.deepcopy(sub)), rounds=10_000)
    assert_no_leak(raises_quietly(pytarn.HostBitsError, PS, ["10.0.0.0/8", "10.0.0.1/8"]),
                   rounds=10_000)
    assert_no_leak(raises_quietly(pytarn.InvalidArgumentError, pytarn._restore, PS,
                                  V + rec(4, 8, 0x0A000000) * 2), rounds=10_000)
