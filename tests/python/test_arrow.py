"""The Arrow layer and ResultBuffer, through real pyarrow, polars, pandas and
numpy objects: every import agrees item for item with the scalar parsers,
exports round-trip and share memory, and hostile Arrow input is refused with
every struct released."""

from __future__ import annotations

import ctypes
import gc
import ipaddress
import random
import struct

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import pytarn

AA = pytarn.AddressArray

# Inline (<= 12 bytes) and out-of-line string views, both families, upper-case
# hex, the IPv4-mapped form, the longest texts and nulls.
TEXTS = ["10.0.0.1", None, "::1", "2001:DB8::1", "255.255.255.255", "::ffff:192.0.2.1",
         "1111:2222:3333:4444:5555:6666:7777:8888", None, "0.0.0.0", "fe80::1:2:3:4"] * 3


def scalar(text: str | None) -> str | None:
    """The scalar path's canonical text."""
    if text is None:
        return None
    return str(pytarn.IPv6Address(text) if ":" in text else pytarn.IPv4Address(text))


def texts_of(arr: pytarn.AddressArray) -> list[str | None]:
    return [None if x is None else str(x) for x in arr]


# The padding is valid text, so an ignored slice offset shows as wrong items.
SOURCES = {
    "string": lambda t: pa.array(t, pa.string()),
    "large_string": lambda t: pa.array(t, pa.large_string()),
    "string_view": lambda t: pa.array(t, pa.string_view()),
    "chunked": lambda t: pa.chunked_array([t[:3], [], t[3:11], t[11:]], pa.string()),
    "sliced": lambda t: pa.array(["1.1.1.1"] * 5 + t + ["2.2.2.2"], pa.string())[5:-1],
    "sliced_view": lambda t: pa.array(["::2"] * 3 + t, pa.string_view())[3:],
    "polars": lambda t: pl.Series(t, dtype=pl.String),
    "pandas_arrow": lambda t: pd.Series(t, dtype=pd.ArrowDtype(pa.string())),
    "pandas_string": lambda t: pd.Series(t, dtype="string[pyarrow]"),
}


@pytest.mark.parametrize("make", SOURCES.values(), ids=SOURCES.keys())
@pytest.mark.parametrize("texts", [TEXTS, [], [None, None]], ids=["mixed", "empty", "nulls"])
def test_text_columns_agree_with_scalar_parsing(make, texts) -> None:
    arr = AA(make(texts))
    assert texts_of(arr) == [scalar(t) for t in texts]
    assert arr.null_count == texts.count(None)


@pytest.mark.parametrize("width,cls", [(4, ipaddress.IPv4Address), (16, ipaddress.IPv6Address)])
def test_fixed_size_binary_is_packed_network_order(width, cls) -> None:
    rng = random.Random(width)
    packed = [rng.randbytes(width) for _ in range(40)] + [b"\xff" * width, b"\0" * width]
    values = [None if i % 7 == 3 else p for i, p in enumerate(packed)]
    col = pa.array(values, pa.binary(width))[2:]
    assert texts_of(AA(col)) == [None if p is None else str(cls(p)) for p in values[2:]]


def test_null_type_is_all_null() -> None:
    assert texts_of(AA(pa.nulls(5))) == [None] * 5


@pytest.mark.parametrize("obj,fmt", [
    (pa.array([1, 2]), "l"),
    (pa.array(["10.0.0.1"]).dictionary_encode(), "i"),
    (pa.array([b"\x01\x02\x03\x04"], pa.binary()), "z"),
    (pa.array([b"12345678"], pa.binary(8)), "w:8"),
    (pa.array([["10.0.0.1"]]), "+l"),
    (pl.Series(["10.0.0.1"], dtype=pl.Categorical), None),
], ids=["int64", "dictionary", "binary", "binary8", "list", "polars_categorical"])
def test_unsupported_arrow_types_are_named(obj, fmt) -> None:
    with pytest.raises(pytarn.InvalidArgumentError, match="unsupported Arrow type") as info:
        AA(obj)
    if fmt is not None:
        assert f"'{fmt}'" in str(info.value)


# ---- hostile input -----------------------------------------------------------

_get = ctypes.pythonapi.PyCapsule_GetPointer
_get.restype, _get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
_new = ctypes.pythonapi.PyCapsule_New
_new.restype, _new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_I64 = ctypes.c_int64


class Producer:
    """Hands out whatever __arrow_c_array__ result it was given."""

    def __init__(self, result) -> None:
        self.result = result

    def __arrow_c_array__(self, requested_schema=None):
        return self.result


def poked(field: int, value: int):
    """A real utf8 export with one int64 field of its ArrowArray overwritten
    (0 length, 1 null_count, 2 offset, 3 n_buffers)."""
    schema, array = pa.array(["10.0.0.1", None, "::1"]).__arrow_c_array__()
    _I64.from_address(_get(array, b"arrow_array") + 8 * field).value = value
    return Producer((schema, array))


