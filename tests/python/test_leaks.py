"""Leak checks of the bulk functions and PrefixIndex: every success and failure
path, repeated thousands of times, must leave memory and reference counts flat.

The temporary arrays of the binding come from malloc, which tracemalloc does
not see, so three meters run side by side:
  * resident memory from /proc/self/statm (coarse: catches any per-call array),
  * glibc's mallinfo2() bytes in use, where available (exact for malloc),
  * tracemalloc (Python objects: a leaked int, list or exception).
Reference counts of the module's types, of None/True/False, of the exception
classes and of each case's own inputs must not move (beyond the odd stray
reference the interpreter itself takes).  Every case runs
with batches of 128 items, so one leaked array per call costs at least 2 KiB.
"""

import array
import ctypes
import gc
import os
import sys
import tracemalloc

import pytest

import pytarn

ITEMS = 128
CALLS = 5000
PAGE = os.sysconf("SC_PAGE_SIZE")
RSS_LIMIT = 4 << 20  # a leaked 2 KiB array per call would be ~10 MiB
MALLOC_LIMIT = 64 << 10  # under 14 bytes per call
PYMEM_LIMIT = 64 << 10


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _malloc_meter():
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2

    def in_use():
        info = fn()
        return info.uordblks + info.hblkhd

    # Under AddressSanitizer the interposed allocator answers all zeros.
    return in_use if in_use() else None


malloc_in_use = _malloc_meter()

MODULE_OBJECTS = [
    pytarn.IPv4Address, pytarn.IPv6Address, pytarn.IPv4Network, pytarn.IPv6Network,
    pytarn.PrefixIndex, pytarn.SubnetIterator, pytarn.AddressArray, pytarn.ResultBuffer,
    pytarn.TARNError, pytarn.ParseError, pytarn.InvalidArgumentError, pytarn.FamilyError, None, True, False,
]

# ---- inputs, built once -----------------------------------------------------------

V4_TEXT = [f"10.{i // 256}.{i % 256}.1" for i in range(ITEMS)]
V6_TEXT = [f"2001:db8::{i:x}" for i in range(ITEMS)]
V4_ADDRS = [pytarn.IPv4Address(t) for t in V4_TEXT]
V6_ADDRS = [pytarn.IPv6Address(t) for t in V6_TEXT]
V4_NETS = [pytarn.IPv4Network(f"10.{i}.0.0/16") for i in range(ITEMS)]
V6_NETS = [pytarn.IPv6Network(f"2001:db8:{i:x}::/48") for i in range(ITEMS)]
V4_PACKED = b"".join(a.packed for a in V4_ADDRS)
NATIVE_U32 = memoryview(V4_PACKED).cast("I")  # refused: native-order integers


class Packed16(ctypes.Structure):
    _fields_ = [("b", ctypes.c_ubyte * 16)]


V6_PACKED = (Packed16 * ITEMS).from_buffer_copy(b"".join(a.packed for a in V6_ADDRS))
V4_INDEX = pytarn.PrefixIndex(V4_NETS)
BIG_BATCH = V4_ADDRS * 40  # above the 4096 results kept on the stack


def late(items, bad):
    """`items` with one offender at the end, after the arrays are allocated."""
    return list(items) + [bad]


def raising(items):
    """A generator that fails after yielding everything."""
    yield from items
    raise RuntimeError("generator failed")


def exit_midway(index, items):
    """A generator that releases `index` halfway through."""
    for i, x in enumerate(items):
        if i == len(items) // 2:
            index.__exit__(None, None, None)
        yield x


def build_lookup_exit():
    with pytarn.PrefixIndex(V4_NETS) as idx:
        idx.lookup(V4_ADDRS)


def build_and_drop():
    pytarn.PrefixIndex(V6_NETS)


def lookup_after_exit_in_generator():
    idx = pytarn.PrefixIndex(V4_NETS)
    idx.lookup(exit_midway(idx, V4_ADDRS))


RELEASED = pytarn.PrefixIndex(V4_NETS[:1])
RELEASED.__exit__(None, None, None)

MIXED_ADDRS = late(V4_ADDRS, V6_ADDRS[0])
MIXED_NETS = late(V4_NETS, V6_NETS[0])
BAD_STRS = late(V4_TEXT, 5)
BOGUS_STRS = late(V4_TEXT, "bogus")
NET_TEXT = [str(n) for n in V4_NETS] + [str(n) for n in V6_NETS]
HOSTBITS_TEXT = late(NET_TEXT, "10.0.0.1/8")
MIXED_STRS = late(V4_TEXT, "::1")
NUL_STRS = late(V4_TEXT, "10.0.0.1\x00x")
SURROGATE_STRS = late(V4_TEXT, "\ud800")
MIXED_COLUMN = pytarn.AddressArray(V4_TEXT + [None] + V6_TEXT)
MIXED_INDEX = pytarn.PrefixIndex(V4_NETS + V6_NETS)
BAD_NETS = late(V4_NETS, "10.0.0.0/8")
TWO_D = memoryview(bytes(16 * ITEMS)).cast("I", (ITEMS, 4))
STRIDED = memoryview(array.array("I", range(2 * ITEMS)))[::2]

