"""AddressArray: every input kind checked item for item against the scalar
types (the same core parser, one text at a time) and the standard library's
ipaddress; the error contract; slicing, equality and the column results; and
flat memory over every failure path of the constructors.

Texts are compared with str() of pytarn's scalar, never with ipaddress's text:
Python 3.11 prints IPv4-mapped addresses in hexadecimal where RFC 5952 (and
pytarn) keep the dotted quad.  ipaddress is the oracle for the packed bytes.
"""

import ipaddress
import tracemalloc

import numpy as np
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pytarn
from test_leaks import call_quietly, sample

AA = pytarn.AddressArray
A4, A6 = pytarn.IPv4Address, pytarn.IPv6Address


def scalar(text):
    """What the scalar types make of `text`, None where they refuse it.  Any
    ':' makes a text IPv6, as in the core."""
    try:
        return (A6 if ":" in text else A4)(text)
    except (pytarn.ParseError, pytarn.FamilyError, UnicodeEncodeError):
        return None


# ---- every text input kind against the scalar path ------------------------------

def _chunked(xs):
    half = len(xs) // 2
    return pa.chunked_array([pa.array(xs[:half], pa.string()), pa.array(xs[half:], pa.string())])


# Each kind turns a list of str (or None) into the container handed over; the
# expected items are computed from what the container actually holds (numpy
# drops trailing NULs, for one).
TEXT_KINDS = {
    "list": list,
    "tuple": tuple,
    "generator": lambda xs: (x for x in xs),
    "numpy-str": lambda xs: np.array([x or "" for x in xs], dtype="U46"),
    "numpy-str-big-endian": lambda xs: np.array([x or "" for x in xs], dtype=">U46"),
    "numpy-bytes": lambda xs: np.array([(x or "").encode() for x in xs], dtype="S60"),
    "numpy-object": lambda xs: np.array(xs, dtype=object),
    "arrow": lambda xs: pa.array(xs, pa.string()),
    "arrow-large": lambda xs: pa.array(xs, pa.large_string()),
    "arrow-view": lambda xs: pa.array(xs, pa.string_view()),
    "arrow-chunked": _chunked,
    "arrow-sliced": lambda xs: pa.array(["x"] + xs + ["y"], pa.string())[1:-1],
}


def held(container, xs):
    """The items as a fixed-width numpy array holds them (None was stored as
    "", which is as much an address)."""
    if isinstance(container, np.ndarray) and container.dtype.kind in "SU":
        return [v.decode(errors="surrogateescape") if isinstance(v, bytes) else v
                for v in container.tolist()]
    return xs


def expected_items(xs):
    return [None if x is None else scalar(x) for x in xs]


v4_text = st.integers(0, 2**32 - 1).map(lambda i: str(ipaddress.IPv4Address(i)))
v6_text = st.integers(0, 2**128 - 1).map(lambda i: str(ipaddress.IPv6Address(i)))
v6_exploded = st.integers(0, 2**128 - 1).map(lambda i: ipaddress.IPv6Address(i).exploded)
near_miss = st.one_of(v4_text, v6_text).flatmap(
    lambda t: st.sampled_from([t + "0", t[:-1], "0" + t, t.upper(), t + " ", t.replace(".", ":")]))
junk = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"),
               max_size=50)
any_text = st.one_of(v4_text, v6_text, v6_exploded, near_miss, junk, st.sampled_from(
    ["::ffff:1.2.3.4", "0000:0000:0000:0000:0000:ffff:255.255.255.255", "1.2.3.4\x00x", "::1\x00",
     "", "1" * 46, "１.２.３.４", "1" * 59 + "é"]))  # the last is cut inside "é" by S60


@pytest.mark.parametrize("kind", TEXT_KINDS)
@given(xs=st.lists(st.one_of(any_text, st.none()), max_size=40))
@settings(max_examples=60)
def test_text_kinds_agree_with_the_scalar_types(kind, xs):
    container = TEXT_KINDS[kind](xs)
    want = expected_items(held(container, xs))
    arr = AA(container, errors="null")
    assert arr.tolist() == want
    assert arr.to_strings() == [None if w is None else str(w) for w in want]
    assert len(arr) == len(xs)
    assert arr.null_count == want.count(None)


