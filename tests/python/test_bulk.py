"""Tests of the bulk module functions: bulk_parse, bulk_contains,
bulk_aggregate, bulk_sort and bulk_contains_packed.

Results are checked against the standard library's ipaddress (aggregation,
parsing), Python's own stable sort, and a linear first-match scan.  Objects are
compared by (packed address, prefix length), never by text: ipaddress of
Python 3.11 prints IPv4-mapped IPv6 addresses in hexadecimal, this module with
a dotted-quad tail (RFC 5952 section 5).
"""

import array
import ctypes
import ipaddress

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pytarn

A4, A6 = pytarn.IPv4Address, pytarn.IPv6Address
N4, N6 = pytarn.IPv4Network, pytarn.IPv6Network
BITS = {4: 32, 6: 128}
ADDR = {4: A4, 6: A6}
NET = {4: N4, 6: N6}
STD_NET = {4: ipaddress.IPv4Network, 6: ipaddress.IPv6Network}


class SubA4(pytarn.IPv4Address):
    pass


class SubA6(pytarn.IPv6Address):
    pass


class SubN4(pytarn.IPv4Network):
    pass


class SubN6(pytarn.IPv6Network):
    pass


class SubStr(str):
    pass


class Packed16(ctypes.Structure):
    """16 address bytes in a structure: a buffer of format T{...}, refused."""

    _fields_ = [("b", ctypes.c_ubyte * 16)]


def nkey(net):
    """(address bytes, length) of a network of either library."""
    return (net.network_address.packed, net.prefixlen)


def to_pytarn(std_net):
    return NET[std_net.version](str(std_net))


def not_packed(fmt, family):
    """The refusal of a buffer whose format is no packed address format."""
    ways = "'B', '4s' or big-endian '>I'" if family == 4 else "'B' or '16s'"
    return (f"buffer format '{fmt}' is not a packed IPv{family} address format: pass "
            f"network-order bytes (format {ways}), or numbers through "
            "AddressArray.from_integers(values, family)")


def raises_exactly(exc, message, fn, *args):
    with pytest.raises(exc) as info:
        fn(*args)
    assert str(info.value) == message
    return info.value


# ---- Hypothesis strategies ------------------------------------------------


@st.composite
def std_networks(draw, version):
    """A canonical ipaddress network.  Half the draws cluster in a small block
    (at the bottom, the top or the middle of the space) so that lists of them
    overlap, nest, duplicate and merge; the rest fall anywhere, /0 included."""
    bits = BITS[version]
    if draw(st.booleans()):
        base = draw(st.sampled_from([0, 2**bits - 4096, 10 << (bits - 8)]))
        addr = base + draw(st.integers(0, 4095))
        plen = draw(st.integers(bits - 13, bits))
    else:
        addr = draw(st.integers(0, 2**bits - 1))
        plen = draw(st.integers(0, bits))
    return STD_NET[version]((addr, plen), strict=False)


@st.composite
def network_lists(draw, version, min_size=0, max_size=30):
    nets = draw(st.lists(std_networks(version), min_size=min_size, max_size=max_size))
    if nets and draw(st.booleans()):  # explicit duplicates
        nets += draw(st.lists(st.sampled_from(nets), max_size=5))
        nets = draw(st.permutations(nets))
    return nets


@st.composite
def addresses_near(draw, version, nets):
    """Integer addresses: inside a drawn network, or anywhere."""
    bits = BITS[version]
    out = []
    for _ in range(draw(st.integers(0, 30))):
        if nets and draw(st.booleans()):
            net = draw(st.sampled_from(nets))
            host = draw(st.integers(0, net.num_addresses - 1))
            out.append(int(net.network_address) + host)
        else:
            out.append(draw(st.integers(0, 2**bits - 1)))
    return out


VERSIONS = pytest.mark.parametrize("version", [4, 6], ids=["v4", "v6"])


# ---- docstrings -------------------------------------------------------------


