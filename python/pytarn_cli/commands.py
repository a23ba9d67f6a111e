"""The four subcommands: aggregate, lookup, classify and sort.

Each takes the parsed arguments and an `Io` bundle, writes results to
`io.stdout` and bad-line reports to `io.stderr`, and raises `InputError` to
stop with exit status 2.  Large inputs go through the bulk paths of pytarn in
chunks, never one Python call per line where a bulk call exists.
"""

from __future__ import annotations

import argparse
from collections import deque
from collections.abc import Sequence
from typing import Any, BinaryIO, NamedTuple, TextIO

import pytarn

from .convert import Bad, Family, to_addresses, to_networks
from .source import (
    ArgumentSource,
    InputError,
    Source,
    display_name,
    read_bytes,
    read_sources,
    split_labels,
)

# Lines converted and written per batch: large enough that the per-call cost
# of the bulk functions vanishes, small enough to keep memory flat and to let
# output start before a long input is read to its end.
CHUNK = 1 << 16


class Io(NamedTuple):
    stdin: BinaryIO
    stdout: TextIO
    stderr: TextIO


class Reporter:
    """Bad-line policy: stop at the first one, or report each and go on."""

    def __init__(self, stderr: TextIO, skip_bad: bool) -> None:
        self.stderr = stderr
        self.skip_bad = skip_bad
        self.skipped = 0

    def bad_items(self, source: Source, bad: Sequence[Bad], offset: int = 0) -> None:
        for b in bad:
            self.bad(source.where(offset + b.pos), b.reason, b.text)

    def bad(self, where: str, reason: str, text: str) -> None:
        message = f"{where}: {reason}: {text!r}"
        if not self.skip_bad:
            raise InputError(message)
        self.stderr.write(f"pytarn: {message}\n")
        self.skipped += 1

    def finish(self) -> None:
        if self.skipped:
            plural = "" if self.skipped == 1 else "s"
            self.stderr.write(f"pytarn: skipped {self.skipped} bad line{plural}\n")


def write_lines(out: TextIO, lines: Sequence[str]) -> None:
    if lines:
        out.write("\n".join(lines))
        out.write("\n")


def wanted_versions(args: argparse.Namespace) -> tuple[int, ...]:
    if getattr(args, "only4", False):
        return (4,)
    if getattr(args, "only6", False):
        return (6,)
    return (4, 6)


def input_paths(files: Sequence[str]) -> list[str]:
    return list(files) if files else ["-"]


def read_prefixes(
    paths: Sequence[str], io: Io, reporter: Reporter, lenient: bool, keep_labels: bool
) -> dict[int, tuple[list[Any], list[str] | None]]:
    """Networks of all inputs, grouped by family, with labels when wanted.

    Returns {version: (networks, labels)}, labels None when no line of any
    input carries one or when `keep_labels` is false.  Every input is read
    before any is converted, so a missing file stops the command before any
    bad-line report.
    """
    sources = read_sources(paths, io.stdin)
    nets: dict[int, list[Any]] = {4: [], 6: []}
    labels: dict[int, list[str]] = {4: [], 6: []}
    labelled = False
    for source in sources:
        keys, source_labels = split_labels(source.items())
        families, bad = to_networks(keys, lenient, source.has_nul)
        reporter.bad_items(source, bad)
        for fam in families:
            nets[fam.version].extend(fam.objs)
            if keep_labels:
                if source_labels is None:
                    labels[fam.version].extend([""] * len(fam.objs))
                else:
                    labelled = True
                    labels[fam.version].extend([source_labels[p] for p in fam.positions])
    return {v: (nets[v], labels[v] if labelled else None) for v in (4, 6)}


def cmd_aggregate(args: argparse.Namespace, io: Io, reporter: Reporter) -> None:
    groups = read_prefixes(input_paths(args.files), io, reporter, args.lenient, False)
    for version in wanted_versions(args):
        nets = groups[version][0]
        write_lines(io.stdout, list(map(str, pytarn.bulk_aggregate(nets))))


