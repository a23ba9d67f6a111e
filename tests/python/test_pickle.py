"""Pickling and copying every pytarn type: round trips at every protocol and
through copy/deepcopy checked against the standard library's ipaddress for
the scalars and against a fresh iteration for the iterators; subclasses and
their own state; a table of hostile states per type, each refused with a
TARNError; and the real consumers: pandas pickles and a spawned process
pool."""

import concurrent.futures
import copy
import ipaddress
import itertools
import multiprocessing
import pickle
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pytarn
from test_leaks import call_quietly, malloc_in_use, sample

A4, A6 = pytarn.IPv4Address, pytarn.IPv6Address
N4, N6 = pytarn.IPv4Network, pytarn.IPv6Network
I4, I6 = pytarn.IPv4Interface, pytarn.IPv6Interface
AA = pytarn.AddressArray
PROTOCOLS = range(0, pickle.HIGHEST_PROTOCOL + 1)
V = bytes([1])  # the state version this release writes


def copies(obj):
    """The object through pickle at every protocol, copy.copy and
    copy.deepcopy, each labelled."""
    out = [(f"pickle-{p}", pickle.loads(pickle.dumps(obj, p))) for p in PROTOCOLS]
    return out + [("copy", copy.copy(obj)), ("deepcopy", copy.deepcopy(obj))]


def restore(cls, state):
    return pytarn._restore(cls, state)


# ---- scalars against ipaddress ------------------------------------------------------

# (pytarn type, ipaddress type, bits, how an object is made from (int, length)).
SCALARS = [
    (A4, ipaddress.IPv4Address, 32, lambda t, v, n: t(v)),
    (A6, ipaddress.IPv6Address, 128, lambda t, v, n: t(v)),
    (N4, ipaddress.IPv4Network, 32, lambda t, v, n: t((v, n), strict=False)),
    (N6, ipaddress.IPv6Network, 128, lambda t, v, n: t((v, n), strict=False)),
    (I4, ipaddress.IPv4Interface, 32, lambda t, v, n: t((v, n))),
    (I6, ipaddress.IPv6Interface, 128, lambda t, v, n: t((v, n))),
]


def stdlib_key(obj):
    """What ipaddress says identifies the object: the packed bytes and the
    length (texts differ on purpose for IPv4-mapped addresses)."""
    if hasattr(obj, "network_address") and not hasattr(obj, "ip"):
        return obj.network_address.packed, obj.prefixlen
    if hasattr(obj, "ip"):
        return obj.ip.packed, obj.network.prefixlen
    return obj.packed, None


@pytest.mark.parametrize("cls, std, bits, make", SCALARS, ids=[s[0].__name__ for s in SCALARS])
@given(data=st.data())
@settings(max_examples=60)
def test_scalar_round_trips(cls, std, bits, make, data):
    value = data.draw(st.one_of(st.integers(0, (1 << bits) - 1), st.sampled_from([0, (1 << bits) - 1])))
    length = data.draw(st.integers(0, bits))
    obj = make(cls, value, length)
    peer = make(std, value, length)
    for how, got in copies(obj):
        assert type(got) is cls, how
        assert got == obj and not got != obj, how
        assert hash(got) == hash(obj), how
        assert stdlib_key(got) == stdlib_key(peer), how
        assert repr(got) == repr(obj), how


@pytest.mark.parametrize("cls, std, bits, make", SCALARS, ids=[s[0].__name__ for s in SCALARS])
def test_immutable_objects_are_their_own_copies(cls, std, bits, make):
    obj = make(cls, 1, bits)
    assert copy.copy(obj) is obj
    assert copy.deepcopy(obj) is obj
    assert obj.__deepcopy__(None) is obj  # a direct call without a memo


# ---- subclasses -----------------------------------------------------------------------
# Defined at module level: pickle finds classes by name.


class Addr4(A4):
    pass


class Addr6(A6):
    pass


class Net4(N4):
    pass


class Net6(N6):
    pass


class Iface4(I4):
    pass


class Iface6(I6):
    pass


class Column(AA):
    pass


class Slotted(A4):
    __slots__ = ("tag",)


class NoConstructor(A6):
    """Restoring must not run __new__ or __init__ with strange arguments."""

    def __new__(cls, *args):
        raise AssertionError("__new__ ran")

    def __init__(self, *args):
        raise AssertionError("__init__ ran")