@pytest.mark.parametrize(
    "fn, doc",
    [
        (
            pytarn.bulk_parse,
            "bulk_parse(srcs) -> list\n\nParse a list of address strings. All items are "
            "attempted; failed items appear as None. Raises ParseError or FamilyError after "
            "the full batch completes.",
        ),
        (
            pytarn.bulk_contains,
            "bulk_contains(addrs, prefixes) -> list\n\nFor each address, return the index of "
            "the first matching prefix, or -1 if no prefix matched.",
        ),
        (
            pytarn.bulk_aggregate,
            "bulk_aggregate(prefixes) -> list\n\nAggregate a list of networks to a minimal "
            "covering set. Returns a new list; the input is not modified.",
        ),
        (
            pytarn.bulk_sort,
            "bulk_sort(prefixes, order) -> list\n\nSort a list of networks in the specified "
            "order (SORT_NETWORK_ASC or SORT_PFXLEN_DESC). Returns a new list; the input is not "
            "modified.",
        ),
        (
            pytarn.bulk_contains_packed,
            "bulk_contains_packed(mv, prefixes, family) -> list\n\nAccept a memoryview of packed "
            "binary address data and return match indices against a prefix list. The memoryview "
            "must be 1-dimensional, C-contiguous, with element size 4 (AF_INET) or 16 (AF_INET6).",
        ),
    ],
    ids=lambda v: getattr(v, "__name__", "doc"),
)
def test_docstrings(fn, doc):
    assert fn.__doc__ == doc


# ---- every message the functions raise -----------------------------------


def _gen(*items):
    return (x for x in items)


