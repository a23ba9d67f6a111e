"""Tests of PrefixIndex: construction, longest-prefix-match lookup against a
linear reference, the context-manager lifecycle and its failure messages."""

import ipaddress
import random

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
VERSIONS = pytest.mark.parametrize("version", [4, 6], ids=["v4", "v6"])


class SubN4(pytarn.IPv4Network):
    pass


class SubA4(pytarn.IPv4Address):
    pass


class SubIndex(pytarn.PrefixIndex):
    pass


def nkey(net):
    return (net.network_address.packed, net.prefixlen)


def linear_longest(nets, addr):
    """Position of the longest network containing `addr`, or -1 (the first of
    equal networks; callers compare networks, not positions, for those)."""
    best = -1
    for i, n in enumerate(nets):
        if addr in n and (best < 0 or n.prefixlen > nets[best].prefixlen):
            best = i
    return best


def check_lookup(std_nets, int_addrs, version):
    """Build an index over `std_nets`, look up `int_addrs`, and compare every
    answer with the linear reference: the same network (equal networks may
    report any of their positions), or -1 exactly when nothing matches."""
    idx = pytarn.PrefixIndex([NET[version](str(n)) for n in std_nets])
    got = idx.lookup([ADDR[version](a) for a in int_addrs])
    assert len(got) == len(int_addrs)
    for a, pos in zip(int_addrs, got):
        want = linear_longest(std_nets, ipaddress.ip_address(a) if version == 4
                              else ipaddress.IPv6Address(a))
        if want < 0:
            assert pos == -1, a
        else:
            assert 0 <= pos < len(std_nets) and std_nets[pos] == std_nets[want], a