class OwnState(N4):
    """A subclass with its own __getstate__/__setstate__ pair."""

    def __getstate__(self):
        return {"saved": self.label.upper()}

    def __setstate__(self, state):
        self.label = state["saved"].lower()


SUBCLASSES = [
    (Addr4, lambda: Addr4("192.0.2.1")),
    (Addr6, lambda: Addr6("2001:db8::1")),
    (Net4, lambda: Net4("10.0.0.0/8")),
    (Net6, lambda: Net6("2001:db8::/32")),
    (Iface4, lambda: Iface4("192.0.2.7/24")),
    (Iface6, lambda: Iface6("2001:db8::7/64")),
    (Column, lambda: Column(["192.0.2.1", None, "::1"])),
    (NoConstructor, lambda: A6("::2")),  # built below without its constructor
]


def subclass_instance(cls, make):
    obj = make()
    if type(obj) is not cls:  # NoConstructor: made through the restore path
        obj = restore(cls, obj.__reduce__()[1][1])
    return obj


@pytest.mark.parametrize("cls, make", SUBCLASSES, ids=[c.__name__ for c, _ in SUBCLASSES])
def test_subclass_keeps_class_and_dict(cls, make):
    obj = subclass_instance(cls, make)
    obj.note = ["mutable", {"k": 1}]
    obj.me = obj  # a cycle through the instance dict
    for how, got in copies(obj):
        assert type(got) is cls, how
        assert got == obj, how
        assert got.note == obj.note, how
        assert got.me is (obj if how == "copy" else got), how  # shallow: the original
    assert copy.copy(obj).note is obj.note  # shallow: the same list
    deep = copy.deepcopy(obj)
    assert deep is not obj and deep.note is not obj.note and deep.note[1] is not obj.note[1]


@pytest.mark.parametrize("cls, make", SUBCLASSES, ids=[c.__name__ for c, _ in SUBCLASSES])
def test_subclass_without_dict_entries(cls, make):
    """No __dict__ entries: the reduce has no third item, the copy is new."""
    obj = subclass_instance(cls, make)
    assert len(obj.__reduce__()) == 2
    got = copy.copy(obj)
    assert type(got) is cls and got == obj and got is not obj


def test_subclass_slots_travel():
    obj = Slotted("192.0.2.9")
    obj.tag = "edge"
    for how, got in copies(obj):
        assert type(got) is Slotted and got == obj and got.tag == "edge", how


def test_subclass_getstate_and_setstate_are_used():
    obj = OwnState("10.0.0.0/8")
    obj.label = "core"
    for how, got in copies(obj):
        assert type(got) is OwnState and got == obj and got.label == "core", how


# ---- iterators resume where they stood -------------------------------------------------

SUBNET_CASES = [
    ("10.0.0.0/8", 10),
    ("0.0.0.0/0", 2),
    ("255.255.255.0/24", 26),  # ends at the top of the space
    ("192.0.2.0/24", 32),
    ("::/0", 3),
    ("ffff:ffff:ffff:ffff:ffff:ffff:ffff:fff0/124", 128),
    ("2001:db8::/32", 36),
]


def net_of(text):
    return (N6 if ":" in text else N4)(text)