ERROR_CASES = [
    # (id, function, args, exception, message or None for the interpreter's own)
    ("parse-not-iterable", pytarn.bulk_parse, (5,), TypeError, "argument must be a list or tuple"),
    ("parse-non-str", pytarn.bulk_parse, (["1.2.3.4", 5],), pytarn.InvalidArgumentError,
     "all items must be strings"),
    ("parse-bytes-item", pytarn.bulk_parse, ([b"1.2.3.4"],), pytarn.InvalidArgumentError,
     "all items must be strings"),
    ("parse-mixed-families", pytarn.bulk_parse, (["10.0.0.1", "::1"],), pytarn.FamilyError,
     "address family mismatch"),
    ("parse-mixed-and-bogus", pytarn.bulk_parse, (["10.0.0.1", "bogus", "::1"],),
     pytarn.FamilyError, "address family mismatch"),
    # A failure names the first failed item, so one bad row in a million can be found.
    ("parse-bogus", pytarn.bulk_parse, (["10.0.0.1", "bogus"],), pytarn.ParseError,
     "invalid address at index 1: 'bogus'"),
    ("parse-empty-string", pytarn.bulk_parse, ([""],), pytarn.ParseError,
     "invalid address at index 0: ''"),
    ("parse-bad-errors-value", lambda: pytarn.bulk_parse(["10.0.0.1"], errors="ignore"), (),
     pytarn.InvalidArgumentError, "errors must be 'raise' or 'none'"),
    ("parse-errors-none-still-one-family", lambda: pytarn.bulk_parse(["10.0.0.1", "x", "::1"],
     errors="none"), (), pytarn.FamilyError, "address family mismatch"),
    # Text is never cut at a NUL character: the item fails as a whole...
    ("parse-nul-alone", pytarn.bulk_parse, (["10.0.0.1\x00"],), pytarn.ParseError,
     "invalid address at index 0: '10.0.0.1\\x00'"),
    # ...and so cannot set the batch's family: a parse error, not a mismatch.
    ("parse-nul-then-v6", pytarn.bulk_parse, (["10.0.0.1\x00x", "::1"],), pytarn.ParseError,
     "invalid address at index 0: '10.0.0.1\\x00x'"),
    ("parse-v6-nul", pytarn.bulk_parse, (["::1", "::2\x00"],), pytarn.ParseError,
     "invalid address at index 1: '::2\\x00'"),
    ("parse-lone-surrogate", pytarn.bulk_parse, (["10.0.0.1", "\ud800"],), UnicodeEncodeError,
     None),
    # Items are taken in order: the non-str comes first here.
    ("parse-non-str-before-surrogate", pytarn.bulk_parse, ([1, "\ud800"],),
     pytarn.InvalidArgumentError, "all items must be strings"),
    ("parse-no-args", pytarn.bulk_parse, (), TypeError, None),
    ("contains-addrs-not-iterable", pytarn.bulk_contains, (5, []), TypeError,
     "argument must be a list or tuple"),
    ("contains-prefixes-not-iterable", pytarn.bulk_contains, ([], None), TypeError,
     "argument must be a list or tuple"),
    ("contains-str-address", pytarn.bulk_contains, (["10.1.2.3"], []), pytarn.FamilyError,
     "all items must be IPv4Address or IPv6Address"),
    ("contains-network-as-address", pytarn.bulk_contains, ([N4("10.0.0.0/8")], []),
     pytarn.FamilyError, "all items must be IPv4Address or IPv6Address"),
    ("contains-mixed-addrs", pytarn.bulk_contains, ([A4("10.0.0.1"), A6("::1")], []),
     pytarn.FamilyError, "mixed IPv4 and IPv6 addresses"),
    ("contains-later-non-address", pytarn.bulk_contains, ([A4("10.0.0.1"), None], []),
     pytarn.FamilyError, "mixed IPv4 and IPv6 addresses"),
    ("contains-str-network", pytarn.bulk_contains, ([A4("10.0.0.1")], ["10.0.0.0/8"]),
     pytarn.FamilyError, "all items must be IPv4Network or IPv6Network"),
    ("contains-mixed-networks", pytarn.bulk_contains,
     ([A4("10.0.0.1")], [N4("10.0.0.0/8"), N6("::/0")]), pytarn.FamilyError,
     "mixed IPv4 and IPv6 networks"),
    ("contains-later-address-as-network", pytarn.bulk_contains,
     ([], _gen(N6("::/0"), A6("::1"))), pytarn.FamilyError, "mixed IPv4 and IPv6 networks"),
    ("contains-v4-addrs-v6-nets", pytarn.bulk_contains, ([A4("10.1.2.3")], [N6("::/0")]),
     pytarn.FamilyError, "address family mismatch between addrs and prefixes"),
    ("contains-v6-addrs-v4-nets", pytarn.bulk_contains, ((A6("::1"),), (N4("0.0.0.0/0"),)),
     pytarn.FamilyError, "address family mismatch between addrs and prefixes"),
    ("aggregate-not-iterable", pytarn.bulk_aggregate, (None,), TypeError,
     "argument must be a list or tuple"),
    ("aggregate-addresses", pytarn.bulk_aggregate, ([A4("1.2.3.4")],), pytarn.FamilyError,
     "all items must be IPv4Network or IPv6Network"),
    ("aggregate-mixed", pytarn.bulk_aggregate, ([N6("::/0"), N4("0.0.0.0/0")],),
     pytarn.FamilyError, "mixed IPv4 and IPv6 networks"),
    ("sort-order-2", pytarn.bulk_sort, ([N4("10.0.0.0/8")], 2), pytarn.InvalidArgumentError,
     "invalid argument"),
    ("sort-order-negative", pytarn.bulk_sort, ([N4("10.0.0.0/8")], -1),
     pytarn.InvalidArgumentError, "invalid argument"),
    ("sort-order-not-c-int", pytarn.bulk_sort, ([N4("10.0.0.0/8")], 2**40), OverflowError, None),
    ("sort-order-missing", pytarn.bulk_sort, ([N4("10.0.0.0/8")],), TypeError, None),
    ("sort-mixed", pytarn.bulk_sort, ([N4("10.0.0.0/8"), N6("::/0")], 0), pytarn.FamilyError,
     "mixed IPv4 and IPv6 networks"),
    ("packed-family-5", pytarn.bulk_contains_packed, (b"\x0a\x00\x00\x01", [], 5),
     pytarn.InvalidArgumentError, "family must be AF_INET or AF_INET6"),
    # The family is checked before the buffer is even requested.
    ("packed-family-before-buffer", pytarn.bulk_contains_packed, (5, [], 0),
     pytarn.InvalidArgumentError, "family must be AF_INET or AF_INET6"),
    ("packed-no-buffer", pytarn.bulk_contains_packed, (5, [], 4), TypeError, None),
    ("packed-bytes-partial-address", pytarn.bulk_contains_packed,
     (b"\x0a\x00\x00\x01\x00", [N4("10.0.0.0/8")], 4), pytarn.InvalidArgumentError,
     "packed IPv4 addresses take 4 bytes each; the buffer holds 5 bytes"),
    # Native-order integers are refused: their bytes look the same whether they
    # hold numbers or network-order bytes cast to "I", so any guess is wrong for
    # somebody.
    ("packed-native-uint32", pytarn.bulk_contains_packed,
     (memoryview(bytes(16)).cast("I"), [], 4), pytarn.InvalidArgumentError, not_packed("I", 4)),
    ("packed-v6-native-uint32", pytarn.bulk_contains_packed,
     (memoryview(bytes(16)).cast("I"), [], 6), pytarn.InvalidArgumentError, not_packed("I", 6)),
    ("packed-uint64", pytarn.bulk_contains_packed,
     (memoryview(bytes(16)).cast("Q"), [], 4), pytarn.InvalidArgumentError, not_packed("Q", 4)),
    ("packed-float", pytarn.bulk_contains_packed, (array.array("f", [1.0]), [], 4),
     pytarn.InvalidArgumentError, not_packed("f", 4)),
    ("packed-ctypes-struct", pytarn.bulk_contains_packed, ((Packed16 * 2)(), [], 6),
     pytarn.InvalidArgumentError, not_packed("T{(16)<B:b:}", 6)),
    ("packed-big-endian-uint32-for-v6", pytarn.bulk_contains_packed,
     ((ctypes.c_uint32.__ctype_be__ * 4)(), [], 6), pytarn.InvalidArgumentError,
     not_packed(">I", 6)),
    ("packed-16-byte-items-for-v4", pytarn.bulk_contains_packed,
     (((ctypes.c_char * 16) * 1)(), [], 4), pytarn.InvalidArgumentError,
     "memoryview must be 1-dimensional"),
    ("packed-2d", pytarn.bulk_contains_packed, (memoryview(bytes(24)).cast("B", (2, 12)), [], 4),
     pytarn.InvalidArgumentError, "memoryview must be 1-dimensional"),
    ("packed-0d", pytarn.bulk_contains_packed,
     (memoryview(b"\x0a").cast("B", ()), [], 4), pytarn.InvalidArgumentError,
     "memoryview must be 1-dimensional"),
    ("packed-strided", pytarn.bulk_contains_packed,
     (memoryview(bytes(32))[::2], [], 4), pytarn.InvalidArgumentError,
     "memoryview must be C-contiguous"),
    ("packed-reversed", pytarn.bulk_contains_packed,
     (memoryview(bytes(32))[::-1], [], 4), pytarn.InvalidArgumentError,
     "memoryview must be C-contiguous"),
    ("packed-empty-v6-nets", pytarn.bulk_contains_packed, (b"", [N6("::/0")], 4),
     pytarn.FamilyError, "prefix family does not match requested address family"),
    ("packed-v4-nets-for-v6", pytarn.bulk_contains_packed,
     (bytes(4), [N4("0.0.0.0/0")], 6), pytarn.InvalidArgumentError,
     "packed IPv6 addresses take 16 bytes each; the buffer holds 4 bytes"),
    ("packed-prefixes-not-iterable", pytarn.bulk_contains_packed, (b"", 7, 4), TypeError,
     "argument must be a list or tuple"),
    ("packed-prefix-is-address", pytarn.bulk_contains_packed, (b"", [A4("1.2.3.4")], 4),
     pytarn.FamilyError, "all items must be IPv4Network or IPv6Network"),
]


