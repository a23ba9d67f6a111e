"""The module frame: exceptions, constants, types, error mapping, factories,
the shared dealloc, a clean failed import, and the exported symbols."""

from __future__ import annotations

import builtins
import gc
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from typing import Any

import pytest

import pytarn
from conftest import assert_no_leak

ROOT = pathlib.Path(__file__).resolve().parents[2]
HEADER = ROOT / "include" / "pytarn.h"

# ---- exceptions -----------------------------------------------------------

EXCEPTIONS = [
    # name, bases, docstring
    ("TARNError", (Exception,), "Base exception for all pytarn errors."),
    (
        "ParseError",
        (pytarn.TARNError, ValueError),
        "Raised when an address or prefix string does not parse per the applicable RFC.",
    ),
    (
        "HostBitsError",
        (pytarn.TARNError, ValueError),
        "Raised when host bits are set in a strict prefix parse.",
    ),
    (
        "PrefixLengthError",
        (pytarn.TARNError, ValueError),
        "Raised when a prefix length is outside the valid range for the address family.",
    ),
    (
        "InvalidArgumentError",
        (pytarn.TARNError, ValueError),
        "Raised when an invalid argument is passed (NULL pointer, buffer too small, etc.).",
    ),
    (
        "FamilyError",
        (pytarn.TARNError, TypeError),
        "Raised when an address family mismatch is detected (IPv4 vs IPv6).",
    ),
    (
        "AddressOverflowError",
        (pytarn.TARNError, OverflowError),
        "Raised when a result is not representable (e.g. supernet of /0).",
    ),
]


@pytest.mark.parametrize("name,bases,doc", EXCEPTIONS, ids=[e[0] for e in EXCEPTIONS])
def test_exception_class(name: str, bases: tuple[type, ...], doc: str) -> None:
    cls = getattr(pytarn, name)
    assert cls.__bases__ == bases
    assert cls.__module__ == "pytarn"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__doc__ == doc
    assert issubclass(cls, pytarn.TARNError)
    # Catchable by the builtin it mirrors, and by the module's root.
    with pytest.raises(bases[-1]):
        raise cls("x")


def test_module_identity() -> None:
    assert pytarn.__name__ == "pytarn"
    assert pytarn.__doc__ == "IPv4/IPv6 address arithmetic and CIDR manipulation"


# ---- constants ------------------------------------------------------------

CLASS_NAMES = [
    "GLOBAL", "THIS_HOST", "PRIVATE", "SHARED", "LOOPBACK", "LINK_LOCAL", "IETF_RESERVED",
    "DOCUMENTATION", "6TO4_RELAY", "BENCHMARKING", "RESERVED", "BROADCAST", "UNSPECIFIED",
    "V4MAPPED", "V4TRANSLATED", "DISCARD", "UNIQUE_LOCAL", "MULTICAST", "ANYCAST", "TEREDO",
    "6TO4", "ORCHID", "SRV6",
]  # fmt: skip

CONSTANTS = [
    ("AF_INET", 4),
    ("AF_INET6", 6),
    ("SORT_NETWORK_ASC", 0),
    ("SORT_PFXLEN_DESC", 1),
    ("TARN_IANA_SNAPSHOT", 20251009),
] + [(f"TARN_CLASS_{n}", 1 << i) for i, n in enumerate(CLASS_NAMES)]

FUNCTIONS = ["bulk_parse", "bulk_contains", "bulk_aggregate", "bulk_sort", "bulk_contains_packed",
             "bulk_contains_array", "ip_address", "ip_network", "ip_interface",
             "get_mixed_type_key", "bulk_union", "bulk_intersection", "bulk_difference",
             "bulk_symmetric_difference", "summarize_address_range", "spanning_network"]
TYPES = ["IPv4Address", "IPv6Address", "IPv4Network", "IPv6Network", "PrefixIndex", "SubnetIterator",
         "AddressArray", "ResultBuffer", "AddressIterator", "IPv4Interface", "IPv6Interface",
         "PrefixSet"]


@pytest.mark.parametrize("name,value", CONSTANTS, ids=[c[0] for c in CONSTANTS])
def test_constant_value(name: str, value: int) -> None:
    got = getattr(pytarn, name)
    assert type(got) is int
    assert got == value