def texts_of_every_length():
    """A valid address text of each length 2..45, the range the column copy
    handles in four different ways."""
    texts = ["::", "::1", "::11", "::111", "::1111"]
    texts += [".".join(["1"] * (4 - k) + ["11"] * k) for k in range(5)]  # 7..11
    texts += [".".join(["111"] * k + ["11"] * (4 - k)) for k in range(1, 5)]  # 12..15
    groups = ["f"] * 8
    for k in range(25):  # 15..39: one more digit each time
        texts.append(":".join(groups))
        groups[k % 8] += "f"
    mapped = ["0"] * 5
    for k in range(16):  # 30..45: IPv4-mapped, the only long form
        texts.append(":".join(mapped + ["ffff", "255.255.255.255"]))
        if k < 15:
            mapped[k % 5] += "0"
    by_length = {len(t): t for t in texts}
    assert sorted(by_length) == list(range(2, 46))
    return list(by_length.values())


@pytest.mark.parametrize("kind", ["arrow", "numpy-bytes", "numpy-str"])
def test_every_text_length_and_nul_position(kind):
    texts = texts_of_every_length()
    want = [scalar(t) for t in texts]
    assert None not in want and AA(TEXT_KINDS[kind](texts)).tolist() == want
    # numpy drops trailing NULs, so only the arrow column gets a NUL last.
    last = 1 if kind == "arrow" else 0
    poisoned = [t[:p] + "\x00" + t[p + 1:] for t in texts for p in range(len(t) - 1 + last)]
    assert AA(TEXT_KINDS[kind](poisoned), errors="null").null_count == len(poisoned)
    with pytest.raises(pytarn.ParseError) as info:
        AA(TEXT_KINDS[kind](texts + poisoned[-1:]))
    assert (info.value.index, info.value.reason) == (len(texts), "contains a NUL character")


@given(xs=st.lists(st.one_of(
    st.integers(0, 2**32 - 1).map(ipaddress.IPv4Address),
    st.integers(0, 2**128 - 1).map(ipaddress.IPv6Address)), max_size=40))
def test_ipaddress_objects_keep_their_bytes(xs):
    arr = AA(xs)
    assert [a.packed for a in arr] == [x.packed for x in xs]
    assert arr.families().tolist() == [x.version for x in xs]
    if xs and len({x.version for x in xs}) == 1:
        assert arr.family == xs[0].version
        assert arr.to_packed().tolist() == [x.packed for x in xs]
        if xs[0].version == 4:
            assert arr.to_uint32().tolist() == [int(x) for x in xs]


@given(st.lists(st.integers(0, 2**32 - 1), max_size=40),
       st.sampled_from(["<u4", ">u4", "<u8", ">u8", "<i8", ">i8"]))
def test_from_integers_buffers_in_either_byte_order(values, dtype):
    arr = AA.from_integers(np.array(values, dtype=dtype), pytarn.AF_INET)
    assert arr.tolist() == [A4(v) for v in values]


@given(st.lists(st.one_of(st.integers(0, 2**128 - 1), st.none()), max_size=40))
def test_from_integers_python_ints(values):
    arr = AA.from_integers(values, pytarn.AF_INET6)
    assert arr.tolist() == [None if v is None else A6(v) for v in values]


def test_object_kinds_and_nulls():
    class Sub4(A4):
        pass

    items = ["10.0.0.1", None, A6("::1"), Sub4("1.2.3.4"), ipaddress.ip_address("2001:db8::1")]
    arr = AA(items)
    assert arr.to_strings() == ["10.0.0.1", None, "::1", "1.2.3.4", "2001:db8::1"]
    assert type(arr[3]) is A4  # items come back as the base types
    assert (arr.family, arr.null_count) == (0, 1)
    assert arr.is_null().tolist() == [False, True, False, False, False]
    assert arr.families().tolist() == [4, 0, 6, 4, 6]
    assert AA(arr) == arr and AA(arr) is not arr