@pytest.mark.parametrize(
    "fn, args, exc, message", [c[1:] for c in ERROR_CASES], ids=[c[0] for c in ERROR_CASES]
)
def test_errors(fn, args, exc, message):
    with pytest.raises(exc) as info:
        fn(*args)
    if message is not None:
        assert str(info.value) == message


# ---- bulk_parse -----------------------------------------------------------------


@pytest.mark.parametrize(
    "srcs, want",
    [
        ([], []),
        ((), []),
        (["10.0.0.1"], [A4("10.0.0.1")]),
        (("::1", "2001:db8::1"), [A6("::1"), A6("2001:db8::1")]),
        (_gen("1.2.3.4", "5.6.7.8"), [A4("1.2.3.4"), A4("5.6.7.8")]),
        (iter(["255.255.255.255"]), [A4("255.255.255.255")]),
        ([SubStr("192.0.2.1")], [A4("192.0.2.1")]),
        (["::ffff:1.2.3.4"], [A6("::ffff:1.2.3.4")]),
    ],
    ids=["empty-list", "empty-tuple", "one-v4", "tuple-v6", "generator", "iterator",
         "str-subclass", "v4-mapped"],
)
def test_parse_results(srcs, want):
    got = pytarn.bulk_parse(srcs)
    assert type(got) is list
    assert [type(a) for a in got] == [type(a) for a in want]
    assert [a.packed for a in got] == [a.packed for a in want]


