"""Reading command input: files or standard input, one item per line.

Every command reads its input the same way, after the habits of the line
tools engineers already use on prefix lists: a file is read whole, a UTF-8
byte-order mark at its start is dropped, the rest is split at newlines, a `#`
starts a comment that runs to the end of the line, white space around an item
is ignored, and blank lines are skipped.  Line numbers in
diagnostics count every physical line, so they match an editor's.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import BinaryIO, TextIO

STDIN_NAME = "<stdin>"


class InputError(Exception):
    """Input that ends the command with exit status 2.

    The message is the complete diagnostic, without the program name.
    """


class Source:
    """The lines of one input, cleaned of comments and surrounding space.

    `lines[i]` is physical line i + 1 with its comment and outer white space
    removed, so an empty string marks a blank or comment-only line.
    """

    def __init__(self, name: str, lines: list[str], has_nul: bool) -> None:
        self.name = name
        self.lines = lines
        # A NUL ends the text the parsers see, so "1.2.3.4\0junk" would be
        # read as 1.2.3.4; such lines are refused instead (see item_is_clean).
        self.has_nul = has_nul
        self._items: list[str] | None = None
        self._linenos: list[int] | None = None

    @classmethod
    def from_bytes(cls, name: str, data: bytes) -> Source:
        # Undecodable bytes become U+FFFD, which no address grammar accepts,
        # so such a line is reported rather than mangled into something valid.
        # A leading byte-order mark (what some Windows editors write) is no
        # part of the first line and goes; one anywhere else is refused like
        # any other stray character.
        text = data.decode("utf-8-sig", "replace")
        lines = text.split("\n")
        if "#" in text:
            lines = [line.partition("#")[0] for line in lines]
        lines = [line.strip() for line in lines]
        return cls(name, lines, "\x00" in text)

    def items(self) -> list[str]:
        """The non-empty lines, in input order."""
        if self._items is None:
            self._items = [line for line in self.lines if line]
        return self._items

    def where(self, k: int) -> str:
        """Location of item k, as FILE:LINE."""
        if self._linenos is None:
            # Only diagnostics need this mapping, so it is built on the first one.
            self._linenos = [i for i, line in enumerate(self.lines, 1) if line]
        return f"{self.name}:{self._linenos[k]}"


class ArgumentSource(Source):
    """Items given on the command line; each argument is one item."""

    def __init__(self, args: Sequence[str]) -> None:
        lines = [arg.strip() for arg in args]
        super().__init__("argument", lines, any("\x00" in a for a in lines))

    def items(self) -> list[str]:
        # An empty argument is an item too: it is reported, not skipped.
        return self.lines

    def where(self, k: int) -> str:
        return f"argument {k + 1}"


def read_bytes(path: str, stdin: BinaryIO) -> bytes:
    """The whole content of PATH, or of standard input for "-"."""
    if path == "-":
        return stdin.read()
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise InputError(f"cannot read {path}: {e.strerror or e}") from None


def display_name(path: str) -> str:
    return STDIN_NAME if path == "-" else path


def read_sources(paths: Iterable[str], stdin: BinaryIO) -> list[Source]:
    """Every input read up front, so a missing file fails before any output."""
    return [Source.from_bytes(display_name(p), read_bytes(p, stdin)) for p in paths]


def split_labels(items: list[str]) -> tuple[list[str], list[str] | None]:
    """Split "PREFIX LABEL" items into the prefixes and the labels.

    The first whitespace-separated field is the item; the rest of the line,
    trimmed, is its label.  Returns labels None when no item has one, which
    spares large unlabelled lists a second pass.
    """
    joined = "\n".join(items)
    if " " not in joined and "\t" not in joined:
        return items, None
    keys: list[str] = []
    labels: list[str] = []
    for item in items:
        parts = item.split(None, 1)
        keys.append(parts[0])
        labels.append(parts[1] if len(parts) > 1 else "")
    return keys, labels


def silence_stdout(stdout: TextIO) -> None:
    """After the reader of a pipe went away, send the rest of the output nowhere.

    Without this the interpreter's final flush of stdout raises again.
    """
    try:
        fd = stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)
