"""subnets() and SubnetIterator: enumeration order, range checks, the
iterator protocol, laziness and leaks; checked against ipaddress."""

import gc
import ipaddress
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pytarn
from conftest import assert_no_leak
from pytarn import IPv4Network, IPv6Network, PrefixLengthError, SubnetIterator

LEN_OUT_OF_RANGE = "prefix length out of range"


def net_of(text):
    return (IPv6Network if ":" in text else IPv4Network)(text)


ENUMERATIONS = [
    ("10.0.0.0/8", 10, ["10.0.0.0/10", "10.64.0.0/10", "10.128.0.0/10", "10.192.0.0/10"]),
    ("10.0.0.0/8", 9, ["10.0.0.0/9", "10.128.0.0/9"]),
    ("0.0.0.0/0", 1, ["0.0.0.0/1", "128.0.0.0/1"]),
    ("0.0.0.0/0", 2, ["0.0.0.0/2", "64.0.0.0/2", "128.0.0.0/2", "192.0.0.0/2"]),
    # Prefixes that end at the top of the address space.
    ("255.255.255.0/24", 25, ["255.255.255.0/25", "255.255.255.128/25"]),
    ("255.255.255.254/31", 32, ["255.255.255.254/32", "255.255.255.255/32"]),
    ("::/0", 1, ["::/1", "8000::/1"]),
    ("ffff::/16", 17, ["ffff::/17", "ffff:8000::/17"]),
    ("2001:db8::/126", 128, ["2001:db8::/128", "2001:db8::1/128", "2001:db8::2/128",
                             "2001:db8::3/128"]),
    ("ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127", 128,
     ["ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/128",
      "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"]),
    # A carry across a byte boundary.
    ("10.0.254.0/23", 24, ["10.0.254.0/24", "10.0.255.0/24"]),
]


@pytest.mark.parametrize("text,target,want", ENUMERATIONS, ids=lambda v: str(v)[:24])
def test_enumeration(text, target, want):
    net = net_of(text)
    got = list(net.subnets(target))
    assert [str(s) for s in got] == want
    assert all(type(s) is type(net) for s in got)
    assert [str(s) for s in net.subnets(prefixlen=target)] == want


def test_host_routes_of_a_slash_24_in_order():
    got = [str(s) for s in IPv4Network("192.0.2.0/24").subnets(32)]
    assert got == [f"192.0.2.{i}/32" for i in range(256)]


@pytest.mark.parametrize("text,target", [
    ("10.0.0.0/8", 8), ("10.0.0.0/8", 7), ("10.0.0.0/8", 33), ("10.0.0.0/8", -1),
    # 264 and 256 would pass as 8 and 0 if narrowed to a byte first.
    ("10.0.0.0/8", 264), ("10.0.0.0/8", 256 + 9), ("0.0.0.0/0", 256), ("0.0.0.0/0", 0),
    ("10.0.0.0/8", -2**31), ("10.0.0.0/8", 2**31 - 1),
    ("1.2.3.4/32", 32), ("1.2.3.4/32", 33),
    ("::/0", 129), ("::/0", 0), ("::/0", 256 + 1), ("::1/128", 128), ("2001:db8::/32", 160),
])
def test_length_out_of_range(text, target):
    net = net_of(text)
    with pytest.raises(PrefixLengthError) as ei:
        net.subnets(target)
    assert ei.value.args[0] == LEN_OUT_OF_RANGE
    with pytest.raises(PrefixLengthError):
        net.subnets(prefixlen=target)


@pytest.mark.parametrize("args,kwargs,exc", [
    ((9, 10), {}, TypeError), (("9",), {}, TypeError),
    ((9.0,), {}, TypeError), ((), {"length": 9}, TypeError),
    ((9,), {"prefixlen": 9}, TypeError),
    # Outside the C int range: the interpreter's own OverflowError.
    ((2**31,), {}, OverflowError), ((-2**31 - 1,), {}, OverflowError),
    ((2**100,), {}, OverflowError),
], ids=repr)
def test_argument_errors_of_the_interpreter(args, kwargs, exc):
    with pytest.raises(exc) as ei:
        IPv4Network("10.0.0.0/8").subnets(*args, **kwargs)
    assert not isinstance(ei.value, pytarn.TARNError)