@given(
    st.sampled_from([4, 6]).flatmap(
        lambda v: st.lists(st.integers(0, 2 ** BITS[v] - 1), max_size=40).map(
            lambda xs: [ipaddress.ip_address(x) if v == 4 else ipaddress.IPv6Address(x)
                        for x in xs]
        )
    )
)
@settings(deadline=None)
def test_parse_agrees_with_ipaddress(std_addrs):
    texts = [str(a) for a in std_addrs]
    got = pytarn.bulk_parse(texts)
    assert [a.packed for a in got] == [a.packed for a in std_addrs]
    assert all(type(a) is ADDR[s.version] for a, s in zip(got, std_addrs))


@given(
    st.lists(st.integers(0, 2**32 - 1), min_size=1, max_size=20),
    st.integers(0, 20),
    st.sampled_from(["bogus", "1.2.3", "1.2.3.4.5", "", " 1.2.3.4", "1.2.3.4\x00"]),
)
@settings(deadline=None)
def test_parse_one_failure_anywhere_fails_the_batch(addrs, where, bad):
    texts = [str(ipaddress.IPv4Address(a)) for a in addrs]
    where = min(where, len(texts))
    texts.insert(where, bad)
    err = raises_exactly(pytarn.ParseError, f"invalid address at index {where}: {bad!r}",
                         pytarn.bulk_parse, texts)
    assert (err.index, err.text, err.reason) == (where, bad, "parse error")
    # errors="none" keeps the rest of the batch, with None where the item failed.
    got = pytarn.bulk_parse(texts, errors="none")
    assert got[where] is None
    assert [str(a) for i, a in enumerate(got) if i != where] == [
        str(ipaddress.IPv4Address(a)) for a in addrs]


@given(
    st.lists(st.integers(0, 2**32 - 1), min_size=1, max_size=20),
    st.integers(0, 20),
    st.booleans(),
)
@settings(deadline=None)
def test_parse_family_mismatch_outranks_failure(addrs, where, with_bogus):
    texts = [str(ipaddress.IPv4Address(a)) for a in addrs]
    texts.insert(min(where, len(texts)), "2001:db8::1")
    if with_bogus:
        texts.append("bogus")
    raises_exactly(pytarn.FamilyError, "address family mismatch", pytarn.bulk_parse, texts)


# ---- bulk_contains --------------------------------------------------------------


