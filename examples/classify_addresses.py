"""Which special-purpose ranges (IANA registries) addresses fall in.

    python3 examples/classify_addresses.py [ADDR...]
"""

import sys

import pytarn

# The class bits are module constants named TARN_CLASS_<NAME>.
CLASSES = {
    value: name.removeprefix("TARN_CLASS_").lower()
    for name, value in vars(pytarn).items()
    if name.startswith("TARN_CLASS_")
}


def address(text):
    return pytarn.IPv6Address(text) if ":" in text else pytarn.IPv4Address(text)


def class_names(addr):
    mask = addr.classify()
    return [name for bit, name in sorted(CLASSES.items()) if mask & bit]


samples = sys.argv[1:] or [
    "8.8.8.8",
    "10.1.2.3",
    "100.64.0.1",
    "192.0.2.10",
    "255.255.255.255",
    "::1",
    "fe80::1",
    "fd12:3456::1",
    "2001:db8::1",
    "::ffff:192.0.2.1",
]

for text in samples:
    addr = address(text)
    flags = [p for p in ("is_global", "is_private", "is_loopback") if getattr(addr, p)]
    print(f"{text:20} {','.join(class_names(addr)):32} {' '.join(flags)}")