def test_iterator_protocol():
    it = IPv4Network("10.0.0.0/8").subnets(9)
    assert type(it) is SubnetIterator
    assert iter(it) is it
    assert str(next(it)) == "10.0.0.0/9"
    assert str(next(it)) == "10.128.0.0/9"
    for _ in range(3):  # exhausted stays exhausted
        with pytest.raises(StopIteration) as ei:
            next(it)
        assert ei.value.value is None
    assert list(it) == []
    assert SubnetIterator.__doc__ == "Subnet iterator for CIDR prefix enumeration."


def test_iterators_are_independent_and_outlive_their_network():
    net = IPv6Network("2001:db8::/32")
    refs = sys.getrefcount(net)
    a, b = net.subnets(34), net.subnets(34)
    assert sys.getrefcount(net) == refs  # no reference to the network is kept
    next(a)
    del net
    gc.collect()
    assert str(next(b)) == "2001:db8::/34"
    assert [str(s) for s in a] == ["2001:db8:4000::/34", "2001:db8:8000::/34",
                                   "2001:db8:c000::/34"]


def test_enumeration_is_lazy():
    it = IPv6Network("::/0").subnets(128)
    assert [str(next(it)) for _ in range(3)] == ["::/128", "::1/128", "::2/128"]
    it = IPv4Network("0.0.0.0/0").subnets(32)
    assert str(next(it)) == "0.0.0.0/32"


def test_subnet_iterator_cannot_be_instantiated():
    with pytest.raises(TypeError):
        SubnetIterator()
    with pytest.raises(TypeError):
        SubnetIterator.__new__(SubnetIterator)

    class Sub(SubnetIterator):
        pass

    with pytest.raises(TypeError):
        Sub()
    with pytest.raises(TypeError):
        object.__new__(Sub)


def test_subnets_of_a_subclass_network():
    sub = type("Sub", (IPv4Network,), {})
    got = list(sub("10.0.0.0/8").subnets(9))
    assert [type(s) for s in got] == [IPv4Network, IPv4Network]


# ---- leaks --------------------------------------------------------------------------

def test_iteration_leaks_nothing():
    nets = [IPv4Network("10.0.0.0/8"), IPv6Network("2001:db8::/32")]

    def run():
        for net in nets:
            for _s in net.subnets(net.prefixlen + 4):
                pass
            # Abandoned half way, and refused.
            next(net.subnets(net.prefixlen + 1))
            try:
                net.subnets(net.prefixlen)
            except PrefixLengthError:
                pass

    run()
    blocks = sys.getallocatedblocks()
    assert_no_leak(run, rounds=5_000, watch=nets)  # 160,000 subnets, 20,000 iterators
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 400


# ---- against the standard library ----------------------------------------------------

def networks_with_target(version):
    bits = 32 if version == 4 else 128
    std_net = ipaddress.IPv4Network if version == 4 else ipaddress.IPv6Network
    return st.integers(0, bits - 1).flatmap(lambda plen: st.tuples(
        st.builds(lambda a: std_net((a, plen), strict=False),
                  st.one_of(st.integers(0, 2**bits - 1), st.just(2**bits - 1))),
        st.integers(plen + 1, min(plen + 5, bits))))


def expected_text(std):
    """The standard library's text, except that our IPv4-mapped IPv6
    addresses end in a dotted quad (RFC 5952 section 5)."""
    packed = std.network_address.packed
    if std.version == 6 and packed[:12] == b"\0" * 10 + b"\xff\xff":
        return f"::ffff:{ipaddress.IPv4Address(packed[12:])}/{std.prefixlen}"
    return str(std)


@settings(max_examples=200, deadline=None)
@given(st.one_of(networks_with_target(4), networks_with_target(6)))
def test_subnets_match_ipaddress(case):
    std, target = case
    ours = (IPv4Network if std.version == 4 else IPv6Network)(str(std))
    want = [expected_text(s) for s in std.subnets(new_prefix=target)]
    assert [str(s) for s in ours.subnets(target)] == want