@pytest.mark.parametrize(
    "addrs, nets, want",
    [
        (["10.1.2.3"], ["10.0.0.0/8", "10.1.0.0/16"], [0]),
        # First match in list order, not the longest one.
        (["10.1.2.3"], ["10.1.0.0/16", "10.0.0.0/8"], [0]),
        (["10.1.2.3", "11.0.0.1"], ["11.0.0.0/8", "10.0.0.0/8"], [1, 0]),
        (["10.1.2.3"], [], [-1]),
        ([], ["10.0.0.0/8"], []),
        ([], [], []),
        (["255.255.255.255", "0.0.0.0"], ["255.255.255.255/32", "0.0.0.0/0"], [0, 1]),
        (["::1", "2001:db8::1"], ["2001:db8::/32", "::1/128"], [1, 0]),
        (["::1"], ["::/0", "::1/128"], [0]),
    ],
    ids=["example", "first-not-longest", "two", "no-networks", "no-addrs", "both-empty",
         "host-route-and-default", "v6", "v6-first-not-longest"],
)
def test_contains_results(addrs, nets, want):
    def mk_a(t):
        return A6(t) if ":" in t else A4(t)

    def mk_n(t):
        return N6(t) if ":" in t else N4(t)

    assert pytarn.bulk_contains([mk_a(a) for a in addrs], [mk_n(n) for n in nets]) == want
    # Tuples and generators as inputs answer the same.
    assert pytarn.bulk_contains(tuple(map(mk_a, addrs)), (mk_n(n) for n in nets)) == want


def test_contains_empty_addrs_skip_family_check():
    assert pytarn.bulk_contains([], [N6("::/0")]) == []
    assert pytarn.bulk_contains([A6("::1")], []) == [-1]


@given(st.sampled_from([4, 6]).flatmap(
    lambda v: network_lists(v).flatmap(
        lambda nets: st.tuples(st.just(v), st.just(nets), addresses_near(v, nets)))))
@settings(deadline=None)
def test_contains_is_linear_first_match(case):
    version, nets, addrs = case
    want = []
    for a in addrs:
        std = ipaddress.ip_address(a) if version == 4 else ipaddress.IPv6Address(a)
        want.append(next((i for i, n in enumerate(nets) if std in n), -1))
    got = pytarn.bulk_contains([ADDR[version](a) for a in addrs], [to_pytarn(n) for n in nets])
    assert got == want


# ---- bulk_aggregate ----------------------------------------------------------------


def test_aggregate_example_leaves_input_alone():
    a, b = N4("10.0.0.0/24"), N4("10.0.1.0/24")
    nets = [a, b]
    got = pytarn.bulk_aggregate(nets)
    assert [nkey(n) for n in got] == [(bytes([10, 0, 0, 0]), 23)]
    assert nets[0] is a and nets[1] is b and len(nets) == 2
    assert nkey(a) == (bytes([10, 0, 0, 0]), 24) and nkey(b) == (bytes([10, 0, 1, 0]), 24)


@pytest.mark.parametrize("arg", [[], (), iter([])], ids=["list", "tuple", "iterator"])
def test_aggregate_and_sort_of_nothing(arg):
    assert pytarn.bulk_aggregate(arg) == []
    # The order is not examined for an empty list.
    assert pytarn.bulk_sort(list(arg), 2) == []


AGGREGATE_EDGES = [
    # (id, networks, expected)
    ("whole-space-swallows-all", ["0.0.0.0/0", "255.255.255.255/32", "10.0.0.0/8"],
     ["0.0.0.0/0"]),
    ("top-halves-merge-to-zero", ["0.0.0.0/1", "128.0.0.0/1"], ["0.0.0.0/0"]),
    ("duplicates", ["10.0.0.0/8", "10.0.0.0/8"], ["10.0.0.0/8"]),
    ("host-routes-at-top", ["255.255.255.254/32", "255.255.255.255/32"], ["255.255.255.254/31"]),
    ("cascade", ["10.0.0.3/32", "10.0.0.2/32", "10.0.0.0/31"], ["10.0.0.0/30"]),
    ("non-siblings-stay", ["10.0.1.0/24", "10.0.2.0/24"], ["10.0.1.0/24", "10.0.2.0/24"]),
    ("v6-top", ["ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/128",
                "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"],
     ["ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127"]),
    ("v6-halves", ["8000::/1", "::/1", "::1/128"], ["::/0"]),
]


@pytest.mark.parametrize("nets, want", [c[1:] for c in AGGREGATE_EDGES],
                         ids=[c[0] for c in AGGREGATE_EDGES])
def test_aggregate_edges(nets, want):
    got = pytarn.bulk_aggregate([to_pytarn(ipaddress.ip_network(n)) for n in nets])
    assert [nkey(n) for n in got] == [nkey(ipaddress.ip_network(n)) for n in want]