def cmd_sort(args: argparse.Namespace, io: Io, reporter: Reporter) -> None:
    order = pytarn.SORT_PFXLEN_DESC if args.by == "length" else pytarn.SORT_NETWORK_ASC
    groups = read_prefixes(input_paths(args.files), io, reporter, args.lenient, True)
    for version in wanted_versions(args):
        nets, labels = groups[version]
        ordered = pytarn.bulk_sort(nets, order)
        texts = list(map(str, ordered))
        if labels is not None:
            texts = _relabel(nets, labels, ordered, texts)
        write_lines(io.stdout, texts)


def _relabel(nets: list[Any], labels: list[str], ordered: list[Any], texts: list[str]) -> list[str]:
    """Attach each sorted network's label; equal networks keep input order."""
    by_net: dict[object, deque[str]] = {}
    for net, label in zip(nets, labels):
        by_net.setdefault(net, deque()).append(label)
    out = []
    for net, text in zip(ordered, texts):
        label = by_net[net].popleft()
        out.append(f"{text} {label}" if label else text)
    return out


class Table:
    """One family's part of a lookup table: the index and the output text.

    `suffix[i]` is what follows an address that matched network i of the
    index: a space, the prefix and its label.  It is formatted on first use,
    so a large table queried for a few addresses formats only the few
    prefixes that matched.  The extra last entry, " -", is what `suffix[-1]`
    gives for an address that matched nothing.
    """

    def __init__(self, nets: list[Any], labels: list[str] | None) -> None:
        self.nets = nets
        self.labels = labels
        self.index = pytarn.PrefixIndex(nets) if nets else None
        self.suffix: list[str | None] = [None] * len(nets)
        self.suffix.append(NO_MATCH)

    def match_lines(self, addrs: list[Any], texts: list[str]) -> list[str]:
        """texts[i] followed by the best match of addrs[i]."""
        if self.index is None:
            return [t + NO_MATCH for t in texts]
        hits = self.index.lookup(addrs)
        suffix = self.suffix
        missing = [h for h in set(hits) if suffix[h] is None]
        labels = self.labels
        for h, text in zip(missing, map(str, [self.nets[h] for h in missing])):
            label = labels[h] if labels is not None else ""
            suffix[h] = f" {text} {label}" if label else " " + text
        return [t + suffix[h] for t, h in zip(texts, hits)]  # type: ignore[operator]


NO_MATCH = " -"


def build_tables(path: str, io: Io, reporter: Reporter, lenient: bool) -> dict[int, Table]:
    groups = read_prefixes([path], io, reporter, lenient, True)
    tables = {}
    for version, (nets, labels) in groups.items():
        if labels is not None:
            # PrefixIndex answers one position for equal networks, but not
            # necessarily the first; keep only the first of each so a prefix
            # listed twice shows its first label.
            first: dict[object, int] = dict(zip(reversed(nets), range(len(nets) - 1, -1, -1)))
            if len(first) != len(nets):
                keep = sorted(first.values())
                nets = [nets[i] for i in keep]
                labels = [labels[i] for i in keep]
        tables[version] = Table(nets, labels)
    return tables


def write_until_bad(
    out: TextIO, lines: Sequence[str | None], bad: Sequence[Bad], reporter: Reporter
) -> list[str]:
    """The output lines of a chunk without the bad items' None entries.

    When the first bad line is to stop the command, the output of the lines
    before it is written first, as a line-by-line filter would have.
    """
    if not bad:
        return lines  # type: ignore[return-value]  # no None without a bad item
    if not reporter.skip_bad:
        write_lines(out, [line for line in lines[: bad[0].pos] if line is not None])
    return [line for line in lines if line is not None]


