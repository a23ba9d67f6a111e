"""Columnar lookups and containment: PrefixIndex over both families,
lookup_array, bulk_contains_array, AddressArray.within, the packed-buffer
contract with numpy, and lookups racing a close on other threads.

Every columnar answer is checked against the list form of the same call or
against a brute-force scan with ipaddress.
"""

from __future__ import annotations

import ipaddress
import random
import threading

import numpy as np
import pytest

import pytarn

A4, A6 = pytarn.IPv4Address, pytarn.IPv6Address
N4, N6 = pytarn.IPv4Network, pytarn.IPv6Network


def random_table(rng: random.Random, n: int) -> list[ipaddress.IPv4Network | ipaddress.IPv6Network]:
    """Distinct networks of both families, /0 and host routes included."""
    nets: set[ipaddress.IPv4Network | ipaddress.IPv6Network] = {
        ipaddress.ip_network("0.0.0.0/0"), ipaddress.ip_network("255.255.255.255/32"),
        ipaddress.ip_network("::/0"), ipaddress.ip_network("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"),
    }
    while len(nets) < n:
        if rng.random() < 0.5:
            nets.add(ipaddress.IPv4Network((rng.getrandbits(32), rng.randint(1, 32)), strict=False))
        else:
            nets.add(ipaddress.IPv6Network((rng.getrandbits(128), rng.randint(1, 128)), strict=False))
    table = sorted(nets, key=lambda x: (x.version, x))
    rng.shuffle(table)
    return table


def random_addresses(rng: random.Random, table: list, n: int) -> list:
    """Half inside random table networks, half uniform, both families."""
    out: list = []
    for _ in range(n):
        if rng.random() < 0.5:
            net = rng.choice(table)
            out.append(net[rng.randrange(net.num_addresses)])
        elif rng.random() < 0.5:
            out.append(ipaddress.IPv4Address(rng.getrandbits(32)))
        else:
            out.append(ipaddress.IPv6Address(rng.getrandbits(128)))
    return out


def brute_longest(table: list, addr) -> int:
    best, best_len = -1, -1
    for i, net in enumerate(table):
        if net.version == addr.version and addr in net and net.prefixlen > best_len:
            best, best_len = i, net.prefixlen
    return best


def brute_first(table: list, addr) -> int:
    return next((i for i, net in enumerate(table)
                 if net.version == addr.version and addr in net), -1)


def to_pytarn_net(net):
    return (N4 if net.version == 4 else N6)(str(net))


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_mixed_table_lookups_match_brute_force(seed: int) -> None:
    rng = random.Random(seed)
    table = random_table(rng, 60)
    addrs = random_addresses(rng, table, 400)
    idx = pytarn.PrefixIndex([to_pytarn_net(n) for n in table])
    want = [brute_longest(table, a) for a in addrs]

    texts = [str(a) for a in addrs]
    assert idx.lookup_array(texts).tolist() == want
    assert np.asarray(idx.lookup_array(pytarn.AddressArray(texts))).tolist() == want
    # The list form answers one family at a time, with the same positions.
    for version, cls in ((4, A4), (6, A6)):
        part = [(i, cls(str(a))) for i, a in enumerate(addrs) if a.version == version]
        assert idx.lookup([a for _, a in part]) == [want[i] for i, _ in part]

    first = pytarn.bulk_contains_array(texts, [to_pytarn_net(n) for n in table])
    assert first.tolist() == [brute_first(table, a) for a in addrs]


def test_mixed_column_over_many_gather_blocks() -> None:
    """A mixed column with nulls is answered a block of one family at a
    time; over several blocks it must agree with the one-family list path
    item for item, nulls and the other family included."""
    rng = random.Random(9)
    table = random_table(rng, 80)
    addrs = random_addresses(rng, table, 30_000)
    texts = [None if rng.random() < 0.05 else str(a) for a in addrs]
    idx = pytarn.PrefixIndex([to_pytarn_net(n) for n in table])
    want: list = [None] * len(texts)
    for version, cls in ((4, A4), (6, A6)):
        part = [i for i, t in enumerate(texts) if t is not None and addrs[i].version == version]
        for i, got in zip(part, idx.lookup([cls(texts[i]) for i in part])):
            want[i] = got
    assert idx.lookup_array(texts).tolist() == want


def test_one_family_index_keeps_its_list_behaviour() -> None:
    idx = pytarn.PrefixIndex([N4("10.0.0.0/8"), N4("10.1.0.0/16")])
    assert repr(idx) == "PrefixIndex(2 prefixes, family=IPv4)"
    assert idx.lookup([A4("10.1.2.3"), A4("10.2.0.0"), A4("11.0.0.1")]) == [1, 0, -1]
    with pytest.raises(pytarn.FamilyError, match="^address family mismatch$"):
        idx.lookup([A6("::1")])
    # A column may hold the other family: no prefix of it matches.
    got = idx.lookup_array(["10.1.2.3", "::1", None, "11.0.0.1"])
    assert got.tolist() == [1, -1, None, -1]
    assert np.asarray(got).tolist() == [1, -1, -1, -1]