@VERSIONS
@given(data=st.data())
@settings(deadline=None)
def test_aggregate_matches_collapse_addresses(version, data):
    nets = data.draw(network_lists(version))
    want = list(ipaddress.collapse_addresses(nets))
    got = pytarn.bulk_aggregate([to_pytarn(n) for n in nets])
    assert [nkey(n) for n in got] == [nkey(n) for n in want]
    assert all(type(n) is NET[version] for n in got)


# ---- bulk_sort -----------------------------------------------------------------------


@VERSIONS
@given(data=st.data())
@settings(deadline=None)
def test_sort_matches_sorted(version, data):
    nets = data.draw(network_lists(version))
    objs = [to_pytarn(n) for n in nets]
    keys = [nkey(n) for n in nets]  # packed bytes order numerically within a family
    asc = pytarn.bulk_sort(objs, pytarn.SORT_NETWORK_ASC)
    assert [nkey(n) for n in asc] == sorted(keys)
    # Python's sort is stable, so duplicates must come out where it puts them.
    desc = pytarn.bulk_sort(objs, pytarn.SORT_PFXLEN_DESC)
    assert [nkey(n) for n in desc] == sorted(keys, key=lambda k: (-k[1], k[0]))
    assert [nkey(n) for n in objs] == keys  # input untouched


def test_sort_descending_keeps_address_order_within_a_length():
    nets = [N4("10.0.0.0/8"), N4("9.0.0.0/8"), N4("10.0.0.0/16"), N4("10.0.0.0/8")]
    got = pytarn.bulk_sort(nets, pytarn.SORT_PFXLEN_DESC)
    assert [str(n) for n in got] == ["10.0.0.0/16", "9.0.0.0/8", "10.0.0.0/8", "10.0.0.0/8"]
    assert all(g is not n for g in got for n in nets)  # new objects


# ---- subclasses in, base types out -------------------------------------------------


@pytest.mark.parametrize(
    "call, want_type",
    [
        (lambda: pytarn.bulk_sort([SubN4("10.0.0.0/8"), SubN4("9.0.0.0/8")], 0), N4),
        (lambda: pytarn.bulk_aggregate((SubN6("::/1"), SubN6("8000::/1"))), N6),
        (lambda: pytarn.bulk_parse([SubStr("::1")]), A6),
    ],
    ids=["sort", "aggregate", "parse"],
)
def test_subclass_inputs_give_base_types(call, want_type):
    got = call()
    assert got and all(type(x) is want_type for x in got)


def test_subclass_inputs_accepted_by_contains():
    assert pytarn.bulk_contains([SubA4("10.1.2.3"), A4("1.1.1.1")],
                                [N4("1.0.0.0/8"), SubN4("10.0.0.0/8")]) == [1, 0]
    assert pytarn.bulk_contains([SubA6("::1")], [SubN6("::/0")]) == [0]
    buf = bytes([10, 1, 2, 3])
    assert pytarn.bulk_contains_packed(buf, [SubN4("10.0.0.0/8")], pytarn.AF_INET) == [0]


# ---- bulk_contains_packed ------------------------------------------------------------


V4_ADDRS = [bytes([10, 0, 0, 1]), bytes([192, 168, 1, 1]), bytes([8, 8, 8, 8]),
            bytes([255, 255, 255, 255])]
V4_NETS = ["10.0.0.0/8", "192.168.0.0/16", "255.255.255.255/32"]
V4_WANT = [0, 1, -1, 2]
V6_ADDRS = [ipaddress.IPv6Address(t).packed
            for t in ["2001:db8::1", "::1", "fe80::1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"]]
V6_NETS = ["2001:db8::/32", "::1/128", "ff00::/8"]
V6_WANT = [0, 1, -1, 2]


