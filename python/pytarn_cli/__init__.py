"""Command-line front end of pytarn."""


def main() -> int:
    raise SystemExit("not yet")