def test_both_families_repr_and_duplicates() -> None:
    nets = [N4("20.0.0.0/8"), N6("::/0"), N4("10.0.0.0/8"), N4("10.0.0.0/8")]
    idx = pytarn.PrefixIndex(nets)
    assert repr(idx) == "PrefixIndex(4 prefixes, family=IPv4+IPv6)"
    # Equal networks answer the position the one-family index would pick, mapped
    # back to the whole table.
    alone = pytarn.PrefixIndex([n for n in nets if n.version == 4]).lookup([A4("10.1.2.3")])
    assert idx.lookup([A4("10.1.2.3")]) == [[0, 2, 3][alone[0]]]
    assert idx.lookup([A6("2001:db8::1")]) == [1]


@pytest.mark.parametrize(
    "net, texts, want",
    [
        (N4("10.0.0.0/8"), ["10.1.2.3", "11.0.0.0", "::a00:1", None], [True, False, False, None]),
        (N6("::/0"), ["10.1.2.3", "::1", "ffff::"], [False, True, True]),
        (N4("0.0.0.0/0"), [], []),
        (N4("255.255.255.255/32"), ["255.255.255.255", "255.255.255.254"], [True, False]),
    ],
    ids=["v4-with-null", "v6-default", "empty", "top-host-route"],
)
def test_within(net, texts, want) -> None:
    got = pytarn.AddressArray(texts).within(net)
    assert got.tolist() == want
    std = ipaddress.ip_network(str(net))
    assert [t is not None and ipaddress.ip_address(t) in std for t in texts] == [
        bool(w) for w in want]


def test_within_refuses_non_networks() -> None:
    with pytest.raises(TypeError):
        pytarn.AddressArray(["10.0.0.1"]).within("10.0.0.0/8")


# ---- the packed contract with numpy ---------------------------------------------------

PACKED_V4 = [bytes([10, 1, 2, 3]), bytes([192, 0, 2, 1]), bytes([255, 255, 255, 255])]
NETS_V4 = [N4("10.0.0.0/8"), N4("192.0.2.0/24")]
WANT_V4 = [0, 1, -1]
RAW = b"".join(PACKED_V4)
VALUES = [int.from_bytes(b, "big") for b in PACKED_V4]

ACCEPTED = [
    ("uint8", lambda: np.frombuffer(RAW, np.uint8)),
    ("uint8-rows", lambda: np.frombuffer(RAW, np.uint8).reshape(-1, 4)),
    ("S4", lambda: np.frombuffer(RAW, "S4")),
    ("V4", lambda: np.frombuffer(RAW, "V4")),
    ("big-endian-u4", lambda: np.array(VALUES, ">u4")),
]
REFUSED = [
    # The most common layout of all: numbers in native order.  Refused, never guessed.
    ("native-u4", lambda: np.array(VALUES, np.uint32), "'I'"),
    ("little-endian-u4", lambda: np.array(VALUES, "<u4"), "'I'"),
    ("float32", lambda: np.array(VALUES, np.float32), "'f'"),
    ("int64", lambda: np.array(VALUES, np.int64), "'l'"),
    ("strided-rows", lambda: np.frombuffer(RAW * 2, np.uint8).reshape(-1, 4)[::2], "C-contiguous"),
    ("fortran-rows", lambda: np.asfortranarray(np.frombuffer(RAW, np.uint8).reshape(-1, 4)),
     "C-contiguous"),
]


@pytest.mark.parametrize("make", [c[1] for c in ACCEPTED], ids=[c[0] for c in ACCEPTED])
def test_packed_formats_accepted(make) -> None:
    assert pytarn.bulk_contains_packed(make(), NETS_V4, pytarn.AF_INET) == WANT_V4
    assert pytarn.PrefixIndex(NETS_V4).lookup_packed(make(), pytarn.AF_INET).tolist() == WANT_V4
    arr = pytarn.AddressArray.from_packed(make(), pytarn.AF_INET)
    assert arr.to_strings() == [str(A4(b)) for b in PACKED_V4]