def views(*entries, data=b"2001:db8::1234:5678:9abc"):
    """A string_view array from raw (length, buffer index, offset) views."""
    raw = b"".join(struct.pack("<i4sii", n, b"2001", idx, off) for n, idx, off in entries)
    return pa.Array.from_buffers(pa.string_view(), len(entries),
                                 [None, pa.py_buffer(raw), pa.py_buffer(data)])


def utf8(offsets):
    """A utf8 array whose offsets are written after pyarrow's own checks."""
    raw = bytearray(4 * len(offsets))
    arr = pa.Array.from_buffers(pa.string(), len(offsets) - 1,
                                [None, pa.py_buffer(raw), pa.py_buffer(b"1.2.3.4")])
    struct.pack_into(f"<{len(offsets)}i", raw, 0, *offsets)
    return arr


def failing_stream():
    """A stream (built field by field) that yields one array, then fails."""
    calls = {"next": 0, "released": False}

    class Stream(ctypes.Structure):
        pass

    fn = ctypes.CFUNCTYPE
    get_schema_t = fn(ctypes.c_int, ctypes.POINTER(Stream), ctypes.c_void_p)
    get_next_t = fn(ctypes.c_int, ctypes.POINTER(Stream), ctypes.c_void_p)
    last_error_t = fn(ctypes.c_void_p, ctypes.POINTER(Stream))
    release_t = fn(None, ctypes.POINTER(Stream))
    Stream._fields_ = [("get_schema", get_schema_t), ("get_next", get_next_t),
                       ("get_last_error", last_error_t), ("release", release_t),
                       ("private_data", ctypes.c_void_p)]

    def move(capsule, name: bytes, out: int, size: int) -> None:
        src = _get(capsule, name)
        ctypes.memmove(out, src, size)
        ctypes.memset(src + size - 16, 0, 8)  # release precedes private_data

    def get_schema(_s, out):
        move(pa.array([], pa.string()).__arrow_c_array__()[0], b"arrow_schema", out, 72)
        return 0

    def get_next(_s, out):
        calls["next"] += 1
        if calls["next"] > 1:
            return 5  # EIO
        move(pa.array(["10.0.0.1"]).__arrow_c_array__()[1], b"arrow_array", out, 80)
        return 0

    def release(s):
        calls["released"] = True
        s.contents.release = release_t()

    message = ctypes.create_string_buffer(b"disk on fire")
    callbacks = (get_schema_t(get_schema), get_next_t(get_next),
                 last_error_t(lambda _s: ctypes.addressof(message)), release_t(release))
    stream = Stream(*callbacks, None)

    class Source:
        def __arrow_c_stream__(self, requested_schema=None):
            return _new(ctypes.addressof(stream), b"arrow_array_stream", None)

    return Source(), calls, (stream, callbacks, message)


def test_failing_stream_reports_its_last_error_and_is_released() -> None:
    source, calls, _keep = failing_stream()
    before = pa.total_allocated_bytes()
    with pytest.raises(pytarn.InvalidArgumentError, match="get_next.*disk on fire"):
        AA(source)
    gc.collect()
    assert calls == {"next": 2, "released": True}
    assert pa.total_allocated_bytes() == before  # the chunk already taken was released


def _swapped():
    schema, array = pa.array(["10.0.0.1"]).__arrow_c_array__()
    return Producer((array, schema))


def _consumed():
    pair = pa.array(["10.0.0.1"]).__arrow_c_array__()
    AA(Producer(pair))
    return Producer(pair)


@pytest.mark.parametrize("make,exc,needle", [
    (lambda: utf8([0, 7, 3]), pytarn.InvalidArgumentError, "offsets decrease at item 1"),
    (lambda: utf8([-1, 7]), pytarn.InvalidArgumentError, "negative first offset"),
    (lambda: views((20, 3, 0)), pytarn.InvalidArgumentError, "names data buffer 3 of 1"),
    (lambda: views((5, 0, 0), (30, 0, 0)), pytarn.InvalidArgumentError, "item 1 lies outside"),
    (lambda: views((-2, 0, 0)), pytarn.InvalidArgumentError, "negative string length"),
    (lambda: poked(0, -1), pytarn.InvalidArgumentError, "negative length"),
    (lambda: poked(2, -4), pytarn.InvalidArgumentError, "negative length, offset"),
    (lambda: poked(1, 9), pytarn.InvalidArgumentError, "null count 9 exceeds"),
    (lambda: poked(3, 2), pytarn.InvalidArgumentError, "2 buffers for a layout of 3"),
    (_swapped, TypeError, "named 'arrow_array', not 'arrow_schema'"),
    (_consumed, pytarn.InvalidArgumentError, "released 'arrow_schema'"),
    (lambda: Producer(42), TypeError, "not a pair of PyCapsules"),
    (lambda: Producer((1, 2)), TypeError, "not a PyCapsule named 'arrow_schema'"),
], ids=["offsets_decrease", "offset_negative", "view_buffer_index", "view_range",
        "view_length", "length", "offset", "null_count", "n_buffers", "swapped_capsules",
        "consumed_capsules", "not_a_tuple", "not_capsules"])