@pytest.mark.parametrize("values, family", [
    ([], 0), ([None, None], 0), (["1.2.3.4"], 4), (["::"], 6), (["1.2.3.4", None], 4),
    (["1.2.3.4", "::1"], 0),
], ids=["empty", "all-null", "one-v4", "one-v6", "v4-and-null", "mixed"])
def test_family(values, family):
    assert AA(values).family == family


# ---- Arrow, numpy and buffer inputs ------------------------------------------------

def test_arrow_binary_and_null_types():
    p4 = pa.array([b"\x0a\x00\x00\x01", None], pa.binary(4))
    p16 = pa.array([bytes(15) + b"\x01"], pa.binary(16))
    assert AA(p4).to_strings() == ["10.0.0.1", None]
    assert AA(p16).to_strings() == ["::1"]
    assert AA(pa.nulls(3)).null_count == 3


@pytest.mark.parametrize("value, exc, words", [
    (pa.array([1, 2]), pytarn.InvalidArgumentError, "'l'"),
    (pa.array(["a"]).dictionary_encode(), pytarn.InvalidArgumentError, "Arrow type"),
    (b"\x01\x02\x03\x04", pytarn.InvalidArgumentError, "from_packed"),
    (np.array([1, 2], dtype=np.uint32), pytarn.InvalidArgumentError, "from_integers"),
    (np.array([["1.2.3.4"]]), pytarn.InvalidArgumentError, "one dimension"),
    (np.array(["1.2.3.4"] * 4)[::2], pytarn.InvalidArgumentError, "C-contiguous"),
    ("1.2.3.4", TypeError, "not a str"),
    (5, TypeError, "not iterable"),
    (["1.2.3.4", 5], TypeError, "index 1 is a 'int'"),
    ([object()], TypeError, "index 0 is a 'object'"),
], ids=["arrow-int64", "arrow-dictionary", "bytes", "numpy-uint32", "numpy-2d", "numpy-strided",
        "str", "int", "list-with-int", "list-with-object"])
def test_refused_inputs(value, exc, words):
    with pytest.raises(exc, match=words):
        AA(value)


class PackedRaises:
    @property
    def packed(self):
        raise RuntimeError("property failed")


def test_a_failing_packed_property_propagates():
    with pytest.raises(RuntimeError, match="property failed"):
        AA(["1.2.3.4", PackedRaises()])


def test_arrow_export_round_trips():
    arr = AA(["10.0.0.1", None, "::ffff:1.2.3.4"])
    assert pa.array(arr).to_pylist() == arr.to_strings()
    assert pa.chunked_array(arr).to_pylist() == arr.to_strings()  # __arrow_c_stream__
    assert AA(pa.array(arr)) == arr


# ---- errors="raise" and errors="null" ------------------------------------------

GOOD = ["10.0.0.1", "::1", "192.0.2.7", "2001:db8::2"]
BAD = [
    ("10.0.0.256", "not an IPv4 or IPv6 address"),
    ("1" * 46, "longer than 45 bytes, the longest address text"),
    ("1.2.3.4\x00x", "contains a NUL character"),
    ("", "not an IPv4 or IPv6 address"),
]
RAISE_KINDS = ["list", "numpy-str", "numpy-bytes", "arrow", "arrow-view"]


@pytest.mark.parametrize("kind", RAISE_KINDS)
@pytest.mark.parametrize("bad, reason", BAD, ids=["syntax", "too-long", "nul", "empty"])
@pytest.mark.parametrize("where", [2, len(GOOD)], ids=["middle", "end"])
def test_first_bad_item_raises_with_its_index_text_and_reason(kind, bad, reason, where):
    xs = GOOD[:where] + [bad] + GOOD[where:] + ["also bad"]
    with pytest.raises(pytarn.ParseError) as info:
        AA(TEXT_KINDS[kind](xs))
    assert (info.value.index, info.value.text, info.value.reason) == (where, bad, reason)
    assert str(info.value) == f"invalid address at index {where}: {bad!r}"
    arr = AA(TEXT_KINDS[kind](xs), errors="null")
    assert arr.is_null().tolist() == [x == bad or x == "also bad" for x in xs]