def _big_endian_u32(raw):
    words = (ctypes.c_uint32.__ctype_be__ * (len(raw) // 4))()
    ctypes.memmove(words, raw, len(raw))  # network order is big-endian: the bytes as they are
    return words


def _byte_rows(raw, width):
    return ((ctypes.c_ubyte * width) * (len(raw) // width)).from_buffer_copy(raw)


PACKED_CASES = [
    # (id, family, buffer factory from raw bytes, expected slice of WANT)
    ("bytes", 4, lambda raw: raw, slice(None)),
    ("bytearray", 4, bytearray, slice(None)),
    ("array-B", 4, lambda raw: array.array("B", raw), slice(None)),
    ("array-b", 4, lambda raw: array.array("b", raw), slice(None)),
    ("memoryview-c", 4, lambda raw: memoryview(raw).cast("c"), slice(None)),
    ("big-endian-uint32", 4, _big_endian_u32, slice(None)),
    ("read-only", 4, lambda raw: memoryview(bytearray(raw)).toreadonly(), slice(None)),
    ("offset-slice", 4, lambda raw: memoryview(raw)[4:], slice(1, None)),
    ("contiguous-step-1", 4, lambda raw: memoryview(raw)[::1], slice(None)),
    ("rows-of-4-bytes", 4, lambda raw: _byte_rows(raw, 4), slice(None)),
    ("bytes-v6", 6, lambda raw: raw, slice(None)),
    ("rows-of-16-bytes", 6, lambda raw: _byte_rows(raw, 16), slice(None)),
    ("rows-read-only-view", 6, lambda raw: memoryview(_byte_rows(raw, 16)).toreadonly(),
     slice(None)),
    ("rows-offset-slice", 6, lambda raw: memoryview(_byte_rows(raw, 16))[2:], slice(2, None)),
]


@pytest.mark.parametrize(
    "family, make, part", [c[1:] for c in PACKED_CASES], ids=[c[0] for c in PACKED_CASES]
)
def test_packed_buffers(family, make, part):
    addrs, nets, want = (V4_ADDRS, V4_NETS, V4_WANT) if family == 4 else (V6_ADDRS, V6_NETS,
                                                                        V6_WANT)
    buf = make(b"".join(addrs))
    got = pytarn.bulk_contains_packed(buf, [NET[family](n) for n in nets], family)
    assert got == want[part]
    # Same answer as the object form.
    objs = [ADDR[family](a) for a in addrs][part]
    assert got == pytarn.bulk_contains(objs, [NET[family](n) for n in nets])


@pytest.mark.parametrize(
    "buf, nets, family",
    [
        (b"", [], 4),
        (b"", [N4("0.0.0.0/0")], 4),
        (bytearray(), [N6("::/0")], 6),
        (memoryview(b"").cast("c"), [N4("0.0.0.0/0")], 4),
        (array.array("B"), [], 6),
    ],
    ids=["bytes", "bytes-v4-nets", "bytearray-v6", "cast", "array-B"],
)
def test_packed_empty(buf, nets, family):
    assert pytarn.bulk_contains_packed(buf, nets, family) == []


def test_packed_no_networks_gives_minus_one():
    buf = b"".join(V4_ADDRS)
    assert pytarn.bulk_contains_packed(buf, [], 4) == [-1] * len(V4_ADDRS)
    assert pytarn.bulk_contains_packed(buf, (n for n in []), pytarn.AF_INET) == [-1] * 4


def test_packed_buffer_released_on_every_path():
    # A bytearray cannot be resized while a buffer export is outstanding.
    raw = bytearray(b"\x0a\x00\x00\x01")
    cases = [
        ([N4("10.0.0.0/8")], 4, None),
        ([N6("::/0")], 4, pytarn.FamilyError),
        ([A4("1.2.3.4")], 4, pytarn.FamilyError),
        (None, 4, TypeError),
        ([], 6, pytarn.InvalidArgumentError),
    ]
    for nets, family, exc in cases:
        if exc is None:
            assert pytarn.bulk_contains_packed(raw, nets, family) == [0]
        else:
            with pytest.raises(exc):
                pytarn.bulk_contains_packed(raw, nets, family)
    with memoryview(raw) as view, pytest.raises(pytarn.InvalidArgumentError):
        pytarn.bulk_contains_packed(view.cast("I"), [], 4)  # native order: refused
    raw.extend(b"\x00" * 4)
    assert len(raw) == 8
