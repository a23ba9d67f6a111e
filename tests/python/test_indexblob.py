"""Tests of PrefixIndex as bytes: to_bytes/from_bytes, pickling and copies
keep every answer (checked against a linear reference too); hostile bytes
raise InvalidArgumentError; seeded random damage never crashes."""

import copy
import functools
import ipaddress
import pickle
import random
import struct

import pytest

import pytarn

N4, N6, A4, A6 = pytarn.IPv4Network, pytarn.IPv6Network, pytarn.IPv4Address, pytarn.IPv6Address
Invalid = pytarn.InvalidArgumentError

# The outer layout (see indexblob.c) and the core's (tarn_index_blob.cpp).
OUTER = struct.Struct("<8sIIQQQQQ")
CORE_HEADER, CORE_SECTIONS_AT, CORE_CHECKSUM_AT, CORE_SECTIONS = 108, 60, 100, 5


def xxh64(data, seed=0):
    """XXH64, written out from the algorithm's definition (the core blob's checksum)."""
    p1, p2, p3 = 0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9
    p4, p5, m = 0x85EBCA77C2B2AE63, 0x27D4EB2F165667C5, (1 << 64) - 1

    def rotl(x, r):
        return ((x << r) | (x >> (64 - r))) & m

    def rnd(acc, word):
        return rotl((acc + word * p2) & m, 31) * p1 & m

    n, at = len(data), 0
    if n >= 32:
        v = [(seed + p1 + p2) & m, (seed + p2) & m, seed, (seed - p1) & m]
        while at + 32 <= n:
            v = [rnd(v[i], int.from_bytes(data[at + 8 * i:at + 8 * i + 8], "little"))
                 for i in range(4)]
            at += 32
        h = (rotl(v[0], 1) + rotl(v[1], 7) + rotl(v[2], 12) + rotl(v[3], 18)) & m
        for lane in v:
            h = ((h ^ rnd(0, lane)) * p1 + p4) & m
    else:
        h = (seed + p5) & m
    h = (h + n) & m
    while at + 8 <= n:
        h = (rotl(h ^ rnd(0, int.from_bytes(data[at:at + 8], "little")), 27) * p1 + p4) & m
        at += 8
    if at + 4 <= n:
        h = (rotl(h ^ (int.from_bytes(data[at:at + 4], "little") * p1 & m), 23) * p2 + p3) & m
        at += 4
    for b in data[at:]:
        h = rotl(h ^ (b * p5 & m), 11) * p1 & m
    h = (h ^ (h >> 33)) * p2 & m
    h = (h ^ (h >> 29)) * p3 & m
    return h ^ (h >> 32)


def test_xxh64_reference_vectors():
    assert xxh64(b"") == 0xEF46DB3751D8E999
    assert xxh64(b"abc") == 0x44BC2CF5AD770999


def core_parts(blob):
    """(offset, length) of each core blob inside an outer blob: version 1
    puts a map of u64 positions after each, version 2 one family bitmap after
    both."""
    _, version, _, _, len4, map4, len6, _ = OUTER.unpack_from(blob)
    first = OUTER.size
    return [(first, len4), (first + len4 + (8 * map4 if version == 1 else 0), len6)]


def bitmap_check(bits):
    """The family bitmap's check, written out (indexblob.c)."""
    m = (1 << 64) - 1
    h = 0x7461726E6D617073 ^ len(bits)
    for at in range(0, len(bits), 8):
        h = ((h ^ int.from_bytes(bits[at:at + 8], "little")) * 0x9E3779B97F4A7C15) & m
        h ^= h >> 29
    return h


def family_bitmap(blob):
    """(offset, bytes) of a version 2 mixed blob's family bitmap."""
    count = OUTER.unpack_from(blob)[3]
    at = len(blob) - 8 - (count + 7) // 8
    return at, blob[at:len(blob) - 8]


def with_bitmap(blob, bits, check=None):
    """The version 2 blob with its bitmap replaced and its check recomputed
    (or set to `check`)."""
    at, _ = family_bitmap(blob)
    return blob[:at] + bits + struct.pack("<Q", bitmap_check(bits) if check is None else check)