def test_hostile_arrow_input_is_refused_and_released(make, exc, needle) -> None:
    before = pa.total_allocated_bytes()
    obj = make()
    with pytest.raises(exc, match=needle):
        AA(obj)
    del obj
    gc.collect()
    assert pa.total_allocated_bytes() == before


# ---- export --------------------------------------------------------------------

def random_texts(seed: int, n: int) -> list[str | None]:
    rng = random.Random(seed)
    out: list[str | None] = []
    for _ in range(n):
        r = rng.random()
        out.append(None if r < 0.1 else str(ipaddress.IPv4Address(rng.getrandbits(32))) if r < 0.5
                   else str(ipaddress.IPv6Address(rng.getrandbits(rng.choice([16, 64, 128])))))
    return out


@pytest.mark.parametrize("seed", [1, 2])
def test_text_export_round_trips(seed: int) -> None:
    texts = random_texts(seed, 3000)  # ipaddress prints the same canonical text
    arr = AA(texts)
    exported = pa.array(arr)
    assert exported.type == pa.string() and exported.null_count == texts.count(None)
    assert exported.to_pylist() == texts
    assert pa.chunked_array(arr).to_pylist() == texts
    assert pl.Series(arr).to_list() == texts
    assert AA(exported) == arr


@pytest.mark.parametrize("texts", [[], [None], ["::"]], ids=["empty", "null", "one"])
def test_text_export_of_tiny_arrays(texts) -> None:
    assert pa.array(AA(texts)).to_pylist() == texts


V4S = ["10.0.0.1", None, "192.168.7.9", "127.0.0.1", "255.255.255.255"] * 3
V6S = ["2001:db8::1", None, "::1", "fe80::9", "::ffff:10.0.0.1"] * 3

# method, kind, format, numpy dtype, Arrow type
RESULTS = [
    (lambda: AA(V4S + V6S).families(), "uint8", "B", np.uint8, pa.uint8()),
    (lambda: AA(V4S + V6S).is_null(), "bool", "?", np.bool_, pa.bool_()),
    (lambda: AA(V4S + V6S).classify(), "uint32", "I", np.uint32, pa.uint32()),
    (lambda: AA(V4S).to_uint32(), "uint32", "I", np.uint32, pa.uint32()),
    (lambda: AA(V4S).to_packed(), "packed4", "4s", np.dtype("S4"), pa.binary(4)),
    (lambda: AA(V6S).to_packed(), "packed16", "16s", np.dtype("S16"), pa.binary(16)),
    (lambda: pytarn.bulk_contains_array(AA(V4S + V6S), [pytarn.IPv4Network("10.0.0.0/8"),
                                                       pytarn.IPv6Network("::/0")]),
     "int64", "q", np.int64, pa.int64()),
]


@pytest.mark.parametrize("make,kind,fmt,dtype,arrow_type", RESULTS,
                         ids=[r[1] + str(i) for i, r in enumerate(RESULTS)])
def test_result_buffer_exports(make, kind, fmt, dtype, arrow_type) -> None:
    buf = make()
    items = buf.tolist()
    assert (buf.kind, buf.format, len(buf), buf.null_count) == (kind, fmt, len(items),
                                                                items.count(None))
    assert [buf[i] for i in range(-len(buf), 0)] == items
    view = np.asarray(buf)
    assert view.dtype == dtype and view.shape == (len(buf),) and not view.flags.writeable
    assert np.shares_memory(view, np.asarray(buf))
    assert memoryview(buf).readonly and memoryview(buf).itemsize == buf.itemsize
    exported = pa.array(buf)
    assert exported.type == arrow_type and exported.to_pylist() == items
    assert pa.chunked_array(buf).to_pylist() == items
    if kind != "bool":  # booleans are bit-packed into a bitmap of the export's own
        assert exported.buffers()[1].address == view.ctypes.data
    present = [x is not None for x in items]
    # Outside the nulls, the buffer protocol and Arrow read the same values.
    assert [v for v, p in zip(view.tolist(), present) if p] == [x for x in items if x is not None]


def test_result_buffer_outlives_its_name_in_its_exports() -> None:
    buf = AA(V4S).to_packed()
    view, exported, want = np.asarray(buf), pa.array(buf), buf.tolist()
    del buf
    gc.collect()
    assert exported.to_pylist() == want
    assert view[0] == b"\x0a\0\0\x01"


def test_result_buffer_refusals() -> None:
    buf = AA(V4S).families()
    with pytest.raises(TypeError):
        pytarn.ResultBuffer()
    with pytest.raises(IndexError):
        buf[len(buf)]
    with pytest.raises((BufferError, TypeError)):  # readinto asks for a writable buffer
        __import__("io").BytesIO(b"x").readinto(buf)
    assert repr(buf) == f"ResultBuffer(uint8, {len(buf)} items)"