def test_the_lowest_index_wins_between_text_and_type_errors():
    with pytest.raises(pytarn.ParseError) as info:
        AA(["1.2.3.4", "bad", 5])
    assert info.value.index == 1
    with pytest.raises(TypeError, match="index 1"):
        AA(["1.2.3.4", 5, "bad"])
    with pytest.raises(TypeError, match="index 2"):  # errors="null" covers texts only
        AA(["1.2.3.4", "bad", 5], errors="null")


def test_lone_surrogates_are_bad_items():
    with pytest.raises(pytarn.ParseError) as info:
        AA(["1.2.3.4", "1.2.3.4\ud800"])
    assert (info.value.index, info.value.reason) == (1, "surrogates not allowed")
    assert AA(["\udc80", "::1"], errors="null").to_strings() == [None, "::1"]


@pytest.mark.parametrize("errors", ["ignore", "", 1, None])
def test_errors_must_be_raise_or_null(errors):
    with pytest.raises(pytarn.InvalidArgumentError, match="errors must be"):
        AA(["1.2.3.4"], errors=errors)


# ---- from_packed and from_integers: the formats -----------------------------------

V4_BYTES = bytes([10, 0, 0, 1, 192, 0, 2, 7])
V4_WANT = ["10.0.0.1", "192.0.2.7"]


@pytest.mark.parametrize("buffer", [
    V4_BYTES, bytearray(V4_BYTES), np.frombuffer(V4_BYTES, np.uint8),
    np.frombuffer(V4_BYTES, np.uint8).reshape(2, 4), np.frombuffer(V4_BYTES, "S4"),
    np.frombuffer(V4_BYTES, "V4"), np.frombuffer(V4_BYTES, ">u4"),
], ids=["bytes", "bytearray", "uint8", "uint8-2d", "S4", "V4", "big-endian-u4"])
def test_from_packed_accepts(buffer):
    arr = AA.from_packed(buffer, pytarn.AF_INET)
    assert (arr.to_strings(), arr.null_count) == (V4_WANT, 0)


@pytest.mark.parametrize("buffer, family, words", [
    (np.frombuffer(V4_BYTES, "<u4"), 4, "format 'I'"),
    (np.frombuffer(V4_BYTES, "<f4"), 4, "format 'f'"),
    (np.frombuffer(V4_BYTES * 2, np.uint8)[::2], 4, "contiguous"),
    (V4_BYTES[:7], 4, "4 bytes each"),
    (V4_BYTES, 6, "16 bytes each"),
    (V4_BYTES, 5, "AF_INET or AF_INET6"),
], ids=["native-u4", "float32", "strided", "short", "v6-length", "bad-family"])
def test_from_packed_refuses(buffer, family, words):
    with pytest.raises(pytarn.InvalidArgumentError, match=words):
        AA.from_packed(buffer, family)


def test_from_packed_ipv6_and_subclass():
    class Sub(AA):
        pass

    arr = Sub.from_packed(bytes(15) + b"\x01", pytarn.AF_INET6)
    assert type(arr) is Sub and arr.to_strings() == ["::1"]
    assert type(arr[:]) is AA  # slices are base arrays


@pytest.mark.parametrize("dtype", ["u1", "i1", "<u2", ">u2", "<i4", ">i4", "<u8", ">i8"])
def test_from_integers_widths_strides_and_orders(dtype):
    values = np.array([0, 1, 2, 3, 127, 5], dtype=dtype)
    for view in (values, values[::2], values[::-1]):  # strided views are read as they are
        assert AA.from_integers(view, 6).tolist() == [A6(int(v)) for v in view]


@pytest.mark.parametrize("values, family, index, text, reason", [
    (np.array([1, -1], np.int8), 4, 1, "-1", "negative"),
    (np.array([0, 2**32], ">u8"), 4, 1, "4294967296", "above 2**32 - 1"),
    (np.array([-2**63], "<i8"), 6, 0, str(-2**63), "negative"),
    ([1, None, -5], 4, 2, "-5", "negative"),
    ([2**32], 4, 0, "4294967296", "above 2**32 - 1"),
    ([0, 2**128], 6, 1, str(2**128), "above 2**128 - 1"),
], ids=["int8-negative", "u8-above-v4", "i8-min", "int-negative", "int-above-v4", "int-above-v6"])
def test_from_integers_out_of_range(values, family, index, text, reason):
    with pytest.raises(pytarn.InvalidArgumentError) as info:
        AA.from_integers(values, family)
    assert (info.value.index, info.value.text, info.value.reason) == (index, text, reason)