CASES = [
    # (id, call, inputs whose reference counts are watched too, calls)
    ("parse-v4", lambda: pytarn.bulk_parse(V4_TEXT), [V4_TEXT, V4_TEXT[0]], CALLS),
    ("parse-v6-tuple", lambda: pytarn.bulk_parse(tuple(V6_TEXT)), [V6_TEXT[-1]], CALLS),
    ("parse-generator", lambda: pytarn.bulk_parse(t for t in V4_TEXT), [V4_TEXT[1]], CALLS),
    ("parse-empty", lambda: pytarn.bulk_parse([]), [], CALLS),
    ("parse-not-iterable", lambda: pytarn.bulk_parse(5), [], CALLS),
    ("parse-non-str", lambda: pytarn.bulk_parse(BAD_STRS), [BAD_STRS, BAD_STRS[0]], CALLS),
    ("parse-bogus", lambda: pytarn.bulk_parse(BOGUS_STRS), [BOGUS_STRS], CALLS),
    ("parse-mixed", lambda: pytarn.bulk_parse(MIXED_STRS), [MIXED_STRS], CALLS),
    ("parse-nul", lambda: pytarn.bulk_parse(NUL_STRS), [NUL_STRS, NUL_STRS[-1]], CALLS),
    ("parse-surrogate", lambda: pytarn.bulk_parse(SURROGATE_STRS), [SURROGATE_STRS], CALLS),
    ("parse-raising-generator", lambda: pytarn.bulk_parse(raising(V4_TEXT)), [V4_TEXT[2]],
     CALLS),
    ("contains-v4", lambda: pytarn.bulk_contains(V4_ADDRS, V4_NETS),
     [V4_ADDRS, V4_NETS, V4_ADDRS[0], V4_NETS[0]], CALLS),
    ("contains-v6-generators",
     lambda: pytarn.bulk_contains((a for a in V6_ADDRS), (n for n in V6_NETS)),
     [V6_ADDRS[0], V6_NETS[0]], CALLS),
    ("contains-no-nets", lambda: pytarn.bulk_contains(V4_ADDRS, []), [V4_ADDRS], CALLS),
    ("contains-no-addrs", lambda: pytarn.bulk_contains([], V4_NETS), [V4_NETS], CALLS),
    ("contains-str-address", lambda: pytarn.bulk_contains(V4_TEXT, V4_NETS), [V4_TEXT], CALLS),
    ("contains-mixed-addrs", lambda: pytarn.bulk_contains(MIXED_ADDRS, V4_NETS),
     [MIXED_ADDRS], CALLS),
    ("contains-mixed-nets", lambda: pytarn.bulk_contains(V4_ADDRS, MIXED_NETS), [MIXED_NETS],
     CALLS),
    ("contains-nets-not-iterable", lambda: pytarn.bulk_contains(V4_ADDRS, 7), [V4_ADDRS], CALLS),
    ("contains-nets-raising", lambda: pytarn.bulk_contains(V4_ADDRS, raising(V4_NETS)),
     [V4_NETS[0]], CALLS),
    ("contains-family-mismatch", lambda: pytarn.bulk_contains(V4_ADDRS, V6_NETS),
     [V4_ADDRS, V6_NETS], CALLS),
    ("aggregate-v4", lambda: pytarn.bulk_aggregate(V4_NETS), [V4_NETS, V4_NETS[3]], CALLS),
    ("aggregate-v6", lambda: pytarn.bulk_aggregate(tuple(V6_NETS)), [V6_NETS[3]], CALLS),
    ("aggregate-mixed", lambda: pytarn.bulk_aggregate(MIXED_NETS), [MIXED_NETS], CALLS),
    ("sort-asc", lambda: pytarn.bulk_sort(V6_NETS, 0), [V6_NETS], CALLS),
    ("sort-desc", lambda: pytarn.bulk_sort(V4_NETS, 1), [V4_NETS], CALLS),
    ("sort-bad-order", lambda: pytarn.bulk_sort(V4_NETS, 9), [V4_NETS], CALLS),
    ("sort-order-overflow", lambda: pytarn.bulk_sort(V4_NETS, 2**40), [V4_NETS], CALLS),
    ("packed-v4", lambda: pytarn.bulk_contains_packed(V4_PACKED, V4_NETS, 4),
     [V4_PACKED, V4_NETS], CALLS),
    ("packed-v6-ctypes", lambda: pytarn.bulk_contains_packed(V6_PACKED, V6_NETS, 6),
     [V6_PACKED, V6_NETS], CALLS),
    ("packed-empty", lambda: pytarn.bulk_contains_packed(b"", V4_NETS, 4), [V4_NETS], CALLS),
    ("packed-bad-family", lambda: pytarn.bulk_contains_packed(V4_PACKED, V4_NETS, 5),
     [V4_PACKED], CALLS),
    ("packed-no-buffer", lambda: pytarn.bulk_contains_packed(V4_NETS, V4_NETS, 4), [V4_NETS],
     CALLS),
    ("packed-2d", lambda: pytarn.bulk_contains_packed(TWO_D, V4_NETS, 4), [TWO_D], CALLS),
    ("packed-element-size", lambda: pytarn.bulk_contains_packed(V4_PACKED, V6_NETS, 6),
     [V4_PACKED], CALLS),
    ("packed-strided", lambda: pytarn.bulk_contains_packed(STRIDED, V4_NETS, 4), [STRIDED],
     CALLS),
    ("packed-prefix-family", lambda: pytarn.bulk_contains_packed(V4_PACKED, V6_NETS, 4),
     [V4_PACKED, V6_NETS], CALLS),
    ("packed-mixed-nets", lambda: pytarn.bulk_contains_packed(V4_PACKED, MIXED_NETS, 4),
     [MIXED_NETS], CALLS),
    ("packed-nets-raising", lambda: pytarn.bulk_contains_packed(V4_PACKED, raising(V4_NETS), 4),
     [V4_PACKED], CALLS),
    ("index-build-lookup-exit", build_lookup_exit, [V4_NETS, V4_ADDRS], CALLS),
    ("index-build-drop-live", build_and_drop, [V6_NETS], CALLS),
    ("index-lookup", lambda: V4_INDEX.lookup(V4_ADDRS), [V4_INDEX, V4_ADDRS], CALLS),
    ("index-lookup-heap-results", lambda: V4_INDEX.lookup(BIG_BATCH), [V4_INDEX, BIG_BATCH],
     CALLS // 10),
    ("index-lookup-empty", lambda: V4_INDEX.lookup(()), [V4_INDEX], CALLS),
    ("index-empty", lambda: pytarn.PrefixIndex([]), [], CALLS),
    ("index-not-iterable", lambda: pytarn.PrefixIndex(3), [], CALLS),
    ("index-mixed", lambda: pytarn.PrefixIndex(MIXED_NETS), [MIXED_NETS], CALLS),
    ("index-raising", lambda: pytarn.PrefixIndex(raising(V6_NETS)), [V6_NETS[0]], CALLS),
    ("index-no-args", lambda: pytarn.PrefixIndex(), [], CALLS),
    ("index-lookup-released", lambda: RELEASED.lookup(V4_ADDRS), [RELEASED, V4_ADDRS], CALLS),
    ("index-lookup-mixed", lambda: V4_INDEX.lookup(MIXED_ADDRS), [V4_INDEX, MIXED_ADDRS],
     CALLS),
    ("index-lookup-other-family", lambda: V4_INDEX.lookup(V6_ADDRS), [V4_INDEX, V6_ADDRS],
     CALLS),
    ("index-lookup-raising", lambda: V4_INDEX.lookup(raising(V4_ADDRS)), [V4_INDEX], CALLS),
    ("index-exit-in-generator", lookup_after_exit_in_generator, [V4_NETS, V4_ADDRS], CALLS),
    ("packed-native-order", lambda: pytarn.bulk_contains_packed(NATIVE_U32, V4_NETS, 4),
     [NATIVE_U32], CALLS),
    ("columns-index-both-families", lambda: pytarn.PrefixIndex(MIXED_NETS), [MIXED_NETS], CALLS),
    ("columns-lookup-array", lambda: MIXED_INDEX.lookup_array(MIXED_COLUMN),
     [MIXED_INDEX, MIXED_COLUMN], CALLS),
    ("columns-lookup-array-text", lambda: V4_INDEX.lookup_array(V4_TEXT), [V4_TEXT], CALLS),
    ("columns-lookup-array-bad-item", lambda: V4_INDEX.lookup_array(BOGUS_STRS), [BOGUS_STRS],
     CALLS),
    ("columns-lookup-array-not-a-column", lambda: V4_INDEX.lookup_array(5), [], CALLS),
    ("columns-lookup-array-released", lambda: RELEASED.lookup_array(MIXED_COLUMN),
     [RELEASED, MIXED_COLUMN], CALLS),
    ("columns-lookup-packed", lambda: MIXED_INDEX.lookup_packed(bytes(64), 4), [MIXED_INDEX],
     CALLS),
    ("columns-lookup-packed-native-order", lambda: V4_INDEX.lookup_packed(NATIVE_U32, 4),
     [NATIVE_U32], CALLS),
    ("columns-lookup-packed-released", lambda: RELEASED.lookup_packed(bytes(4), 4), [RELEASED],
     CALLS),
    ("columns-contains-array", lambda: pytarn.bulk_contains_array(MIXED_COLUMN, MIXED_NETS),
     [MIXED_COLUMN, MIXED_NETS], CALLS),
    ("columns-contains-array-bad-nets", lambda: pytarn.bulk_contains_array(MIXED_COLUMN, BAD_NETS),
     [MIXED_COLUMN, BAD_NETS], CALLS),
    ("columns-contains-array-bad-values", lambda: pytarn.bulk_contains_array(BOGUS_STRS, V4_NETS),
     [BOGUS_STRS, V4_NETS], CALLS),
    ("columns-within", lambda: MIXED_COLUMN.within(V4_NETS[0]), [MIXED_COLUMN, V4_NETS[0]],
     CALLS),
    ("columns-within-not-a-network", lambda: MIXED_COLUMN.within("10.0.0.0/8"), [MIXED_COLUMN],
     CALLS),
    ("index-exit-bad-args", lambda: V4_INDEX.__exit__(None), [V4_INDEX], CALLS),
    ("index-repr", lambda: repr(V4_INDEX), [V4_INDEX], CALLS),
    ("index-from-strings", lambda: pytarn.PrefixIndex.from_strings(NET_TEXT), [NET_TEXT], CALLS),
    ("index-from-strings-host-bits", lambda: pytarn.PrefixIndex.from_strings(HOSTBITS_TEXT),
     [HOSTBITS_TEXT], CALLS),
    ("index-from-strings-not-str", lambda: pytarn.PrefixIndex.from_strings(V4_NETS), [V4_NETS],
     CALLS),
]


def call_quietly(fn):
    try:
        fn()
    except Exception:
        pass


def sample(watched):
    gc.collect()
    return (
        [sys.getrefcount(o) for o in watched],
        rss(),
        malloc_in_use() if malloc_in_use else 0,
        tracemalloc.get_traced_memory()[0],
    )


@pytest.fixture(scope="module")
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.parametrize("call, inputs, calls", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_flat(traced, call, inputs, calls):
    watched = MODULE_OBJECTS + inputs
    for _ in range(200):  # let caches, free lists and the malloc arena settle
        call_quietly(call)
    refs0, rss0, malloc0, py0 = sample(watched)
    for _ in range(calls):
        call_quietly(call)
    refs1, rss1, malloc1, py1 = sample(watched)
    # A leaked or stolen reference per call moves a count by `calls`; a few
    # (None is referenced from everywhere, and objects made before the window
    # are freed inside it) are the interpreter's own business.
    slack = max(2, calls // 50)
    moved = [(o, r1 - r0) for o, r0, r1 in zip(watched, refs0, refs1) if abs(r1 - r0) > slack]
    assert moved == []
    # The resident size also moves with whatever else the process runs (the
    # threads an earlier Dask or Spark test leaves behind), so it is the
    # meter only where glibc's exact one is missing.
    if malloc_in_use is None:
        assert rss1 - rss0 < RSS_LIMIT
    assert malloc1 - malloc0 < MALLOC_LIMIT
    assert py1 - py0 < PYMEM_LIMIT


def test_the_meters_see_a_leak(traced):
    """The meters are sensitive enough: one kept 2 KiB malloc block per call and
    one kept Python list per call both register."""
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.free.argtypes = [ctypes.c_void_p]
    blocks = []
    kept = []
    try:
        _, rss0, malloc0, py0 = sample([])
        for _ in range(CALLS):
            p = libc.malloc(2048)
            ctypes.memset(p, 1, 2048)  # make the pages resident
            blocks.append(p)
            kept.append([0] * 16)
        _, rss1, malloc1, py1 = sample([])
        assert rss1 - rss0 >= RSS_LIMIT
        if malloc_in_use:
            assert malloc1 - malloc0 >= MALLOC_LIMIT
        assert py1 - py0 >= PYMEM_LIMIT
    finally:
        for p in blocks:
            libc.free(p)
