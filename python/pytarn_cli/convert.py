"""Turning item texts into pytarn objects in bulk, and finding the bad ones.

Each conversion first tries the fast path: one bulk call (`bulk_parse` for
addresses) or one `map` of the constructor over the whole list (networks have
no bulk text parser).  Those raise for the batch as a whole, so only when the
fast path fails is the list walked again item by item to learn which items are
bad and why.  Clean input therefore never pays for the per-item walk.

Items are split by family before conversion: a text holding ':' can only be
IPv6 and any other text can only be IPv4 (the address grammar decides the
family the same way), so a list mixing the families converts as two clean
single-family batches.
"""

from __future__ import annotations

from collections.abc import Callable
from itertools import compress, repeat
from typing import Any, NamedTuple

import pytarn


class Bad(NamedTuple):
    """One refused item: its position in the converted list, why, and its text."""

    pos: int
    reason: str
    text: str


class Family(NamedTuple):
    """The converted items of one family.

    `objs[j]` was made from the item at position `positions[j]` of the input
    list; bad items are left out, so the positions may have gaps.
    """

    version: int
    positions: list[int]
    objs: list[Any]


def split_by_family(texts: list[str]) -> list[tuple[int, list[int], list[str]]]:
    """Partition texts into (version, positions, texts), IPv4 first.

    Families with no item are left out.
    """
    n = len(texts)
    if n == 0:
        return []
    if ":" not in "\n".join(texts):
        return [(4, list(range(n)), texts)]
    is6 = [":" in t for t in texts]
    is4 = [not f for f in is6]
    out = []
    for version, mask in ((4, is4), (6, is6)):
        positions = list(compress(range(n), mask))
        if positions:
            out.append((version, positions, list(compress(texts, mask))))
    return out


def _reason(exc: BaseException, what: str) -> str:
    if isinstance(exc, pytarn.HostBitsError):
        return "host bits set (--lenient clears them)"
    if isinstance(exc, pytarn.PrefixLengthError):
        return "prefix length out of range"
    if isinstance(exc, pytarn.ParseError):
        return f"invalid {what}"
    if isinstance(exc, pytarn.FamilyError):
        return "address family mismatch"
    if isinstance(exc, UnicodeError):
        return "not valid text"
    return str(exc) or type(exc).__name__


_CONVERSION_ERRORS = (pytarn.TARNError, UnicodeError)
NUL_REASON = "contains a NUL character"


def _one_by_one(
    texts: list[str],
    positions: list[int],
    make: Callable[[str], Any],
    what: str,
    bad: list[Bad],
) -> tuple[list[int], list[Any]]:
    good_pos: list[int] = []
    objs: list[Any] = []
    for pos, text in zip(positions, texts):
        if "\x00" in text:
            bad.append(Bad(pos, NUL_REASON, text))
            continue
        try:
            obj = make(text)
        except _CONVERSION_ERRORS as e:
            bad.append(Bad(pos, _reason(e, what), text))
            continue
        good_pos.append(pos)
        objs.append(obj)
    return good_pos, objs


def _network_maker(version: int, lenient: bool) -> Callable[[str], Any]:
    ctor = pytarn.IPv4Network if version == 4 else pytarn.IPv6Network
    host_len = "/32" if version == 4 else "/128"

    def make(text: str) -> Any:
        # A bare address stands for its host prefix, as in other prefix tools.
        if "/" not in text:
            text += host_len
        return ctor(text, not lenient)

    return make


def to_networks(texts: list[str], lenient: bool, has_nul: bool) -> tuple[list[Family], list[Bad]]:
    """Networks from prefix texts, by family; bad items come back in `Bad`."""
    families: list[Family] = []
    bad: list[Bad] = []
    for version, positions, part in split_by_family(texts):
        ctor = pytarn.IPv4Network if version == 4 else pytarn.IPv6Network
        if not has_nul:
            try:
                families.append(
                    Family(version, positions, list(map(ctor, part, repeat(not lenient))))
                )
                continue
            except _CONVERSION_ERRORS:
                pass
        good, objs = _one_by_one(part, positions, _network_maker(version, lenient), "prefix", bad)
        if objs:
            families.append(Family(version, good, objs))
    bad.sort()
    return families, bad


def to_addresses(texts: list[str], has_nul: bool) -> tuple[list[Family], list[Bad]]:
    """Addresses from address texts, by family; bad items come back in `Bad`."""
    families: list[Family] = []
    bad: list[Bad] = []
    for version, positions, part in split_by_family(texts):
        if not has_nul:
            try:
                families.append(Family(version, positions, pytarn.bulk_parse(part)))
                continue
            except _CONVERSION_ERRORS:
                pass
        ctor = pytarn.IPv4Address if version == 4 else pytarn.IPv6Address
        good, objs = _one_by_one(part, positions, ctor, "address", bad)
        if objs:
            families.append(Family(version, good, objs))
    bad.sort()
    return families, bad