@pytest.mark.parametrize("values, family, exc, words", [
    (np.array([1.0]), 4, pytarn.InvalidArgumentError, "format 'd'"),
    (np.array([True]), 4, pytarn.InvalidArgumentError, "format '\\?'"),
    ([1, 2.0], 4, TypeError, "index 1 is a 'float'"),
    ([True], 4, TypeError, "index 0 is a 'bool'"),
    (np.array([1], np.uint32), 5, pytarn.InvalidArgumentError, "AF_INET or AF_INET6"),
], ids=["float64", "bool", "float-item", "bool-item", "bad-family"])
def test_from_integers_refuses(values, family, exc, words):
    with pytest.raises(exc, match=words):
        AA.from_integers(values, family)


# ---- sequence behaviour, results, comparison ----------------------------------------

ITEMS = ["10.0.0.1", None, "::1", "192.0.2.1", None, "2001:db8::7", "0.0.0.0"]


@pytest.mark.parametrize("key", [
    slice(None), slice(1, 5), slice(None, None, 2), slice(None, None, -1), slice(5, 1, -2),
    slice(-3, None), slice(10, 20), slice(3, 3),
])
def test_slices_agree_with_list_slices(key):
    arr = AA(ITEMS)
    part = arr[key]
    assert type(part) is AA and part.to_strings() == ITEMS[key]
    assert part.null_count == ITEMS[key].count(None)
    assert part == AA(ITEMS[key])


def test_indexing():
    arr = AA(ITEMS)
    assert [arr[i] for i in range(-len(ITEMS), len(ITEMS))] == arr.tolist() * 2
    for i in (len(ITEMS), -len(ITEMS) - 1):
        with pytest.raises(IndexError):
            arr[i]
    with pytest.raises(TypeError, match="integers or slices"):
        arr["1"]


@pytest.mark.parametrize("a, b, equal", [
    (["1.2.3.4"], ["1.2.3.4"], True), (["1.2.3.4"], ["1.2.3.5"], False),
    (["1.2.3.4"], ["::ffff:1.2.3.4"], False), ([None], ["0.0.0.0"], False),
    ([None], [None], True), ([], [], True), (["::1"], ["::1", None], False),
], ids=["same", "other-address", "other-family", "null-vs-zero", "nulls", "empty", "length"])
def test_equality(a, b, equal):
    assert (AA(a) == AA(b)) is equal and (AA(a) != AA(b)) is not equal


def test_other_comparisons_and_hash():
    arr = AA(["1.2.3.4"])
    assert arr != ["1.2.3.4"] and not arr == ["1.2.3.4"]
    with pytest.raises(TypeError):
        arr < arr
    with pytest.raises(TypeError):
        hash(arr)


def test_results_against_the_scalars():
    arr = AA(ITEMS)
    present = [A4(t) if ":" not in t else A6(t) for t in ITEMS if t]
    classes = iter(a.classify() for a in present)
    assert arr.classify().tolist() == [None if t is None else next(classes) for t in ITEMS]
    ten = int(ipaddress.IPv4Address("10.0.0.1"))
    assert AA(["10.0.0.1", None]).to_uint32().tolist() == [ten, None]
    assert np.asarray(AA(["10.0.0.1", None]).to_packed()).tolist() == [b"\n\x00\x00\x01", b""]


@pytest.mark.parametrize("method, values, exc", [
    ("to_packed", ["1.2.3.4", "::1"], pytarn.FamilyError),
    ("to_packed", [], pytarn.InvalidArgumentError),
    ("to_packed", [None], pytarn.InvalidArgumentError),
    ("to_uint32", ["1.2.3.4", "::1"], pytarn.FamilyError),
])
def test_results_refused(method, values, exc):
    with pytest.raises(exc):
        getattr(AA(values), method)()


def test_repr():
    assert repr(AA(["10.0.0.1", None])) == "AddressArray(['10.0.0.1', None])"
    long = repr(AA([f"10.0.0.{i}" for i in range(25)]))
    assert long.endswith("'10.0.0.9', ...], length=25)")