@pytest.mark.parametrize("make, needle", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_packed_formats_refused(make, needle) -> None:
    for call in (lambda b: pytarn.bulk_contains_packed(b, NETS_V4, pytarn.AF_INET),
                 lambda b: pytarn.AddressArray.from_packed(b, pytarn.AF_INET),
                 lambda b: pytarn.PrefixIndex(NETS_V4).lookup_packed(b, pytarn.AF_INET)):
        with pytest.raises(pytarn.InvalidArgumentError, match=needle) as info:
            call(make())
        if "'" in needle:  # a format refusal names both ways out
            assert "from_integers" in str(info.value) and "'>I'" in str(info.value)
    # Numbers go through the explicit constructor instead.
    if make().dtype.kind == "u" and make().ndim == 1:
        arr = pytarn.AddressArray.from_integers(make(), pytarn.AF_INET)
        assert pytarn.bulk_contains_array(arr, NETS_V4).tolist() == WANT_V4


@pytest.mark.parametrize("seed", [4, 5])
def test_lookup_packed_matches_lookup_array(seed: int) -> None:
    """Both families of a mixed table, in place from packed bytes, against the
    columnar lookup of the same addresses (positions mapped to the table)."""
    rng = random.Random(seed)
    table = random_table(rng, 80)
    idx = pytarn.PrefixIndex([to_pytarn_net(n) for n in table])
    addrs = random_addresses(rng, table, 300)
    for version, family in ((4, pytarn.AF_INET), (6, pytarn.AF_INET6)):
        part = [a for a in addrs if a.version == version]
        raw = b"".join(a.packed for a in part)
        want = idx.lookup_array([str(a) for a in part]).tolist()
        assert want == [brute_longest(table, a) for a in part]
        assert idx.lookup_packed(raw, family).tolist() == want
        assert np.asarray(idx.lookup_packed(memoryview(raw), family=family)).tolist() == want
    # A family the table holds nothing of matches nothing; empty columns answer nothing.
    v4_only = pytarn.PrefixIndex([N4("0.0.0.0/0")])
    assert v4_only.lookup_packed(bytes(32), pytarn.AF_INET6).tolist() == [-1, -1]
    assert v4_only.lookup_packed(b"", pytarn.AF_INET).tolist() == []
    with pytest.raises(pytarn.InvalidArgumentError, match="family must be"):
        v4_only.lookup_packed(bytes(4), 3)
    with pytest.raises(pytarn.InvalidArgumentError, match="take 16 bytes each"):
        v4_only.lookup_packed(bytes(20), pytarn.AF_INET6)
    with v4_only:
        pass
    with pytest.raises(pytarn.TARNError):
        v4_only.lookup_packed(bytes(4), pytarn.AF_INET)


def test_packed_buffer_taken_after_the_callers_code_ran() -> None:
    """A generator of networks that resizes the caller's array must not leave
    the call reading freed memory: the buffer is taken after the networks."""
    buf = np.frombuffer(RAW * 1000, np.uint8).copy()

    def nets():
        yield N4("10.0.0.0/8")
        buf.resize(8, refcheck=False)  # frees the old memory
        yield N4("192.0.2.0/24")

    assert pytarn.bulk_contains_packed(buf, nets(), pytarn.AF_INET) == [0, 1]


# ---- threads ---------------------------------------------------------------------------


def test_lookups_survive_a_concurrent_close() -> None:
    """Readers inside the core while another thread closes the index: every
    lookup answers correctly or says the index is gone; nothing crashes."""
    rng = random.Random(7)
    table = random_table(rng, 200)
    column = pytarn.AddressArray([str(a) for a in random_addresses(rng, table, 20_000)])
    nets = [to_pytarn_net(n) for n in table]
    want = pytarn.PrefixIndex(nets).lookup_array(column).tolist()

    for _ in range(20):
        idx = pytarn.PrefixIndex(nets)
        start = threading.Barrier(5)
        outcomes: list[str] = []

        def reader() -> None:
            start.wait()
            for _ in range(10):
                try:
                    got = idx.lookup_array(column).tolist()
                except pytarn.InvalidArgumentError as e:
                    assert str(e) == "index has been destroyed"
                    outcomes.append("closed")
                    return
                assert got == want
                outcomes.append("answered")

        threads = [threading.Thread(target=reader) for _ in range(4)]
        for t in threads:
            t.start()
        start.wait()
        idx.__exit__(None, None, None)
        for t in threads:
            t.join()
        assert outcomes and set(outcomes) <= {"answered", "closed"}
        with pytest.raises(pytarn.InvalidArgumentError):
            idx.lookup_array(column)


def test_lookups_from_threads_agree() -> None:
    rng = random.Random(11)
    table = random_table(rng, 300)
    idx = pytarn.PrefixIndex([to_pytarn_net(n) for n in table])
    columns = [pytarn.AddressArray([str(a) for a in random_addresses(rng, table, 5000)])
               for _ in range(4)]
    want = [idx.lookup_array(c).tolist() for c in columns]
    got: list = [None] * 4

    def work(i: int) -> None:
        got[i] = idx.lookup_array(columns[i]).tolist()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == want
