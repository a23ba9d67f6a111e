"""Shared fixtures for the pytarn tests.

The address and network types come in IPv4/IPv6 twins; tests that hold for
both take the ``family`` fixture, which runs them once per family.
"""

from __future__ import annotations

import dataclasses
import gc
import ipaddress
import os
import sys
from collections.abc import Callable, Iterable
from typing import Any

import pytest
from hypothesis import settings

import pytarn

# Hypothesis's deadline is a timing assertion; the test machines are shared
# and slow, so examples are judged on results only.
settings.register_profile("pytarn", deadline=None)
settings.load_profile("pytarn")


@dataclasses.dataclass(frozen=True)
class Family:
    """One address family and everything a twin-type test needs about it."""

    name: str  # "IPv4" or "IPv6"
    addr: type[Any]  # pytarn.IPv4Address / pytarn.IPv6Address
    net: type[Any]  # pytarn.IPv4Network / pytarn.IPv6Network
    other_addr: type[Any]  # the twin address type of the other family
    version: int  # 4 or 6
    nbytes: int  # packed length
    bits: int
    stdlib_addr: type[Any]  # ipaddress.IPv4Address / IPv6Address
    sample: str  # a canonical address text
    sample_int: int  # its integer value
    other_text: str  # an address text of the other family
    bad_texts: tuple[str, ...]  # texts that do not parse as this family

    @property
    def max_int(self) -> int:
        return (1 << self.bits) - 1


V4 = Family(
    name="IPv4",
    addr=pytarn.IPv4Address,
    net=pytarn.IPv4Network,
    other_addr=pytarn.IPv6Address,
    version=4,
    nbytes=4,
    bits=32,
    stdlib_addr=ipaddress.IPv4Address,
    sample="192.0.2.1",
    sample_int=3221225985,
    other_text="2001:db8::1",
    bad_texts=("1.2.3", "256.0.0.1", "01.2.3.4", " 1.2.3.4", "1.2.3.4 ", "", "1..2.3"),
)

V6 = Family(
    name="IPv6",
    addr=pytarn.IPv6Address,
    net=pytarn.IPv6Network,
    other_addr=pytarn.IPv4Address,
    version=6,
    nbytes=16,
    bits=128,
    stdlib_addr=ipaddress.IPv6Address,
    sample="2001:db8::1",
    sample_int=0x20010DB8000000000000000000000001,
    other_text="192.0.2.1",
    bad_texts=("1::2::3", "12345::", "::g", "fe80::1%eth0", ":::", "", "1:2:3:4:5:6:7:8:9"),
)

FAMILIES = (V4, V6)


@pytest.fixture(params=FAMILIES, ids=lambda f: f.name)
def family(request: pytest.FixtureRequest) -> Family:
    """Each twin-type test runs once for IPv4 and once for IPv6."""
    return request.param  # type: ignore[no-any-return]


# ---- resource accounting --------------------------------------------------


def resident_bytes() -> int:
    """Resident set size of this process, from /proc/self/statm."""
    with open("/proc/self/statm", encoding="ascii") as f:
        resident_pages = int(f.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


def module_objects() -> list[Any]:
    """Every class and type the module publishes: a leaked instance or a
    leaked type reference shows up in their reference counts."""
    return [v for v in vars(pytarn).values() if isinstance(v, type)]


# Growth allowed over a whole repeated run.  Each run repeats the action
# often enough that leaking even one small object per call (48 bytes)
# would exceed this several times over.
LEAK_ROUNDS = 40_000
LEAK_SLACK_BYTES = 1 << 20

# AddressSanitizer holds freed memory in quarantine, so resident memory
# grows without a leak; under it only the reference counts are checked.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def assert_no_leak(
    action: Callable[[], object],
    *,
    rounds: int = LEAK_ROUNDS,
    watch: Iterable[object] = (),
) -> None:
    """Run ``action`` many times and check that resident memory and the
    reference counts of the module's types (plus ``watch``) stay flat."""
    watched = module_objects() + list(watch)
    for _ in range(2_000):  # warm caches and allocator arenas
        action()
    gc.collect()
    refs_before = [sys.getrefcount(o) for o in watched]
    growth = []
    # A leak grows memory in every window; the allocator can grow it once
    # (a fresh arena while garbage from earlier tests is freed), so only
    # growth in two windows running fails.
    for _ in range(2):
        rss_before = resident_bytes()
        for _ in range(rounds):
            action()
        gc.collect()
        growth.append(resident_bytes() - rss_before)
        if UNDER_ASAN or growth[-1] < LEAK_SLACK_BYTES:
            break
    refs_after = [sys.getrefcount(o) for o in watched]
    drift = {repr(o): (b, a) for o, b, a in zip(watched, refs_before, refs_after) if a != b}
    assert not drift, f"reference counts moved: {drift}"
    assert UNDER_ASAN or growth[-1] < LEAK_SLACK_BYTES, (
        f"resident memory grew by {' then '.join(map(str, growth))} bytes over {rounds} calls"
    )


def raises_quietly(exc: type[BaseException], fn: Callable[..., object], *args: object) -> Callable[[], None]:
    """An action for assert_no_leak: call fn(*args) and expect ``exc``."""

    def action() -> None:
        try:
            fn(*args)
        except exc:
            return
        raise AssertionError(f"{fn!r}{args!r} did not raise {exc.__name__}")

    return action