def test_class_constants_match_header() -> None:
    """The bits published to Python are the core's bits, not a copy that
    could drift."""
    defines = dict(re.findall(r"#define (TARN_CLASS_\w+) \(\(tarn_class_t\)(0x[0-9a-fA-F]+)\)",
                              HEADER.read_text()))
    assert len(defines) == len(CLASS_NAMES)
    for name, value in defines.items():
        assert getattr(pytarn, name) == int(value, 16), name
    snapshot = re.search(r"#define TARN_IANA_SNAPSHOT (\d+)", HEADER.read_text())
    assert snapshot is not None and pytarn.TARN_IANA_SNAPSHOT == int(snapshot.group(1))


def test_af_inet6_is_the_ip_version_not_the_socket_constant() -> None:
    import socket

    assert pytarn.AF_INET6 == 6 != socket.AF_INET6


def test_public_names_in_creation_order() -> None:
    """Functions come with the module, then the exceptions, the constants
    and the types, each group in its fixed order."""
    public = [n for n in vars(pytarn) if not n.startswith("_")]
    want = FUNCTIONS + [e[0] for e in EXCEPTIONS] + [c[0] for c in CONSTANTS] + TYPES
    assert public == want


# ---- types ----------------------------------------------------------------

TYPE_DOCS = {
    "IPv4Address": "IPv4 address representation.",
    "IPv6Address": "IPv6 address representation.",
    "IPv4Network": "IPv4 network (CIDR prefix).",
    "IPv6Network": "IPv6 network (CIDR prefix).",
    "SubnetIterator": "Subnet iterator for CIDR prefix enumeration.",
}


@pytest.mark.parametrize("name", TYPES)
def test_type_frame(name: str) -> None:
    tp = getattr(pytarn, name)
    assert isinstance(tp, type)
    assert tp.__module__ == "pytarn"
    assert tp.__name__ == name
    if name in TYPE_DOCS:
        assert tp.__doc__ == TYPE_DOCS[name]
    # Every type can be subclassed.
    sub = type("Sub" + name, (tp,), {})
    assert issubclass(sub, tp)


@pytest.mark.parametrize(
    "make",
    [
        lambda: pytarn.IPv4Address("192.0.2.1"),
        lambda: pytarn.IPv6Address("::1"),
        lambda: pytarn.IPv4Network("10.0.0.0/8"),
        lambda: pytarn.IPv6Network("2001:db8::/32"),
        lambda: pytarn.IPv4Network("10.0.0.0/8").subnets(9),
    ],
    ids=["IPv4Address", "IPv6Address", "IPv4Network", "IPv6Network", "SubnetIterator"],
)
def test_instances_are_not_gc_tracked(make: Any) -> None:
    assert not gc.is_tracked(make())