@pytest.mark.parametrize("text, target", SUBNET_CASES, ids=[f"{t}->{n}" for t, n in SUBNET_CASES])
def test_subnet_iterator_resumes(text, target):
    full = list(net_of(text).subnets(target))
    for k in sorted({0, 1, len(full) // 2, len(full) - 1, len(full), len(full) + 1}):
        it = net_of(text).subnets(target)
        list(itertools.islice(it, k))
        for how, got in copies(it):
            assert type(got) is pytarn.SubnetIterator, how
            assert list(got) == full[k:], (how, k)
        assert list(it) == full[k:]  # the original did not move


ADDRESS_ITERATIONS = [
    ("hosts", "192.0.2.0/29"),
    ("hosts", "192.0.2.0/31"),
    ("hosts", "192.0.2.1/32"),
    ("iter", "255.255.255.248/29"),  # ends at the top of the space
    ("iter", "0.0.0.0/30"),
    ("hosts", "2001:db8::/125"),
    ("hosts", "2001:db8::/127"),
    ("iter", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fff8/125"),
    ("iter", "::/0"),  # only the start is compared
]


@pytest.mark.parametrize("kind, text", ADDRESS_ITERATIONS, ids=[f"{k}-{t}" for k, t in ADDRESS_ITERATIONS])
def test_address_iterator_resumes(kind, text):
    def fresh():
        net = net_of(text)
        return net.hosts() if kind == "hosts" else iter(net)

    full = list(itertools.islice(fresh(), 20))
    for k in sorted({0, 1, len(full) // 2, len(full) - 1, len(full), len(full) + 1}):
        it = fresh()
        list(itertools.islice(it, k))
        for how, got in copies(it):
            assert type(got) is pytarn.AddressIterator, how
            assert list(itertools.islice(got, 20 - min(k, 20))) == full[k:], (how, k)


def test_iterator_copies_are_independent():
    it = N4("10.0.0.0/30").hosts()
    twin = copy.copy(it)
    assert next(it) == A4("10.0.0.1")
    assert next(twin) == A4("10.0.0.1")
    assert list(it) == list(twin) == [A4("10.0.0.2")]


# ---- AddressArray and ResultBuffer ------------------------------------------------------

slot = st.one_of(
    st.none(),
    st.integers(0, 2**32 - 1).map(A4),
    st.integers(0, 2**128 - 1).map(A6),
)


def assert_same_array(got, arr, how):
    assert type(got) is type(arr), how
    assert got == arr, how
    assert got.null_count == arr.null_count and got.family == arr.family, how
    assert got.tolist() == arr.tolist(), how
    assert got.families().tolist() == arr.families().tolist(), how
    assert got.is_null().tolist() == arr.is_null().tolist(), how


@given(st.lists(slot, max_size=40))
@settings(max_examples=80)
def test_address_array_round_trips(values):
    arr = AA(values)
    for how, got in copies(arr):
        assert_same_array(got, arr, how)
        assert got.to_strings() == [None if v is None else str(v) for v in values], how


@pytest.mark.parametrize("values", [
    [],
    [None],
    [None] * 17,
    ["192.0.2.1"] * 9,
    ["2001:db8::1", None] * 5,
    ["0.0.0.0", "255.255.255.255", "::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", None],
], ids=["empty", "one-null", "all-null", "v4", "v6-nulls", "extremes"])
def test_address_array_edges(values):
    arr = AA(values)
    for how, got in copies(arr):
        assert_same_array(got, arr, how)
    # Restored arrays work as inputs of the columnar calls.
    got = pickle.loads(pickle.dumps(arr))
    net = N4("0.0.0.0/0")
    assert got.within(net).tolist() == arr.within(net).tolist()


def test_one_family_column_state_is_packed():
    """An all-IPv4 column costs its 4 bytes per address and a fixed header."""
    arr = AA([A4(i) for i in range(1000)])
    state = arr.__reduce__()[1][1]
    assert len(state) == 1 + 24 + 4 * 1000
    assert state.endswith(b"".join(a.packed for a in arr.tolist()))


def result_buffers():
    arr = AA(["10.0.0.1", None, "192.0.2.1", "10.9.9.9", None, "::1"])
    v4 = AA(["10.0.0.1", None, "192.0.2.1"])
    v6 = AA(["2001:db8::1", None])
    nets = [N4("10.0.0.0/8"), N6("::/0")]
    return {
        "uint8": arr.families(),
        "bool": arr.is_null(),
        "bool-nulls": arr.within(N4("10.0.0.0/8")),
        "uint32": v4.to_uint32(),
        "classify": arr.classify(),
        "packed4": v4.to_packed(),
        "packed16": v6.to_packed(),
        "int64": pytarn.bulk_contains_array(arr, nets),
        "empty": AA([]).families(),
        "nine-nulls": AA([None] * 9).classify(),
    }


@pytest.mark.parametrize("name", list(result_buffers()))
def test_result_buffer_round_trips(name):
    buf = result_buffers()[name]
    for how, got in copies(buf):
        assert type(got) is pytarn.ResultBuffer, how
        assert (got.kind, got.format, got.itemsize, got.null_count, len(got)) == (
            buf.kind, buf.format, buf.itemsize, buf.null_count, len(buf)), how
        assert got.tolist() == buf.tolist(), how
        assert bytes(memoryview(got)) == bytes(memoryview(buf)), how


def test_result_buffer_exports_the_same_arrow_array():
    pa = pytest.importorskip("pyarrow")
    for name, buf in result_buffers().items():
        assert pa.array(pickle.loads(pickle.dumps(buf))).equals(pa.array(buf)), name


# ---- hostile states ----------------------------------------------------------------------


def u64(*values):
    return b"".join(struct.pack("<Q", v) for v in values)


def result_state(kind, length, nulls, data, validity=b""):
    return V + bytes([kind]) + u64(length, nulls) + data + validity


IT = pytarn.SubnetIterator
AI = pytarn.AddressIterator
RB = pytarn.ResultBuffer
BAD = pytarn.InvalidArgumentError
PLEN = pytarn.PrefixLengthError
HOST = pytarn.HostBitsError
Z4, Z16 = bytes(4), bytes(16)

# (class, state, exception, words the message carries)
HOSTILE = [
    (A4, b"", BAD, "empty"),
    (A4, "\x01abcd", BAD, "not bytes"),
    (A4, bytearray(V + Z4), BAD, "not bytes"),
    (A4, b"\x02" + Z4, BAD, "version 2"),
    (A4, b"\x00" + Z4, BAD, "version 0"),
    (A4, V + bytes(3), BAD, "3 bytes"),
    (A4, V + bytes(5), BAD, "5 bytes"),
    # An IPv4 address's int state: the version above the 32 address bits.
    (A4, 0xFFFFFFFF, BAD, "version 0"),
    (A4, 2 << 32, BAD, "version 2"),
    (A4, -1, BAD, "out of range"),
    (A4, 1 << 64, BAD, "out of range"),
    (A4, True, BAD, "version 0"),
    (A6, 1 << 32, BAD, "not bytes"),
    (A6, V + Z4, BAD, "4 bytes"),
    (A6, V + bytes(17), BAD, "17 bytes"),
    (N4, V + Z4, BAD, "4 bytes"),
    (N4, V + Z4 + b"\x18\x00", BAD, "6 bytes"),
    (N4, V + Z4 + bytes([33]), PLEN, "33 exceeds 32"),
    (N4, V + b"\x0a\x00\x00\x01" + bytes([24]), HOST, "host bits"),
    (N4, V + b"\x00\x00\x00\x01" + bytes([0]), HOST, "host bits"),
    (N6, V + Z16 + bytes([129]), PLEN, "129 exceeds 128"),
    (N6, V + Z16 + bytes([255]), PLEN, "255 exceeds 128"),
    (N6, V + bytes(15) + b"\x01" + bytes([127]), HOST, "host bits"),
    (I4, V + Z4 + bytes([33]), PLEN, "33 exceeds 32"),
    (I4, V + Z4, BAD, "4 bytes"),
    (I6, V + Z16 + bytes([129]), PLEN, "129 exceeds 128"),
    # SubnetIterator: family, network length, subnet length, exhausted, network, next
    (IT, V, BAD, "family byte"),
    (IT, V + bytes([5, 8, 16, 0]) + Z4 + Z4, BAD, "family byte 5"),
    (IT, V + bytes([4, 8, 16, 0]) + Z4 + bytes(3), BAD, "bytes"),
    (IT, V + bytes([6, 8, 16, 0]) + Z4 + Z4, BAD, "bytes"),
    (IT, V + bytes([4, 33, 34, 0]) + Z4 + Z4, PLEN, "33 exceeds 32"),
    (IT, V + bytes([4, 8, 8, 0]) + Z4 + Z4, PLEN, "subnet length 8"),
    (IT, V + bytes([4, 8, 33, 0]) + Z4 + Z4, PLEN, "subnet length 33"),
    (IT, V + bytes([6, 64, 129, 0]) + Z16 + Z16, PLEN, "subnet length 129"),
    (IT, V + bytes([4, 8, 16, 2]) + Z4 + Z4, BAD, "exhausted flag 2"),
    (IT, V + bytes([4, 8, 16, 0]) + b"\x0a\x01\x00\x00" + Z4, HOST, "host bits"),
    (IT, V + bytes([4, 8, 16, 0]) + b"\x0a\x00\x00\x00" + b"\x0b\x00\x00\x00", BAD, "outside"),
    (IT, V + bytes([4, 8, 16, 0]) + b"\x0a\x00\x00\x00" + b"\x0a\x00\x00\x01", HOST, "host bits"),
    (IT, V + bytes([4, 8, 16, 1]) + b"\x0a\x00\x00\x00" + b"\x0a\x01\x00\x00", BAD, "exhausted"),
    # AddressIterator: family, exhausted, next, last
    (AI, V + bytes([0, 0]) + Z4 + Z4, BAD, "family byte 0"),
    (AI, V + bytes([4, 0]) + Z4 + bytes(3), BAD, "bytes"),
    (AI, V + bytes([6, 0]) + Z4 + Z4, BAD, "bytes"),
    (AI, V + bytes([4, 3]) + Z4 + Z4, BAD, "exhausted flag 3"),
    (AI, V + bytes([4, 0]) + b"\x0a\x00\x00\x02" + b"\x0a\x00\x00\x01", BAD, "beyond the end"),
    (AI, V + bytes([6, 1]) + b"\xff" * 16 + Z16, BAD, "beyond the end"),
    # AddressArray: count, nulls, v6, [validity], [v6 bits], addresses
    (AA, V + bytes(23), BAD, "fewer than its header"),
    (AA, V + u64(1, 2, 0) + b"\x00", BAD, "counts disagree"),
    (AA, V + u64(2, 1, 2), BAD, "counts disagree"),
    (AA, V + u64(2**63, 0, 0), BAD, "counts disagree"),
    (AA, V + u64(2**57, 2**57, 0), BAD, "bytes"),
    (AA, V + u64(1, 0, 0) + Z4 + b"\x00", BAD, "29 bytes"),
    (AA, V + u64(2, 0, 0) + Z4, BAD, "bytes"),
    (AA, V + u64(1, 0, 1) + Z4, BAD, "bytes"),
    (AA, V + u64(2, 1, 0) + b"\x03" + Z4, BAD, "bitmap"),  # both present, one null counted
    (AA, V + u64(2, 1, 0) + b"\x00" + Z4, BAD, "disagree"),  # none present
    (AA, V + u64(2, 1, 0) + b"\x05" + Z4, BAD, "past the last slot"),  # padding
    (AA, V + u64(3, 1, 1) + b"\x05" + b"\x02" + Z4 + Z16, BAD, "null slot is marked IPv6"),
    (AA, V + u64(2, 0, 1) + b"\x03" + Z16 + Z16[:4], BAD, "disagree"),  # two v6 bits, one counted
    (AA, V + u64(2, 0, 1) + b"\x00" + Z4 + Z16, BAD, "disagree"),  # none marked
    # ResultBuffer: kind, length, nulls, data, [validity]
    (RB, V + bytes(16), BAD, "fewer than its header"),
    (RB, result_state(6, 0, 0, b""), BAD, "kind 6"),
    (RB, result_state(255, 0, 0, b""), BAD, "kind 255"),
    (RB, result_state(0, 2, 3, bytes(16)), BAD, "3 nulls among 2"),
    (RB, result_state(0, 2**62, 0, b""), BAD, "nulls among"),
    (RB, result_state(0, 2, 0, bytes(15)), BAD, "bytes"),
    (RB, result_state(1, 1, 0, bytes(5)), BAD, "bytes"),
    (RB, result_state(5, 1, 0, bytes(16), b"\x01"), BAD, "bytes"),
    (RB, result_state(3, 2, 0, b"\x01\x02"), BAD, "bool item"),
    (RB, result_state(0, 2, 1, bytes(16), b"\x01"), BAD, "sentinel"),  # int64 null must be -1
    (RB, result_state(2, 2, 1, b"\x00\x04", b"\x01"), BAD, "sentinel"),
    (RB, result_state(2, 2, 1, bytes(2), b"\x07"), BAD, "past the last item"),
    (RB, result_state(2, 2, 1, bytes(2), b"\x00"), BAD, "null count"),
]


@pytest.mark.parametrize("cls, state, exc, words", HOSTILE,
                         ids=[f"{c.__name__}-{i}-{w}" for i, (c, _, _, w) in enumerate(HOSTILE)])
def test_hostile_state_refused(cls, state, exc, words):
    assert issubclass(exc, pytarn.TARNError)
    with pytest.raises(exc) as ei:
        restore(cls, state)
    msg = str(ei.value)
    assert msg.startswith(f"cannot restore {cls.__name__}: "), msg
    assert words in msg, msg


class Forged:
    """An object that pickles as any (class, state) it is given."""

    def __init__(self, cls, state):
        self.cls, self.state = cls, state

    def __reduce__(self):
        return pytarn._restore, (self.cls, self.state)


@pytest.mark.parametrize("cls, state, exc, words", HOSTILE[::7])
def test_hostile_pickle_refused(cls, state, exc, words):
    blob = pickle.dumps(Forged(cls, state))
    with pytest.raises(exc):
        pickle.loads(blob)


def test_hostile_state_for_a_subclass_refused():
    with pytest.raises(PLEN):
        restore(Net4, V + Z4 + bytes([40]))


def test_valid_edge_states_accepted():
    """The boundaries of each check, hand-written: /0 and /32, an exhausted
    iterator, a single-address walk, an empty column."""
    assert restore(A4, 1 << 32) == A4("0.0.0.0")
    assert restore(A4, 1 << 32 | 0xFFFFFFFF) == A4("255.255.255.255")
    assert restore(A4, V + b"\xc0\x00\x02\x01") == A4("192.0.2.1")  # the bytes form
    assert restore(N4, V + Z4 + bytes([0])) == N4("0.0.0.0/0")
    assert restore(N4, V + b"\xff" * 4 + bytes([32])) == N4("255.255.255.255/32")
    assert list(restore(IT, V + bytes([4, 0, 1, 1]) + Z4 + Z4)) == []
    assert list(restore(IT, V + bytes([4, 0, 1, 0]) + Z4 + b"\x80\x00\x00\x00")) == [N4("128.0.0.0/1")]
    assert list(restore(AI, V + bytes([6, 0]) + b"\xff" * 32)) == [A6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff")]
    assert list(restore(AI, V + bytes([4, 1]) + Z4 + Z4)) == []
    assert len(restore(AA, V + u64(0, 0, 0))) == 0
    assert restore(RB, result_state(0, 1, 1, b"\xff" * 8, b"\x00")).tolist() == [None]


@pytest.mark.parametrize("cls", [int, object, ipaddress.IPv4Address, pytarn.TARNError, len, "IPv4Address"],
                         ids=["int", "object", "ipaddress", "TARNError", "function", "str"])
def test_restore_refuses_foreign_classes(cls):
    with pytest.raises(BAD, match="not a pytarn type"):
        pytarn._restore(cls, V + Z4)


def test_restore_only_through_from_state():
    """The private classmethod refuses a class outside its own hierarchy."""
    with pytest.raises(TypeError):
        A4.__dict__["_from_state"].__get__(None, N4)(V + Z4)


def test_failed_restores_hold_no_memory():
    """A column refused at its last slot has allocated and filled every
    record first; each refusal must give all of it back."""
    n = 4096
    # One null counted, none marked: the pass finds it out at the last slot.
    bad = V + u64(n, 1, 0) + b"\xff" * (n // 8) + bytes(4 * (n - 1))
    watched = [AA, bad]

    def call():
        restore(AA, bad)

    for _ in range(50):
        call_quietly(call)
    refs0, rss0, malloc0, _ = sample(watched)
    for _ in range(1000):
        call_quietly(call)
    refs1, rss1, malloc1, _ = sample(watched)
    assert refs0 == refs1
    assert rss1 - rss0 < (4 << 20)  # a leaked record block per call is 80 KiB
    if malloc_in_use:
        assert malloc1 - malloc0 < (64 << 10)


# ---- consumers: pandas and a process pool ---------------------------------------------------


def mixed_objects():
    return [A4("192.0.2.1"), A6("2001:db8::1"), N4("10.0.0.0/8"), N6("::/0"),
            I4("192.0.2.5/24"), I6("2001:db8::5/64"), None]


def test_pandas_pickle_round_trip(tmp_path):
    pd = pytest.importorskip("pandas")
    objs = mixed_objects()
    frame = pd.DataFrame({"value": pd.Series(objs, dtype=object), "n": range(len(objs))})
    path = tmp_path / "frame.pkl"
    frame.to_pickle(path)
    back = pd.read_pickle(path)
    assert back["value"].tolist() == objs
    assert [type(v) for v in back["value"]] == [type(v) for v in objs]


def test_process_pool_round_trip():
    addrs = [A4(i * 7919) for i in range(50)] + [A6(i << 64) for i in range(50)]
    arr = AA(addrs + [None])
    it = N4("10.0.0.0/28").hosts()
    next(it)
    ctx = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=ctx) as pool:
        assert list(pool.map(str, addrs, chunksize=10)) == [str(a) for a in addrs]
        assert list(pool.map(copy.copy, addrs, chunksize=10)) == addrs  # there and back
        assert pool.submit(copy.copy, arr).result() == arr
        assert pool.submit(AA.tolist, arr).result() == addrs + [None]
        assert pool.submit(list, it).result() == list(it)
