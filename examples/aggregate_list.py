"""Aggregate a prefix list to the smallest set of prefixes covering the same addresses.

    python3 examples/aggregate_list.py [FILE]

Reads one prefix per line (anything after the prefix, and '#' comments, is
ignored); FILE defaults to the example route table next to this program.
"""

import sys
from pathlib import Path

import pytarn

path = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("routes.txt")

v4, v6 = [], []
for line in path.read_text().splitlines():
    text = line.partition("#")[0].strip()
    if not text:
        continue
    prefix = text.split()[0]
    # The family is plain from the text: only IPv6 has colons.
    if ":" in prefix:
        v6.append(pytarn.IPv6Network(prefix))
    else:
        v4.append(pytarn.IPv4Network(prefix))

# bulk_aggregate takes one family per call and returns a new, ascending list.
merged4 = pytarn.bulk_aggregate(v4)
merged = merged4 + pytarn.bulk_aggregate(v6)

covered = sum(n.num_addresses for n in merged4)
print(f"{len(v4) + len(v6)} prefixes aggregate to {len(merged)}")
print(f"IPv4 addresses covered: {covered}")
for net in merged[:10]:
    print(" ", net)