# ---- leaks: every failure path, flat ----------------------------------------------

N = 128
TEXTS = [f"10.{i // 256}.{i % 256}.1" for i in range(N)]
LATE_BAD = TEXTS + ["10.0.0.256"]
LATE_INT = TEXTS + [5]
LATE_SURROGATE = TEXTS + ["\ud800"]
NP_BAD = np.array(LATE_BAD)
NP_BYTES_BAD = np.array([t.encode() for t in LATE_BAD])
ARROW_BAD = pa.array(LATE_BAD)
ARROW_NULLS = pa.array(TEXTS + [None, "bad"])
PACKED_NATIVE = np.arange(N, dtype="<u4")
INTS_BAD = np.concatenate([np.arange(N, dtype=np.int64), [-1]])
BIG = AA(TEXTS * 4)


def _raising():
    yield from TEXTS
    raise RuntimeError("generator failed")


LEAK_CASES = [
    ("list-bad-text", lambda: AA(LATE_BAD), [LATE_BAD, LATE_BAD[-1]]),
    ("list-int", lambda: AA(LATE_INT), [LATE_INT, LATE_INT[-1]]),
    ("list-surrogate", lambda: AA(LATE_SURROGATE), [LATE_SURROGATE[-1]]),
    ("list-null", lambda: AA(LATE_BAD + [None], errors="null"), [LATE_BAD]),
    ("generator-raises", lambda: AA(_raising()), [TEXTS[0]]),
    ("packed-raises", lambda: AA(TEXTS + [PackedRaises()]), [TEXTS[0]]),
    ("numpy-bad", lambda: AA(NP_BAD), [NP_BAD]),
    ("numpy-bytes-bad", lambda: AA(NP_BYTES_BAD), [NP_BYTES_BAD]),
    ("numpy-2d", lambda: AA(NP_BAD.reshape(1, -1)), [NP_BAD]),
    ("numpy-uint32", lambda: AA(PACKED_NATIVE), [PACKED_NATIVE]),
    ("arrow-bad", lambda: AA(ARROW_BAD), [ARROW_BAD]),
    ("arrow-null", lambda: AA(ARROW_NULLS, errors="null"), [ARROW_NULLS]),
    ("arrow-int64", lambda: AA(pa.array(INTS_BAD)), []),
    ("bad-errors", lambda: AA(TEXTS, errors="drop"), [TEXTS]),
    ("str", lambda: AA("10.0.0.1"), []),
    ("packed-native", lambda: AA.from_packed(PACKED_NATIVE, 4), [PACKED_NATIVE]),
    ("packed-family", lambda: AA.from_packed(b"", 5), []),
    ("ints-numpy-negative", lambda: AA.from_integers(INTS_BAD, 4), [INTS_BAD]),
    ("ints-list-range", lambda: AA.from_integers(list(range(N)) + [2**40], 4), []),
    ("ints-list-type", lambda: AA.from_integers(list(range(N)) + [1.5], 4), []),
    ("ints-float", lambda: AA.from_integers(np.zeros(N), 4), []),
    ("slice-and-results", lambda: (BIG[::3].to_strings(), BIG.classify(), BIG.to_packed()),
     [BIG]),
]


@pytest.fixture(scope="module")
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.parametrize("call, inputs", [c[1:] for c in LEAK_CASES],
                         ids=[c[0] for c in LEAK_CASES])
def test_constructor_paths_are_flat(traced, call, inputs):
    watched = [AA, pytarn.ParseError, pytarn.InvalidArgumentError, None, True, False] + inputs
    for _ in range(200):
        call_quietly(call)
    refs0, rss0, malloc0, py0 = sample(watched)
    for _ in range(2000):
        call_quietly(call)
    refs1, rss1, malloc1, py1 = sample(watched)
    assert [(o, r1 - r0) for o, r0, r1 in zip(watched, refs0, refs1) if abs(r1 - r0) > 2] == []
    assert rss1 - rss0 < 4 << 20  # one leaked 128-record array per call: 5 MiB
    assert malloc1 - malloc0 < 64 << 10
    assert py1 - py0 < 64 << 10
