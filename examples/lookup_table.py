"""Longest-prefix match of addresses against a labelled route table.

    python3 examples/lookup_table.py [TABLE [ADDRESSES]]

TABLE has one prefix per line, optionally followed by a label; ADDRESSES one
address per line.  Both default to the example files next to this program.
"""

import sys
from pathlib import Path

import pytarn

here = Path(__file__).parent
table_path = Path(sys.argv[1]) if len(sys.argv) > 1 else here / "routes.txt"
addr_path = Path(sys.argv[2]) if len(sys.argv) > 2 else here / "addresses.txt"


def lines(path):
    for line in path.read_text().splitlines():
        text = line.partition("#")[0].strip()
        if text:
            yield text


# A PrefixIndex holds one family, so keep a table per family.
tables = {4: ([], []), 6: ([], [])}
for text in lines(table_path):
    prefix, _, label = text.partition(" ")
    if ":" in prefix:
        nets, labels = tables[6]
        nets.append(pytarn.IPv6Network(prefix))
    else:
        nets, labels = tables[4]
        nets.append(pytarn.IPv4Network(prefix))
    labels.append(label.strip())

indexes = {v: pytarn.PrefixIndex(nets) for v, (nets, _) in tables.items() if nets}

# bulk_parse wants one family per call, too.
texts = {4: [], 6: []}
for text in lines(addr_path):
    texts[6 if ":" in text else 4].append(text)

matched = 0
for version, family_texts in texts.items():
    if not family_texts or version not in indexes:
        continue
    addrs = pytarn.bulk_parse(family_texts)
    nets, labels = tables[version]
    # lookup answers, for each address, the position of its longest
    # matching network in the list the index was built from, or -1.
    for addr, pos in zip(addrs, indexes[version].lookup(addrs)):
        if pos >= 0:
            matched += 1
            if matched <= 10:
                print(f"{addr!s:40} {nets[pos]!s:20} {labels[pos]}")

total = len(texts[4]) + len(texts[6])
print(f"{matched} of {total} addresses matched a route")