def test_binding_uses_its_own_type_objects_not_module_attributes(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    """Rebinding a module attribute changes nothing inside the binding."""
    real = pytarn.IPv4Address
    monkeypatch.setattr(pytarn, "IPv4Address", object)
    monkeypatch.setattr(pytarn, "FamilyError", KeyError)
    got = pytarn.IPv6Address("::ffff:1.2.3.4").to_ipv4()
    assert type(got) is real
    with pytest.raises(pytarn.TARNError, match="^address family mismatch$"):
        real("::1")


# ---- error mapping through the public paths --------------------------------

PUBLIC_ERRORS = [
    # id, call, exception, message
    ("parse-text", lambda: pytarn.IPv4Address("1.2.3"), pytarn.ParseError, "1.2.3"),
    ("family", lambda: pytarn.IPv4Address("::1"), pytarn.FamilyError, "address family mismatch"),
    ("hostbits", lambda: pytarn.IPv4Network("10.0.0.1/8"), pytarn.HostBitsError, "10.0.0.1/8"),
    ("pfxlen", lambda: pytarn.IPv4Network("10.0.0.0/33"), pytarn.PrefixLengthError,
     "10.0.0.0/33"),
    ("overflow", lambda: pytarn.IPv4Network("0.0.0.0/0").supernet(),
     pytarn.AddressOverflowError, "result not representable"),
    ("inval", lambda: pytarn.bulk_sort([pytarn.IPv4Network("10.0.0.0/8")], 2),
     pytarn.InvalidArgumentError, "invalid argument"),
    ("parse-default", lambda: pytarn.bulk_parse(["10.0.0.1", "bogus"]), pytarn.ParseError,
     "invalid address at index 1: 'bogus'"),
]  # fmt: skip


@pytest.mark.parametrize(
    "call,exc,message", [e[1:] for e in PUBLIC_ERRORS], ids=[e[0] for e in PUBLIC_ERRORS]
)
def test_core_codes_reach_python_as_their_class(call: Any, exc: type, message: str) -> None:
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert info.value.args == (message,)


# ---- factories ------------------------------------------------------------


def test_factories_make_base_types_for_subclass_inputs() -> None:
    class Net(pytarn.IPv4Network):
        pass

    class Addr6(pytarn.IPv6Address):
        pass

    net = Net("10.0.0.0/8")
    assert type(net) is Net
    assert type(net.supernet()) is pytarn.IPv4Network
    assert net.supernet() == pytarn.IPv4Network("10.0.0.0/7")
    assert type(net.network_address) is pytarn.IPv4Address
    assert type(next(net.subnets(9))) is pytarn.IPv4Network
    assert type(Addr6("::ffff:1.2.3.4").to_ipv4()) is pytarn.IPv4Address


# ---- the shared dealloc ---------------------------------------------------

SUBCLASS_CASES = [
    ("IPv4Address", lambda tp: tp("192.0.2.1")),
    ("IPv6Address", lambda tp: tp("2001:db8::1")),
    ("IPv4Network", lambda tp: tp("10.0.0.0/8")),
    ("IPv6Network", lambda tp: tp("2001:db8::/32")),
]


@pytest.mark.parametrize("name,make", SUBCLASS_CASES, ids=[c[0] for c in SUBCLASS_CASES])
def test_python_subclass_instances_come_and_go_cleanly(name: str, make: Any) -> None:
    """Python subclasses carry a GC header and a __dict__; freeing them
    through the wrong allocator corrupts the heap, and every instance
    holds a reference to its type that must be given back."""
    base = getattr(pytarn, name)

    class Sub(base):  # type: ignore[valid-type,misc]
        pass

    class Slotted(base):  # type: ignore[valid-type,misc]
        __slots__ = ("tag",)

    def churn() -> None:
        a = make(Sub)
        a.note = [a]  # a cycle through the instance dict: freed by the collector
        b = make(Slotted)
        b.tag = "x"
        c = make(base)
        assert type(a) is Sub and type(b) is Slotted and type(c) is base

    for _ in range(5):
        churn()
    gc.collect()
    refs = [sys.getrefcount(t) for t in (base, Sub, Slotted)]
    for _ in range(100_000):
        churn()
    gc.collect()
    assert [sys.getrefcount(t) for t in (base, Sub, Slotted)] == refs


def test_factory_results_release_their_type() -> None:
    net = pytarn.IPv4Network("10.0.0.0/8")
    assert_no_leak(net.supernet, rounds=20_000)


# ---- fault injection: every code, and a failed import ---------------------
#
# A small preloaded library stands in for chosen functions: core functions
# answer a chosen code, and chosen C-API calls made from the module fail on
# their n-th call.  It only works where the module resolves those symbols
# through the global scope (Python linked against a shared libpython, no
# -Bsymbolic); the tests probe for that first and skip otherwise.

INJECT_C = r"""
#define _GNU_SOURCE
#include <Python.h>
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

static char fail_name[64];
static int fail_nth;
static char core_name[64];
static int core_rc;
static unsigned core_class;
static void *core_handle;

void inject_fail_at(const char *name, int nth) {
  strncpy(fail_name, name, sizeof fail_name - 1);
  fail_nth = nth;
}
void inject_core(const char *name, int rc, unsigned cls, const char *module_path) {
  strncpy(core_name, name, sizeof core_name - 1);
  core_rc = rc;
  core_class = cls;
  if (core_handle == NULL) core_handle = dlopen(module_path, RTLD_NOW | RTLD_NOLOAD);
}

/* Only calls made from the pytarn module count. */
static int from_module(void *ret) {
  Dl_info info;
  if (!dladdr(ret, &info) || info.dli_fname == NULL) return 0;
  const char *base = strrchr(info.dli_fname, '/');
  return strstr(base ? base + 1 : info.dli_fname, "pytarn") != NULL;
}

static int should_fail(const char *name, void *ret) {
  if (fail_nth <= 0 || strcmp(name, fail_name) != 0 || !from_module(ret)) return 0;
  if (--fail_nth != 0) return 0;
  PyErr_Format(PyExc_RuntimeError, "injected failure in %s", name);
  return 1;
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

PyObject *PyModule_Create2(PyModuleDef *def, int api) {
  if (should_fail("PyModule_Create2", __builtin_return_address(0))) return NULL;
  return REAL(PyModule_Create2)(def, api);
}
PyObject *PyErr_NewExceptionWithDoc(const char *name, const char *doc, PyObject *base,
                                    PyObject *dict) {
  if (should_fail("PyErr_NewExceptionWithDoc", __builtin_return_address(0))) return NULL;
  return REAL(PyErr_NewExceptionWithDoc)(name, doc, base, dict);
}
PyObject *PyTuple_Pack(Py_ssize_t n, ...) {
  if (should_fail("PyTuple_Pack", __builtin_return_address(0))) return NULL;
  PyObject *t = PyTuple_New(n);
  if (t == NULL) return NULL;
  va_list ap;
  va_start(ap, n);
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject *o = va_arg(ap, PyObject *);
    Py_INCREF(o);
    PyTuple_SET_ITEM(t, i, o);
  }
  va_end(ap);
  return t;
}
int PyModule_AddObjectRef(PyObject *m, const char *name, PyObject *v) {
  if (should_fail("PyModule_AddObjectRef", __builtin_return_address(0))) return -1;
  return REAL(PyModule_AddObjectRef)(m, name, v);
}
int PyModule_AddIntConstant(PyObject *m, const char *name, long v) {
  if (should_fail("PyModule_AddIntConstant", __builtin_return_address(0))) return -1;
  return REAL(PyModule_AddIntConstant)(m, name, v);
}
PyObject *PyType_FromSpec(PyType_Spec *spec) {
  if (should_fail("PyType_FromSpec", __builtin_return_address(0))) return NULL;
  return REAL(PyType_FromSpec)(spec);
}

/* Core functions: the armed one answers core_rc, the rest run for real. */
typedef int32_t (*fn2)(const void *, void *);
typedef int32_t (*fn3)(const void *, void *, size_t);
static void *real_core(const char *name) { return core_handle ? dlsym(core_handle, name) : NULL; }

int32_t tarn_addr_parse(const char *src, void *out) {
  if (strcmp(core_name, "tarn_addr_parse") == 0) return core_rc;
  return ((fn2)real_core("tarn_addr_parse"))(src, out);
}
int32_t tarn_addr_format(const void *addr, char *buf, size_t len) {
  if (strcmp(core_name, "tarn_addr_format") == 0) return core_rc;
  return ((fn3)real_core("tarn_addr_format"))(addr, buf, len);
}
int32_t tarn_addr_to_v4(const void *addr, void *out) {
  if (strcmp(core_name, "tarn_addr_to_v4") == 0) return core_rc;
  return ((fn2)real_core("tarn_addr_to_v4"))(addr, out);
}
int32_t tarn_addr_is_global(const void *addr, void *out) {
  if (strcmp(core_name, "tarn_addr_is_global") == 0) return core_rc;
  return ((fn2)real_core("tarn_addr_is_global"))(addr, out);
}
int32_t tarn_addr_classify(const void *addr, uint32_t *out) {
  if (strcmp(core_name, "tarn_addr_classify") == 0) {
    if (core_rc == 0) *out = core_class;
    return core_rc;
  }
  return ((fn2)real_core("tarn_addr_classify"))(addr, out);
}
"""


@pytest.fixture(scope="module")
def injector(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler for the fault-injection library")
    d = tmp_path_factory.mktemp("inject")
    src = d / "inject.c"
    src.write_text(INJECT_C)
    lib = d / "libinject.so"
    include = sysconfig.get_paths()["include"]
    subprocess.run([cc, "-shared", "-fPIC", "-O1", f"-I{include}", "-o", str(lib), str(src), "-ldl"],
                   check=True, capture_output=True)
    return lib


def run_injected(lib: pathlib.Path, body: str) -> Any:
    """Run ``body`` in a fresh interpreter with the injector preloaded; the
    body prints one JSON document as its last line."""
    module_dir = os.path.dirname(pytarn.__file__ or "")
    env = dict(os.environ)
    # After any sanitizer runtime already preloaded, which must come first.
    env["LD_PRELOAD"] = " ".join(p for p in (env.get("LD_PRELOAD"), str(lib)) if p)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    prelude = textwrap.dedent(f"""
        import ctypes, gc, json, sys
        inject = ctypes.CDLL({str(lib)!r})
        inject.inject_core.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_uint, ctypes.c_char_p]
        inject.inject_fail_at.argtypes = [ctypes.c_char_p, ctypes.c_int]
    """)
    proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(body)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# The codes and the exception each becomes; None context (a core call on a
# stored record), then the caller's text as context (a parse).
CODES = [
    (1, "InvalidArgumentError", "invalid argument"),
    (2, "ParseError", "parse error"),
    (3, "PrefixLengthError", "prefix length out of range"),
    (4, "HostBitsError", "host bits set in prefix"),
    (5, "MemoryError", ""),
    (6, "FamilyError", "address family mismatch"),
    (7, "AddressOverflowError", "result not representable"),
    (8, "RuntimeError", "unexpected tarn_err_t value: 8"),
    (9, "RuntimeError", "unexpected tarn_err_t value: 9"),
    (-1, "RuntimeError", "unexpected tarn_err_t value: -1"),
    (0x7FFFFFFF, "RuntimeError", "unexpected tarn_err_t value: 2147483647"),
]

CONTEXT_CODES = [
    # With the caller's text as context: it replaces the default message,
    # except for MemoryError and codes outside the enumeration.
    (1, "InvalidArgumentError", "192.0.2.1"),
    (2, "ParseError", "192.0.2.1"),
    (4, "HostBitsError", "192.0.2.1"),
    (5, "MemoryError", ""),
    (8, "RuntimeError", "unexpected tarn_err_t value: 8"),
    (9, "RuntimeError", "unexpected tarn_err_t value: 9"),
]

# Each property or method backed by a core call, run with that call failing.
CORE_SITES = [
    ("tarn_addr_classify", "v4.classify()"),
    ("tarn_addr_is_global", "v4.is_global"),
    ("tarn_addr_classify", "v4.is_reserved"),
    ("tarn_addr_classify", "v6.is_private"),
    ("tarn_addr_classify", "v4.is_loopback"),
    ("tarn_addr_classify", "v6.is_multicast"),
    ("tarn_addr_classify", "v4.is_link_local"),
    ("tarn_addr_classify", "v6.is_unspecified"),
    ("tarn_addr_format", "str(v4)"),
    ("tarn_addr_format", "repr(v6)"),
    ("tarn_addr_format", "v6.compressed"),
    ("tarn_addr_format", "v4.exploded"),
    ("tarn_addr_to_v4", "v6.to_ipv4()"),
]

MAPPING_BODY = """
import pytarn
inject.inject_core(b"", 0, 0, pytarn.__file__.encode())
v4 = pytarn.IPv4Address("192.0.2.1")
v6 = pytarn.IPv6Address("::ffff:1.2.3.4")

def attempt(func, rc, expr, cls=0):
    inject.inject_core(func.encode(), rc, cls, b"")
    try:
        value = eval(expr)
    except BaseException as e:
        out = ["raised", type(e).__name__, str(e)]
    else:
        out = ["value", repr(value)]
    inject.inject_core(b"", 0, 0, b"")
    return out

res = {"probe": attempt("tarn_addr_classify", 0, "v4.classify()", 0x5A5A5)}
res["codes"] = {str(rc): attempt("tarn_addr_classify", rc, "v4.classify()") for rc in RCS}
res["context"] = {str(rc): attempt("tarn_addr_parse", rc, "pytarn.IPv4Address('192.0.2.1')")
                  for rc in CRCS}
res["sites"] = {f"{f}|{e}": attempt(f, 1, e) for f, e in SITES}
res["v4_unspecified"] = attempt("tarn_addr_classify", 1, "v4.is_unspecified")
res["not_mapped"] = attempt("tarn_addr_to_v4", 6, "v6.to_ipv4()")
print(json.dumps(res))
"""


@pytest.fixture(scope="module")
def mapping(injector: pathlib.Path) -> Any:
    body = (f"RCS = {[c[0] for c in CODES]!r}\nCRCS = {[c[0] for c in CONTEXT_CODES]!r}\n"
            f"SITES = {CORE_SITES!r}\n" + textwrap.dedent(MAPPING_BODY))
    res = run_injected(injector, body)
    if res["probe"] != ["value", str(0x5A5A5)]:
        pytest.skip("core symbols are not interposable in this build")
    return res


@pytest.mark.parametrize("rc,exc,message", CODES, ids=[str(c[0]) for c in CODES])
def test_every_code_maps_to_its_exception(mapping: Any, rc: int, exc: str, message: str) -> None:
    assert mapping["codes"][str(rc)] == ["raised", exc, message]


@pytest.mark.parametrize("rc,exc,message", CONTEXT_CODES, ids=[str(c[0]) for c in CONTEXT_CODES])
def test_context_text_replaces_the_default_message(
    mapping: Any, rc: int, exc: str, message: str
) -> None:
    assert mapping["context"][str(rc)] == ["raised", exc, message]


@pytest.mark.parametrize("func,expr", CORE_SITES, ids=[c[1] for c in CORE_SITES])
def test_core_errors_in_properties_and_methods_are_mapped(mapping: Any, func: str, expr: str) -> None:
    assert mapping["sites"][f"{func}|{expr}"] == ["raised", "InvalidArgumentError",
                                                  "invalid argument"]


def test_ipv4_is_unspecified_never_classifies(mapping: Any) -> None:
    assert mapping["v4_unspecified"] == ["value", "False"]


def test_to_ipv4_family_code_means_none(mapping: Any) -> None:
    assert mapping["not_mapped"] == ["value", "None"]


# (function, failing call number) for every fallible step of the import.
IMPORT_FAULTS = (
    [("PyModule_Create2", 1)]
    + [("PyErr_NewExceptionWithDoc", n) for n in range(1, 8)]
    + [("PyTuple_Pack", n) for n in range(1, 7)]
    + [("PyModule_AddObjectRef", n) for n in range(1, 14)]
    + [("PyModule_AddIntConstant", n) for n in (1, 5, 6, 28)]
    + [("PyType_FromSpec", n) for n in range(1, 7)]
)

IMPORT_BODY = """
import builtins
BASES = ("Exception", "ValueError", "TypeError", "OverflowError")

def leftovers():
    gc.collect()
    return [o for o in gc.get_objects()
            if (isinstance(o, type) and o.__module__ == "pytarn")
            or (type(o) is type(sys) and o.__name__ == "pytarn")]

def base_refs():
    gc.collect()
    return [sys.getrefcount(getattr(builtins, b)) for b in BASES]

res = {}
refs = base_refs()
seen = {id(o) for o in leftovers()}
for func, nth in FAULTS:
    inject.inject_fail_at(func.encode(), nth)
    try:
        import pytarn
    except RuntimeError as e:
        err = str(e)
    else:
        err = None
        del sys.modules["pytarn"], pytarn
    inject.inject_fail_at(b"", 0)
    # Only what this attempt left behind counts, so that one leaking step
    # does not taint the cases after it.
    now = leftovers()
    res[f"{func}:{nth}"] = {"error": err, "leftovers": [repr(o) for o in now if id(o) not in seen],
                            "refs": base_refs() == refs}
    refs, seen = base_refs(), {id(o) for o in now}
    del now

import pytarn
inject.inject_core(b"", 0, 0, pytarn.__file__.encode())
res["after"] = str(pytarn.IPv4Address("192.0.2.1"))
print(json.dumps(res))
"""


@pytest.fixture(scope="module")
def failed_imports(injector: pathlib.Path) -> Any:
    body = f"FAULTS = {IMPORT_FAULTS!r}\n" + textwrap.dedent(IMPORT_BODY)
    res = run_injected(injector, body)
    if res["PyType_FromSpec:1"]["error"] is None:
        pytest.skip("C-API symbols are not interposable in this interpreter")
    return res


@pytest.mark.parametrize("func,nth", IMPORT_FAULTS, ids=[f"{f}-{n}" for f, n in IMPORT_FAULTS])
def test_failed_import_releases_everything(failed_imports: Any, func: str, nth: int) -> None:
    got = failed_imports[f"{func}:{nth}"]
    # The import fails with the failing call's own exception ...
    assert got["error"] == f"injected failure in {func}"
    # ... leaves no class, type or module of ours alive ...
    assert got["leftovers"] == []
    # ... and gives back every reference it took on the builtin bases.
    assert got["refs"] is True


def test_import_succeeds_after_failed_attempts(failed_imports: Any) -> None:
    assert failed_imports["after"] == "192.0.2.1"


# ---- exported symbols -----------------------------------------------------


def test_exported_symbols_are_exactly_the_core_interface() -> None:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", pytarn.__file__ or ""], check=True,
                         capture_output=True, text=True).stdout
    exported = {line.split()[-1] for line in out.splitlines() if line.strip()}
    exported = {s.split("@")[0] for s in exported}
    declared = set(re.findall(r"TARN_EXPORT\s+[\w\s\*]*?\b(tarn_\w+)\s*\(", HEADER.read_text()))
    assert len(declared) >= 20  # the header parse found the interface
    assert exported == declared | {"radix_sort_prefixes", "PyInit_pytarn"}