def cmd_lookup(args: argparse.Namespace, io: Io, reporter: Reporter) -> None:
    paths = input_paths(args.files)
    if args.packed and not (args.only4 or args.only6):
        raise UsageError("--packed needs -4 or -6 to give the address width")
    if (args.only4 or args.only6) and not args.packed:
        raise UsageError("-4 and -6 give the width of --packed input")
    if args.table == "-" and "-" in paths:
        raise UsageError("the table and the addresses cannot both come from standard input")
    tables = build_tables(args.table, io, reporter, args.lenient)
    if args.packed:
        _lookup_packed(paths, 4 if args.only4 else 6, tables, io, reporter)
        return
    for source in read_sources(paths, io.stdin):
        items = source.items()
        for start in range(0, len(items), CHUNK):
            chunk = items[start : start + CHUNK]
            families, bad = to_addresses(chunk, source.has_nul)
            merged = _merge(families, chunk, tables)
            lines = write_until_bad(io.stdout, merged, bad, reporter)
            reporter.bad_items(source, bad, start)
            write_lines(io.stdout, lines)


def _merge(
    families: list[Family], texts: list[str], tables: dict[int, Table]
) -> Sequence[str | None]:
    """Output lines of one chunk in input order, None where an item was bad."""
    n = len(texts)
    if len(families) == 1 and len(families[0].objs) == n:
        fam = families[0]
        return tables[fam.version].match_lines(fam.objs, texts)
    out: list[str | None] = [None] * n
    for fam in families:
        lines = tables[fam.version].match_lines(fam.objs, [texts[p] for p in fam.positions])
        for p, line in zip(fam.positions, lines):
            out[p] = line
    return out


def _lookup_packed(
    paths: Sequence[str], version: int, tables: dict[int, Table], io: Io, reporter: Reporter
) -> None:
    width = 4 if version == 4 else 16
    ctor = pytarn.IPv4Address if version == 4 else pytarn.IPv6Address
    table = tables[version]
    for path in paths:
        data = read_bytes(path, io.stdin)
        usable = len(data) - len(data) % width
        step = CHUNK * width
        for start in range(0, usable, step):
            end = min(start + step, usable)
            addrs = [ctor(data[i : i + width]) for i in range(start, end, width)]
            write_lines(io.stdout, table.match_lines(addrs, list(map(str, addrs))))
        if usable != len(data):
            reporter.bad(
                display_name(path),
                f"{len(data) - usable} trailing bytes after the last {width}-byte address",
                data[usable:].hex(),
            )


def class_names() -> list[tuple[int, str]]:
    """(bit, name) for every special-purpose class, lowest bit first."""
    prefix = "TARN_CLASS_"
    return sorted(
        (value, name[len(prefix) :].lower())
        for name, value in vars(pytarn).items()
        if name.startswith(prefix)
    )


def cmd_classify(args: argparse.Namespace, io: Io, reporter: Reporter) -> None:
    sources: list[Source]
    if args.addresses:
        sources = [ArgumentSource(args.addresses)]
    else:
        sources = [Source.from_bytes(display_name("-"), io.stdin.read())]
    names = class_names()
    cache: dict[int, str] = {}

    def describe(mask: int) -> str:
        text = cache.get(mask)
        if text is None:
            text = ",".join(name for bit, name in names if mask & bit) or "-"
            cache[mask] = text
        return text

    for source in sources:
        items = source.items()
        for start in range(0, len(items), CHUNK):
            chunk = items[start : start + CHUNK]
            families, bad = to_addresses(chunk, source.has_nul)
            slots: list[str | None] = [None] * len(chunk)
            for fam in families:
                for p, addr in zip(fam.positions, fam.objs):
                    slots[p] = f"{chunk[p]} {describe(addr.classify())}"
            lines = write_until_bad(io.stdout, slots, bad, reporter)
            reporter.bad_items(source, bad, start)
            write_lines(io.stdout, lines)


class UsageError(Exception):
    """A combination of options that makes no sense; exit status 2."""