def as_version1(blob, reorder=lambda positions: positions):
    """A version 2 mixed blob rewritten as version 1: each core blob followed
    by its map of u64 table positions (`reorder` may permute each map)."""
    _, _, family, count, len4, map4, len6, map6 = OUTER.unpack_from(blob)
    _, bits = family_bitmap(blob)
    is6 = [(bits[t // 8] >> (t % 8)) & 1 for t in range(count)]
    maps = [[t for t in range(count) if is6[t] == f] for f in (0, 1)]
    head = with_header(blob, version=1)[:OUTER.size]
    (at4, _), (at6, _) = core_parts(blob)
    body = b""
    for (at, length), positions in zip(((at4, len4), (at6, len6)), maps):
        body += blob[at:at + length] + b"".join(struct.pack("<Q", p) for p in reorder(positions))
    return head + body


def fix_core_checksums(blob):
    """The outer blob with every core checksum recomputed, so that damage
    reaches the structural checks behind it."""
    out = bytearray(blob)
    for at, length in core_parts(out):
        if length >= CORE_HEADER and at + length <= len(out):
            payload = bytes(out[at + CORE_HEADER:at + length])
            struct.pack_into("<Q", out, at + CORE_CHECKSUM_AT, xxh64(payload))
    return bytes(out)


def random_table(rng, versions, count):
    """`count` networks per version: /0, a host route at the top of the space,
    then clustered networks of random lengths (nesting is common); plus a few
    duplicates when there are enough.  Shuffled."""
    nets = []
    for version in versions:
        std = ipaddress.IPv4Network if version == 4 else ipaddress.IPv6Network
        bits = 32 if version == 4 else 128
        base = rng.getrandbits(bits)
        share = [std((0, 0)), std(((1 << bits) - 1, bits))]
        while len(share) < count:
            plen = rng.choice([rng.randint(0, bits), rng.randint(bits - 16, bits)])
            addr = base ^ (rng.getrandbits(bits) >> rng.randint(0, bits))
            share.append(std((addr, plen), strict=False))
        nets += [(N4 if version == 4 else N6)(str(n)) for n in share[:count]]
    if len(nets) > 8:
        nets += rng.sample(nets, 5)
    rng.shuffle(nets)
    return nets


def probes(rng, nets, n=300):
    """Addresses inside and just beside the table's networks, per family."""
    out = {4: [], 6: []}
    for _ in range(n):
        net = ipaddress.ip_network(str(rng.choice(nets)))
        host_bits = net.max_prefixlen - net.prefixlen
        host = rng.getrandbits(host_bits) if host_bits else 0
        value = int(net.network_address) + host + rng.choice([0, 0, 0, -1, 1])
        value %= 1 << net.max_prefixlen
        out[net.version].append((A4 if net.version == 4 else A6)(value))
    return out


def answers(index, nets, addrs):
    """Everything the index answers about these addresses and networks."""
    got = {"repr": repr(index), "len": len(index), "prefixes": index.prefixes(),
           "exact": index.exact_many(nets), "covered": [index.covered(n) for n in nets[:20]]}
    for version, batch in addrs.items():
        if batch:
            got[version] = index.lookup(batch)
            got["covering", version] = [index.covering(a) for a in batch[:40]]
    mixed = [a for batch in addrs.values() for a in batch]
    got["array"] = memoryview(index.lookup_array(mixed)).tolist()
    return got


def linear_longest(std_nets, addr):
    """The longest of the stdlib networks containing addr, or None."""
    target = ipaddress.ip_address(str(addr))
    best = None
    for n in std_nets:
        if n.version != target.version or target not in n:
            continue
        if best is None or n.prefixlen > best.prefixlen:
            best = n
    return best


class SubIndex(pytarn.PrefixIndex):
    pass


TABLES = {"v4": (4,), "v6": (6,), "mixed": (4, 6)}
SIZES = [1, 3, 200, 5000]


@pytest.fixture(scope="module", params=[(t, s) for t in TABLES for s in SIZES],
                ids=[f"{t}-{s}" for t in TABLES for s in SIZES])
def table(request):
    name, size = request.param
    rng = random.Random(f"{name}-{size}")
    nets = random_table(rng, TABLES[name], size)
    return nets, pytarn.PrefixIndex(nets), probes(rng, nets)


def pickled(index, protocol):
    return pickle.loads(pickle.dumps(index, protocol=protocol))


def out_of_band(index, as_buffer):
    """A protocol 5 pickle whose blob goes out of band, as Dask sends it: the
    pickle itself holds only the call, and the blob comes back as the
    buffer type an unpickler was handed."""
    buffers = []
    data = pickle.dumps(index, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and len(data) < 200
    return pickle.loads(data, buffers=[as_buffer(b.raw()) for b in buffers])


ROUND_TRIPS = {
    "bytes": lambda i: pytarn.PrefixIndex.from_bytes(i.to_bytes()),
    "bytearray": lambda i: pytarn.PrefixIndex.from_bytes(bytearray(i.to_bytes())),
    "memoryview": lambda i: pytarn.PrefixIndex.from_bytes(memoryview(b"xx" + i.to_bytes())[2:]),
    **{f"pickle{p}": functools.partial(pickled, protocol=p) for p in range(2, 6)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    **{f"pickle5 out of band, {t.__name__}": functools.partial(out_of_band, as_buffer=t)
       for t in (bytes, bytearray, memoryview)},
}


@pytest.mark.parametrize("via", ROUND_TRIPS)
def test_round_trip_keeps_every_answer(table, via):
    nets, index, addrs = table
    other = ROUND_TRIPS[via](index)
    assert type(other) is pytarn.PrefixIndex
    assert answers(other, nets, addrs) == answers(index, nets, addrs)
    assert other.to_bytes() == index.to_bytes()  # only canonical blobs load


def test_answers_match_linear_reference(table):
    nets, index, addrs = table
    loaded = pytarn.PrefixIndex.from_bytes(index.to_bytes())
    std_nets = [ipaddress.ip_network(str(n)) for n in nets]
    for batch in addrs.values():
        batch = batch[:40]  # the scan is slow; the round trips compare every answer
        for addr, pos in zip(batch, loaded.lookup(batch) if batch else []):
            want = linear_longest(std_nets, addr)
            assert (pos == -1) == (want is None), addr
            assert want is None or std_nets[pos] == want, addr


def test_subclass_kept_with_its_attributes():
    idx = SubIndex([N4("10.0.0.0/8"), N6("2001:db8::/32")])
    idx.tag = ["a"]
    for other in (pickle.loads(pickle.dumps(idx)), copy.copy(idx), copy.deepcopy(idx)):
        assert type(other) is SubIndex and other is not idx and other.tag == ["a"]
        assert other.lookup([A4("10.1.1.1")]) == [0]
    assert copy.deepcopy(idx).tag is not idx.tag
    assert type(SubIndex.from_bytes(idx.to_bytes())) is SubIndex
    plain = pytarn.PrefixIndex([N4("10.0.0.0/8")])
    assert copy.copy(plain) is plain and copy.deepcopy(plain) is plain  # immutable


def test_destroyed_index_refuses():
    idx = pytarn.PrefixIndex([N4("10.0.0.0/8")])
    with idx:
        pass
    for action in (idx.to_bytes, lambda: pickle.dumps(idx)):
        with pytest.raises(Invalid, match="index has been destroyed"):
            action()


def edit(blob, at, fmt, value):
    out = bytearray(blob)
    struct.pack_into(fmt, out, at, value)
    return bytes(out)


def flip_in_core_section(part, section):
    """Flips a byte in the middle of one section of one core blob."""
    def apply(blob):
        at, _ = core_parts(blob)[part]
        lens = struct.unpack_from(f"<{CORE_SECTIONS}Q", blob, at + CORE_SECTIONS_AT)
        if lens[section] == 0:
            pytest.skip("the section is empty in this blob")
        offset = at + CORE_HEADER + sum(lens[:section]) + lens[section] // 2
        return edit(blob, offset, "<B", blob[offset] ^ 0x10)
    return apply


def with_header(blob, **fields):
    """The blob with some outer header fields replaced."""
    names = ("magic", "version", "family", "count", "len4", "map4", "len6", "map6")
    values = dict(zip(names, OUTER.unpack_from(blob)))
    values.update(fields)
    return OUTER.pack(*(values[n] for n in names)) + blob[OUTER.size:]


def swap_parts(blob):
    """The IPv6 core blob in the IPv4 one's place and the other way round
    (the bitmap stays last)."""
    _, _, _, _, len4, map4, len6, map6 = OUTER.unpack_from(blob)
    split, end = OUTER.size + len4, OUTER.size + len4 + len6
    head = with_header(blob, len4=len6, map4=map6, len6=len4, map6=map4)[:OUTER.size]
    return head + blob[split:end] + blob[OUTER.size:split] + blob[end:]


def core_edit(part, section, fmt, value):
    """Writes `value` at the start of one section of one core blob and
    recomputes the checksums."""
    def apply(blob):
        at, _ = core_parts(blob)[part]
        lens = struct.unpack_from(f"<{CORE_SECTIONS}Q", blob, at + CORE_SECTIONS_AT)
        return fix_core_checksums(edit(blob, at + CORE_HEADER + sum(lens[:section]), fmt, value))
    return apply


MIXED = pytarn.PrefixIndex(random_table(random.Random(7), (4, 6), 6000))
MIXED_BLOB = MIXED.to_bytes()
MIXED_V1 = as_version1(MIXED_BLOB)
MAP4_AT = core_parts(MIXED_V1)[0][0] + core_parts(MIXED_V1)[0][1]
BITS_AT, BITS = family_bitmap(MIXED_BLOB)


def flip_bit(bits, t):
    return bits[:t // 8] + bytes([bits[t // 8] ^ (1 << (t % 8))]) + bits[t // 8 + 1:]


def on_v1(damage):
    """A damage of the version 1 layout: applied to MIXED_V1 whatever it is given."""
    return lambda _: damage(MIXED_V1)


# A table length that leaves padding bits in the bitmap's last byte.
assert len(MIXED) % 8 != 0
HOSTILE = {
    "empty": lambda b: b"",
    "header cut": lambda b: b[:OUTER.size - 1],
    "one byte short": lambda b: b[:-1],
    "one byte more": lambda b: b + b"\0",
    "wrong magic": lambda b: with_header(b, magic=b"PYTARNPX"),
    "version 3": lambda b: with_header(b, version=3),
    "version 1 header on a version 2 body": lambda b: with_header(b, version=1),
    "family 5": lambda b: with_header(b, family=5),
    "family 4 with both parts": lambda b: with_header(b, family=4),
    "table length 0": lambda b: with_header(b, count=0),
    "table length one more": lambda b: with_header(b, count=len(MIXED) + 1),
    "core length past the end": lambda b: with_header(b, len4=len(b)),
    "map count 2^61": lambda b: with_header(b, map4=1 << 61),
    "map counts exchanged": lambda b: with_header(b, map4=OUTER.unpack_from(b)[7],
                                                  map6=OUTER.unpack_from(b)[5]),
    "parts exchanged": swap_parts,
    "v1: position out of range": on_v1(lambda b: edit(b, MAP4_AT, "<Q", len(MIXED))),
    "v1: position 2^64 - 1": on_v1(lambda b: edit(b, MAP4_AT, "<Q", (1 << 64) - 1)),
    "v1: position twice": on_v1(
        lambda b: edit(b, MAP4_AT, "<Q", struct.unpack_from("<Q", b, MAP4_AT + 8)[0])),
    "bitmap: a bit flipped": lambda b: b[:BITS_AT] + flip_bit(BITS, 5) + b[-8:],
    "bitmap: two bits exchanged": lambda b: b[:BITS_AT] + flip_bit(
        flip_bit(BITS, next(t for t in range(len(MIXED)) if not BITS[t // 8] >> t % 8 & 1)),
        next(t for t in range(len(MIXED)) if BITS[t // 8] >> t % 8 & 1)) + b[-8:],
    "bitmap: check damaged": lambda b: b[:-1] + bytes([b[-1] ^ 1]),
    "bitmap: a bit flipped, check fixed": lambda b: with_bitmap(b, flip_bit(BITS, 5)),
    "bitmap: padding bit set, check fixed": lambda b: with_bitmap(
        b, flip_bit(BITS, 8 * len(BITS) - 1)),
    **{f"IPv{4 + 2 * part} core section {s} flipped": flip_in_core_section(part, s)
       for part in (0, 1) for s in range(1, CORE_SECTIONS)},  # section 0 (nodes) is empty
    "IPv4 core blob claiming a node": lambda b: edit(b, core_parts(b)[0][0] + 40, "<Q", 1),
    "IPv6 prefix length 255, checksum fixed": core_edit(1, 1, "<17s", b"\xff" * 17),
    "IPv4 position = count, checksum fixed": core_edit(0, 2, "<I", 1 << 20),
}


@pytest.mark.parametrize("damage", HOSTILE)
def test_hostile_bytes_refused(damage):
    bad = HOSTILE[damage](MIXED_BLOB)
    assert bad != MIXED_BLOB
    with pytest.raises(Invalid, match="cannot load PrefixIndex"):
        pytarn.PrefixIndex.from_bytes(bad)
    with pytest.raises(Invalid, match="cannot restore PrefixIndex"):
        pytarn._restore(pytarn.PrefixIndex, b"\x01" + bad)


def test_version1_blobs_still_load():
    """A blob of the layout before the family bitmap answers alike, and is
    written anew as version 2; one whose maps are out of table order (which
    only such a blob can make) keeps version 1, as no bitmap describes it."""
    rng = random.Random(11)
    nets = random_table(rng, (4, 6), 300)
    index = pytarn.PrefixIndex(nets)
    addrs = probes(rng, nets)
    old = pytarn.PrefixIndex.from_bytes(as_version1(index.to_bytes()))
    assert answers(old, nets, addrs) == answers(index, nets, addrs)
    assert old.to_bytes() == index.to_bytes()
    assert OUTER.unpack_from(index.to_bytes())[1] == 2

    shuffled = as_version1(index.to_bytes(), reorder=lambda p: p[::-1])
    odd = pytarn.PrefixIndex.from_bytes(shuffled)
    assert odd.to_bytes() == shuffled
    assert pickle.loads(pickle.dumps(odd)).to_bytes() == shuffled
    # Reversed maps: a family's k-th table position reports as its k-th from the end.
    translate = {-1: -1}
    for version in (4, 6):
        spots = [t for t, n in enumerate(nets) if n.version == version]
        translate.update(zip(spots, reversed(spots)))
    for batch in addrs.values():
        assert odd.lookup(batch) == [translate[p] for p in index.lookup(batch)]


@pytest.mark.parametrize("state", [b"", b"\x02" + MIXED_BLOB, "text", None, bytearray(),
                                   memoryview(b"\x02" + MIXED_BLOB), memoryview(b"\x01")],
                         ids=["empty", "other version", "str", "None", "empty buffer",
                              "buffer of another version", "buffer of no blob"])
def test_bad_pickle_state_refused(state):
    with pytest.raises(Invalid, match="cannot restore PrefixIndex"):
        pytarn._restore(pytarn.PrefixIndex, state)


@pytest.mark.parametrize("data", [42, "text", [1, 2]], ids=["int", "str", "list"])
def test_from_bytes_needs_a_buffer(data):
    with pytest.raises(TypeError):
        pytarn.PrefixIndex.from_bytes(data)


def test_random_damage_never_crashes():
    rng = random.Random(20251107)
    base = pytarn.PrefixIndex(random_table(rng, (4, 6), 400))
    blob = base.to_bytes()
    addrs = probes(rng, random_table(rng, (4, 6), 50), 60)
    for _ in range(300):
        bad = bytearray(blob)
        kind = rng.randrange(4)
        if kind == 0:
            for _ in range(rng.randint(1, 4)):
                bad[rng.randrange(len(bad))] ^= 1 << rng.randrange(8)
        elif kind == 1:
            bad[rng.randrange(len(bad))] = rng.choice([0, 1, 0x7F, 0x80, 0xFF, rng.randrange(256)])
        elif kind == 2:
            del bad[rng.randrange(len(bad)):]
        else:
            bad += bytes(rng.randrange(256) for _ in range(rng.randint(1, 16)))
        if rng.random() < 0.8 and len(bad) >= OUTER.size:
            bad = bytearray(fix_core_checksums(bytes(bad)))
        try:
            idx = pytarn.PrefixIndex.from_bytes(bytes(bad))
        except Invalid:
            continue
        for batch in addrs.values():
            assert all(-1 <= p < len(idx) for p in idx.lookup(batch))
