"""Command-line front end of pytarn: the `pytarn` console script.

    pytarn aggregate [-4|-6] [--lenient] [--skip-bad] [FILE...]
    pytarn lookup [--packed -4|-6] [--lenient] [--skip-bad] TABLE [FILE...]
    pytarn classify [--skip-bad] [ADDR...]
    pytarn sort [--by network|length] [-4|-6] [--lenient] [--skip-bad] [FILE...]

Input comes from the files named, or from standard input when none (or "-")
is given, one item per line; blank lines and `#` comments are ignored.
Results go to standard output and diagnostics to standard error.  The exit
status is 0 on success and 2 on bad input or bad usage.
"""

from __future__ import annotations

import argparse
import signal
import sys
from collections.abc import Sequence
from typing import BinaryIO, NoReturn, TextIO

from .source import InputError, silence_stdout

__all__ = ["main"]

PROG = "pytarn"

EPILOG = """\
Input: files or standard input, one item per line; blank lines and text after
'#' are ignored.  A prefix line may carry a label after the prefix (white
space between); `lookup` prints it, `sort` keeps it, `aggregate` drops it.  A
bare address in a prefix list stands for its host prefix (/32 or /128).

A bad line stops the command with its file, line number and reason (exit
status 2); with --skip-bad each bad line is reported on standard error and the
rest is processed (exit status 0).
"""


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("pytarn")
    except Exception:  # not installed: running from a source tree
        return "unknown"


def build_parser(stdout: TextIO, stderr: TextIO) -> argparse.ArgumentParser:
    """The argument parser, writing its help and errors to the given streams."""

    class Parser(argparse.ArgumentParser):
        def _print_message(self, message: str, file: object = None) -> None:
            if message:
                (stderr if file is sys.stderr else stdout).write(message)

        def error(self, message: str) -> NoReturn:
            self.print_usage(sys.stderr)
            self.exit(2, f"{self.prog}: error: {message}\n")

    parser = Parser(
        prog=PROG,
        description="Aggregate, look up, classify and sort IPv4/IPv6 prefix lists.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    def common(p: argparse.ArgumentParser, lenient: bool = True) -> None:
        p.add_argument(
            "--skip-bad",
            action="store_true",
            help="report each bad line on standard error and go on",
        )
        if lenient:
            p.add_argument(
                "--lenient",
                action="store_true",
                help="accept prefixes with host bits set and clear them",
            )

    def families(p: argparse.ArgumentParser, help4: str, help6: str) -> None:
        g = p.add_mutually_exclusive_group()
        g.add_argument("-4", dest="only4", action="store_true", help=help4)
        g.add_argument("-6", dest="only6", action="store_true", help=help6)

    p = sub.add_parser(
        "aggregate",
        help="print the minimal covering set of the prefixes read",
        description="Print the minimal set of prefixes covering exactly the "
        "addresses of the prefixes read, ascending; each family is aggregated "
        "on its own, IPv4 first.",
    )
    p.add_argument("files", nargs="*", metavar="FILE")
    families(p, "keep IPv4 prefixes only", "keep IPv6 prefixes only")
    common(p)

    p = sub.add_parser(
        "lookup",
        help="print each address with its longest matching prefix",
        description="Print each address read with its longest matching prefix "
        "in TABLE and that prefix's label, or '-' when none matches.  TABLE "
        "holds one prefix per line, optionally followed by a label; a prefix "
        "listed twice keeps its first label.",
    )
    p.add_argument("table", metavar="TABLE")
    p.add_argument("files", nargs="*", metavar="FILE")
    p.add_argument(
        "--packed",
        action="store_true",
        help="read raw 4-byte (-4) or 16-byte (-6) addresses in network byte order",
    )
    families(p, "with --packed: 4-byte IPv4 addresses", "with --packed: 16-byte IPv6 addresses")
    common(p)

    p = sub.add_parser(
        "classify",
        help="print each address with its special-purpose classes",
        description="Print each address with the names of its special-purpose "
        "classes (IANA registries), comma-separated.  Addresses come from the "
        "arguments or, when none is given, from standard input.",
    )
    p.add_argument("addresses", nargs="*", metavar="ADDR")
    common(p, lenient=False)

    p = sub.add_parser(
        "sort",
        help="sort prefixes by network or by length",
        description="Sort prefixes, each family on its own, IPv4 first.  "
        "'network' orders by address, then shorter first; 'length' puts the "
        "longest prefixes first, equal lengths by address.  Labels travel "
        "with their prefixes.",
    )
    p.add_argument("files", nargs="*", metavar="FILE")
    p.add_argument("--by", choices=("network", "length"), default="network")
    families(p, "keep IPv4 prefixes only", "keep IPv6 prefixes only")
    common(p)
    return parser


def main(
    argv: Sequence[str] | None = None,
    *,
    stdin: BinaryIO | None = None,
    stdout: TextIO | None = None,
    stderr: TextIO | None = None,
) -> int:
    """Run the command line `argv` (default: the process's) and return the exit status.

    `stdin` is a binary stream; `stdout` and `stderr` are text streams.  They
    default to the process's own.
    """
    if argv is None:
        argv = sys.argv[1:]
        # Die quietly like other filters when the reader of a pipe goes away
        # (`pytarn aggregate big.txt | head`).  Only for a real command line:
        # a caller in the same process keeps its own signal handling.
        if hasattr(signal, "SIGPIPE"):
            signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    out = stdout if stdout is not None else sys.stdout
    err = stderr if stderr is not None else sys.stderr
    inp = stdin if stdin is not None else sys.stdin.buffer

    parser = build_parser(out, err)
    try:
        args = parser.parse_args(list(argv))
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else 2
    if args.command is None:
        parser.print_usage(sys.stderr)
        err.write(f"{PROG}: error: a command is required\n")
        return 2

    try:
        from . import commands
    except ImportError as e:
        err.write(f"{PROG}: cannot load the pytarn module: {e}\n")
        return 2

    run = {
        "aggregate": commands.cmd_aggregate,
        "lookup": commands.cmd_lookup,
        "classify": commands.cmd_classify,
        "sort": commands.cmd_sort,
    }[args.command]
    reporter = commands.Reporter(err, args.skip_bad)
    io = commands.Io(inp, out, err)
    try:
        run(args, io, reporter)
        out.flush()
    except InputError as e:
        err.write(f"{PROG}: {e}\n")
        return 2
    except commands.UsageError as e:
        err.write(f"{PROG} {args.command}: error: {e}\n")
        return 2
    except BrokenPipeError:
        silence_stdout(out)
        return 141  # what a shell reports for a filter killed by SIGPIPE
    reporter.finish()
    return 0