def random_table(rng, version, count):
    """Random networks with the cases that trip tries: /0, host routes, the
    top of the space, nested chains and duplicates."""
    bits = BITS[version]
    net = STD_NET[version]
    nets = [net((0, 0)), net((2**bits - 1, bits)), net((0, bits))]
    base = rng.getrandbits(bits)
    for plen in range(1, bits + 1, max(1, bits // 16)):  # a nested chain
        nets.append(net((base, plen), strict=False))
    while len(nets) < count:
        plen = rng.choice([rng.randint(0, bits), rng.randint(bits - 12, bits)])
        nets.append(net((rng.getrandbits(bits), plen), strict=False))
    nets += rng.sample(nets, min(5, len(nets)))
    rng.shuffle(nets)
    return nets


def random_addrs(rng, version, nets, count):
    bits = BITS[version]
    out = []
    for _ in range(count):
        if rng.random() < 0.7:
            n = rng.choice(nets)
            out.append(int(n.network_address) + rng.randrange(n.num_addresses))
        else:
            out.append(rng.getrandbits(bits))
    return out


# ---- the type itself -------------------------------------------------------


@pytest.mark.parametrize(
    "obj, doc",
    [
        (pytarn.PrefixIndex, "PrefixIndex(networks) -> PrefixIndex\n\nWrap a pytarn LC-trie "
         "prefix index for longest-prefix-match lookup."),
        (pytarn.PrefixIndex.lookup, "lookup(addrs) -> list[int]\n\nReturn the "
         "longest-prefix-match index for each address, or -1 if no prefix matched."),
        (pytarn.PrefixIndex.__enter__, "__enter__() -> self\n\nReturn self so PrefixIndex may "
         "be used as a context manager."),
        (pytarn.PrefixIndex.__exit__, "__exit__(exc_type, exc, tb) -> bool\n\nRelease the "
         "underlying index and return False so exceptions are not suppressed."),
    ],
    ids=["type", "lookup", "enter", "exit"],
)
def test_docstrings(obj, doc):
    assert obj.__doc__ == doc


# ---- failures ------------------------------------------------------------------


def _live_v4():
    return pytarn.PrefixIndex([N4("10.0.0.0/8")])


def _released_v4():
    idx = _live_v4()
    idx.__exit__(None, None, None)
    return idx


ERROR_CASES = [
    # (id, call, exception, message or None for the interpreter's own)
    ("new-no-args", lambda: pytarn.PrefixIndex(), TypeError, None),
    ("new-two-args", lambda: pytarn.PrefixIndex([N4("10.0.0.0/8")], 1), TypeError, None),
    ("new-networks-by-keyword", lambda: pytarn.PrefixIndex(networks=[N4("10.0.0.0/8")]),
     TypeError, None),
    ("new-not-iterable", lambda: pytarn.PrefixIndex(5), TypeError,
     "argument must be a list or tuple"),
    ("new-empty-list", lambda: pytarn.PrefixIndex([]), pytarn.InvalidArgumentError,
     "PrefixIndex requires at least one prefix"),
    ("new-empty-tuple", lambda: pytarn.PrefixIndex(()), pytarn.InvalidArgumentError,
     "PrefixIndex requires at least one prefix"),
    ("new-empty-generator", lambda: pytarn.PrefixIndex(n for n in []),
     pytarn.InvalidArgumentError, "PrefixIndex requires at least one prefix"),
    ("new-str-items", lambda: pytarn.PrefixIndex(["10.0.0.0/8"]), pytarn.FamilyError,
     "all items must be IPv4Network or IPv6Network"),
    ("new-address-items", lambda: pytarn.PrefixIndex([A4("10.0.0.0")]), pytarn.FamilyError,
     "all items must be IPv4Network or IPv6Network"),
    # Both families may share a table; anything that is no network may not.
    ("new-address-among-networks", lambda: pytarn.PrefixIndex([N4("10.0.0.0/8"), A4("10.0.0.1")]),
     pytarn.FamilyError, "all items must be IPv4Network or IPv6Network"),
    ("new-later-non-network", lambda: pytarn.PrefixIndex([N6("::/0"), None]),
     pytarn.FamilyError, "all items must be IPv4Network or IPv6Network"),
    ("lookup-released", lambda: _released_v4().lookup([A4("10.0.0.1")]),
     pytarn.InvalidArgumentError, "index has been destroyed"),
    # Checked before the argument is parsed or converted.
    ("lookup-released-empty", lambda: _released_v4().lookup([]), pytarn.InvalidArgumentError,
     "index has been destroyed"),
    ("lookup-released-bad-arg", lambda: _released_v4().lookup(5), pytarn.InvalidArgumentError,
     "index has been destroyed"),
    ("lookup-released-no-arg", lambda: _released_v4().lookup(), pytarn.InvalidArgumentError,
     "index has been destroyed"),
    ("lookup-no-arg", lambda: _live_v4().lookup(), TypeError, None),
    ("lookup-not-iterable", lambda: _live_v4().lookup(5), TypeError,
     "argument must be a list or tuple"),
    ("lookup-str-items", lambda: _live_v4().lookup(["10.0.0.1"]), pytarn.FamilyError,
     "all items must be IPv4Address or IPv6Address"),
    ("lookup-mixed", lambda: _live_v4().lookup([A4("10.0.0.1"), A6("::1")]),
     pytarn.FamilyError, "mixed IPv4 and IPv6 addresses"),
    ("lookup-other-family", lambda: _live_v4().lookup([A6("::1")]), pytarn.FamilyError,
     "address family mismatch"),
    ("exit-no-args", lambda: _live_v4().__exit__(), TypeError, None),
    ("exit-two-args", lambda: _live_v4().__exit__(None, None), TypeError, None),
    ("enter-with-arg", lambda: _live_v4().__enter__(1), TypeError, None),
]


@pytest.mark.parametrize("call, exc, message", [c[1:] for c in ERROR_CASES],
                         ids=[c[0] for c in ERROR_CASES])
def test_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_exit_with_wrong_arguments_keeps_the_index():
    idx = _live_v4()
    with pytest.raises(TypeError):
        idx.__exit__(None, None)
    assert idx.lookup([A4("10.1.2.3")]) == [0]


# ---- lookup results ------------------------------------------------------------


def test_example_lookup_and_repr():
    idx = pytarn.PrefixIndex([N4("10.0.0.0/8"), N4("10.1.0.0/16")])
    assert idx.lookup([A4("10.1.2.3"), A4("10.2.0.0"), A4("11.0.0.1")]) == [1, 0, -1]
    assert repr(idx) == "PrefixIndex(2 prefixes, family=IPv4)"
    assert repr(pytarn.PrefixIndex([N6("2001:db8::/32")])) == "PrefixIndex(1 prefixes, family=IPv6)"


@pytest.mark.parametrize(
    "nets, addrs, want",
    [
        # Equal networks: the position the index reports is pinned (the last
        # of the equal records here, not the first).
        (["20.0.0.0/8", "10.0.0.0/8", "10.0.0.0/8"], ["10.1.2.3"], [2]),
        (["0.0.0.0/0"], ["0.0.0.0", "255.255.255.255"], [0, 0]),
        (["255.255.255.255/32", "0.0.0.0/0"], ["255.255.255.255", "255.255.255.254"], [0, 1]),
        (["0.0.0.0/32"], ["0.0.0.0", "0.0.0.1"], [0, -1]),
        (["10.0.0.0/8", "10.1.0.0/16", "10.1.2.0/24", "10.1.2.3/32"],
         ["10.1.2.3", "10.1.2.4", "10.1.3.0", "10.2.0.0", "9.255.255.255"], [3, 2, 1, 0, -1]),
        (["::/0", "2001:db8::/32", "2001:db8::1/128"], ["2001:db8::1", "2001:db8::2", "::1"],
         [2, 1, 0]),
        (["ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128", "8000::/1"],
         ["ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "8000::", "7fff::"], [0, 1, -1]),
    ],
    ids=["duplicates-position", "default-route", "host-route-at-top", "host-route-at-zero",
         "nested-chain", "v6-nested", "v6-top"],
)
def test_lookup_table(nets, addrs, want):
    def mk(cls4, cls6, t):
        return cls6(t) if ":" in t else cls4(t)

    idx = pytarn.PrefixIndex([mk(N4, N6, n) for n in nets])
    assert idx.lookup([mk(A4, A6, a) for a in addrs]) == want


@pytest.mark.parametrize(
    "make_nets, make_addrs",
    [
        (lambda ns: ns, lambda xs: xs),
        (tuple, tuple),
        (lambda ns: (n for n in ns), lambda xs: (x for x in xs)),
        (lambda ns: [SubN4(str(n)) for n in ns], lambda xs: [SubA4(str(x)) for x in xs]),
    ],
    ids=["lists", "tuples", "generators", "subclasses"],
)
def test_input_kinds(make_nets, make_addrs):
    nets = [N4("10.0.0.0/8"), N4("10.1.0.0/16")]
    addrs = [A4("10.1.2.3"), A4("10.2.0.0"), A4("11.0.0.1")]
    idx = pytarn.PrefixIndex(make_nets(nets))
    got = idx.lookup(make_addrs(addrs))
    assert got == [1, 0, -1] and all(type(x) is int for x in got)


def test_lookup_empty_skips_family_check():
    idx = _live_v4()
    assert idx.lookup([]) == []
    assert idx.lookup(()) == []


def test_keyword_arguments_are_ignored():
    idx = pytarn.PrefixIndex([N4("10.0.0.0/8")], bogus=1)
    assert idx.lookup([A4("10.9.9.9")]) == [0]


def test_subclass_of_the_index():
    idx = SubIndex([N4("10.0.0.0/8")])
    assert type(idx) is SubIndex
    idx.note = "subclass instances get a __dict__"
    with idx as same:
        assert same is idx and same.lookup([A4("10.0.0.1")]) == [0]
    assert repr(idx) == "PrefixIndex(1 prefixes, family=IPv4)"


@VERSIONS
@given(data=st.data())
@settings(deadline=None, max_examples=60)
def test_lookup_matches_linear_longest_match(version, data):
    bits = BITS[version]
    net = STD_NET[version]
    base = data.draw(st.sampled_from([0, 2**bits - 4096, 10 << (bits - 8)]))
    one = st.one_of(
        st.builds(lambda a, p: net((a, p), strict=False),
                  st.integers(0, 2**bits - 1), st.integers(0, bits)),
        st.builds(lambda a, p: net((base + a, p), strict=False),
                  st.integers(0, 4095), st.integers(bits - 13, bits)),
    )
    nets = data.draw(st.lists(one, min_size=1, max_size=40))
    nets += data.draw(st.lists(st.sampled_from(nets), max_size=4))  # duplicates
    inside = st.sampled_from(nets).flatmap(
        lambda n: st.integers(0, n.num_addresses - 1).map(lambda h: int(n.network_address) + h))
    addrs = data.draw(st.lists(st.one_of(inside, st.integers(0, 2**bits - 1)), max_size=40))
    check_lookup(nets, addrs, version)


@VERSIONS
@pytest.mark.parametrize("batch", [4095, 4096, 4097, 5000], ids=lambda n: f"n{n}")
def test_batches_around_the_stack_buffer(version, batch):
    rng = random.Random(1000 * version + batch)  # logged through the test id
    nets = random_table(rng, version, 60)
    addrs = random_addrs(rng, version, nets, batch)
    check_lookup(nets, addrs, version)


# ---- lifecycle -----------------------------------------------------------------


def test_with_statement_lifecycle():
    with pytarn.PrefixIndex([N4("10.0.0.0/8"), N4("10.1.0.0/16")]) as idx:
        assert type(idx) is pytarn.PrefixIndex
        assert idx.lookup([A4("10.1.2.3")]) == [1]
    for arg in ([A4("10.1.2.3")], []):
        with pytest.raises(pytarn.InvalidArgumentError, match="^index has been destroyed$"):
            idx.lookup(arg)
    assert repr(idx) == "PrefixIndex(2 prefixes, family=IPv4)"
    assert idx.__enter__() is idx  # still works, changes nothing


def test_exception_inside_with_propagates():
    with pytest.raises(KeyError):
        with _live_v4() as idx:
            raise KeyError("inside")
    with pytest.raises(pytarn.InvalidArgumentError):
        idx.lookup([])


def test_exit_twice_returns_false():
    idx = _live_v4()
    assert idx.__exit__(None, None, None) is False
    assert idx.__exit__(None, None, None) is False
    assert idx.__exit__(1, "any", object()) is False


def test_exit_inside_the_argument_conversion():
    """The argument's own iterator releases the index mid-conversion: the
    lookup must notice and must not touch the freed index."""
    idx = pytarn.PrefixIndex([N4("10.0.0.0/8")])

    def addrs():
        yield A4("10.0.0.1")
        idx.__exit__(None, None, None)
        yield A4("10.0.0.2")

    with pytest.raises(pytarn.InvalidArgumentError) as info:
        idx.lookup(addrs())
    assert str(info.value) == "index has been destroyed"


def test_exit_inside_an_empty_argument_conversion():
    idx = pytarn.PrefixIndex([N6("::/0")])

    def nothing():
        idx.__exit__(None, None, None)
        yield from ()

    with pytest.raises(pytarn.InvalidArgumentError, match="^index has been destroyed$"):
        idx.lookup(nothing())



# ---- queries over the held prefixes ----------------------------------------


def check_pairs(pairs, std_nets, want_nets):
    """`pairs` names exactly `want_nets` in order, each under a position of an
    equal table entry."""
    assert [str(n) for n, _ in pairs] == [str(n) for n in want_nets]
    for net, pos in pairs:
        assert str(std_nets[pos]) == str(net)


@given(data=st.data())
@settings(deadline=None, max_examples=40)
def test_queries_match_brute_force_over_a_mixed_table(data):
    rng = random.Random(data.draw(st.integers(0, 2**32)))
    std_nets = random_table(rng, 4, rng.randint(1, 40)) + random_table(rng, 6, rng.randint(1, 40))
    rng.shuffle(std_nets)
    idx = pytarn.PrefixIndex([NET[n.version](str(n)) for n in std_nets])
    distinct = sorted(set(std_nets), key=lambda n: (n.version, n.network_address, n.prefixlen))

    assert len(idx) == len(std_nets)
    check_pairs(idx.prefixes(), std_nets, distinct)

    queries = [rng.choice(std_nets) for _ in range(10)]
    for version in (4, 6):
        bits = BITS[version]
        for _ in range(10):
            queries.append(STD_NET[version]((rng.getrandbits(bits), rng.randint(0, bits)),
                                            strict=False))
    for q in queries:
        pos = idx.exact(str(q))
        assert (pos >= 0) == (q in distinct) and (pos < 0 or std_nets[pos] == q)
        check_pairs(idx.covering(str(q)), std_nets,
                    sorted((n for n in distinct if n.version == q.version and q.subnet_of(n)),
                           key=lambda n: -n.prefixlen))
        check_pairs(idx.covered(str(q)), std_nets,
                    [n for n in distinct if n.version == q.version and n.subnet_of(q)])
    assert idx.exact_many([str(q) for q in queries]) == [idx.exact(str(q)) for q in queries]
    # The batched form, across its groups of 256 queries and both families.
    many = [str(q) for q in queries] * 20
    assert idx.covering_many(many) == [idx.covering(q) for q in many]

    # An address's covering list starts with what lookup answers for it.
    for version in (4, 6):
        for a in random_addrs(rng, version, [n for n in std_nets if n.version == version] or
                              [STD_NET[version]((0, 0))], 10):
            addr = ADDR[version](a)
            covering = idx.covering(addr)
            assert idx.lookup_array([addr]).tolist() == [covering[0][1] if covering else -1]


QUERY_CASES = [
    ("exact", "10.0.0.1/8", pytarn.HostBitsError),
    ("exact", "not an address", pytarn.ParseError),
    ("covering", "10.0.0.0/33", pytarn.PrefixLengthError),
    ("covering_many", ["10.0.0.0/8"] * 300 + ["10.0.0.0/33"], pytarn.PrefixLengthError),
    ("covering_many", None, TypeError),
    ("covered", None, TypeError),
    ("covered_many", 5, TypeError),
]


@pytest.mark.parametrize("method, arg, exc", QUERY_CASES)
def test_query_errors(method, arg, exc):
    with pytest.raises(exc):
        getattr(_live_v4(), method)(arg)


@pytest.mark.parametrize("method", ["prefixes", "exact", "covering", "covered", "covering_many"])
def test_queries_on_a_released_index(method):
    args = () if method == "prefixes" else ("10.0.0.0/8",)
    with pytest.raises(pytarn.InvalidArgumentError, match="index has been destroyed"):
        getattr(_released_v4(), method)(*args)
    assert len(_released_v4()) == 1


@pytest.mark.parametrize("enabled", [True, False])
def test_covering_many_leaves_the_collector_as_it_was(enabled):
    """covering_many holds the collector off while it builds its lists, and
    puts it back as it found it, after an error too."""
    import gc

    idx = _live_v4()
    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        assert idx.covering_many(["10.1.2.3"] * 1000) == [idx.covering("10.1.2.3")] * 1000
        assert gc.isenabled() is enabled
        with pytest.raises(pytarn.PrefixLengthError):
            idx.covering_many(["10.0.0.0/8"] * 300 + ["10.0.0.0/33"])
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


def test_queries_of_a_family_the_table_lacks():
    idx = _live_v4()
    assert (idx.exact("::/0"), idx.covering("::1"), idx.covered("::/0")) == (-1, [], [])
    assert idx.covering_many(["::1", "10.0.0.1", "::2"]) == [[], idx.covering("10.0.0.1"), []]


# --- PrefixIndex.from_strings: the same index from network text ----------------


def _random_texts(rng, n):
    """Network texts of both families, nested and duplicated, some bare
    addresses and some dotted masks."""
    out = []
    for _ in range(n):
        v = rng.choice((4, 6))
        bits = BITS[v]
        length = rng.randrange(bits + 1)
        net = STD_NET[v]((rng.getrandbits(bits) >> (bits - length) << (bits - length), length))
        r = rng.random()
        if r < 0.1 and out:
            out.append(rng.choice(out))
        elif r < 0.2 and length == bits:
            out.append(str(net.network_address))
        elif r < 0.3 and v == 4:
            out.append(net.with_netmask)
        else:
            out.append(str(net))
    return out


def _as_network(text):
    if "/" not in text:
        return pytarn.ip_network(text + ("/128" if ":" in text else "/32"))
    return pytarn.ip_network(text)


@pytest.mark.parametrize("seed", range(4))
def test_from_strings_agrees_with_the_network_constructor(seed):
    rng = random.Random(seed)
    texts = _random_texts(rng, rng.choice((1, 50, 3000)))
    want = pytarn.PrefixIndex([_as_network(t) for t in texts])
    got = pytarn.PrefixIndex.from_strings(texts)
    assert (len(got), got.prefixes()) == (len(want), want.prefixes())
    probes = [pytarn.ip_address(rng.getrandbits(BITS[v])) for v in (4, 6) for _ in range(500)]
    probes += [_as_network(t).network_address for t in texts]
    assert got.lookup_array(probes).tolist() == want.lookup_array(probes).tolist()


def test_from_strings_takes_arrow_columns():
    pa = pytest.importorskip("pyarrow")
    texts = _random_texts(random.Random(7), 400)
    want = pytarn.PrefixIndex.from_strings(texts).prefixes()
    columns = [
        pa.array(texts),
        pa.array(["junk"] + texts)[1:],  # an offset
        pa.chunked_array([pa.array(texts[:150]), pa.array(texts[150:])]),
        pa.array(texts, pa.large_string()),
        pa.array(texts, pa.string_view()),
    ]
    for col in columns:
        assert pytarn.PrefixIndex.from_strings(col).prefixes() == want
    assert type(SubIndex.from_strings(texts)) is SubIndex


FROM_STRINGS_ERRORS = [
    (["10.0.0.0/8", "10.0.0.1/8"], pytarn.HostBitsError, 1),
    (["10.0.0.0/33"], pytarn.PrefixLengthError, 0),
    (["10.0.0.0/8", "nonsense"], pytarn.ParseError, 1),
    (["10.0.0.0/8\x00"], pytarn.ParseError, 0),
    (["\ud800/8"], pytarn.ParseError, 0),
    (["10.0.0.0/8", N4("10.0.0.0/8")], TypeError, None),
    ([None], TypeError, None),
    ([], pytarn.InvalidArgumentError, None),
    (5, TypeError, None),
]


@pytest.mark.parametrize("texts, exc, index", FROM_STRINGS_ERRORS)
def test_from_strings_errors_name_the_item(texts, exc, index):
    with pytest.raises(exc) as info:
        pytarn.PrefixIndex.from_strings(texts)
    if index is not None:
        assert info.value.index == index


def test_from_strings_refuses_arrow_nulls_and_non_text():
    pa = pytest.importorskip("pyarrow")
    for col in (pa.array(["10.0.0.0/8", None]), pa.array([1, 2]), pa.array(["x" * 80])):
        with pytest.raises((pytarn.InvalidArgumentError, pytarn.ParseError)):
            pytarn.PrefixIndex.from_strings(col)
