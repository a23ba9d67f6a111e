#!/usr/bin/env python3
"""pytarn across processes: pickling, a shipped index, and Dask.

    python3 benchmarks/compare_distributed.py [--rows N] [--quick] [--out FILE]

Rows, each a ratio of two runs made here, in this run:

- pickle.dumps + pickle.loads of 1M IPv4 addresses: a list of pytarn
  addresses and an AddressArray, against a list of `ipaddress` objects;
- loading a pickled index of the 1.04M-prefix synthetic IPv4 table against
  building it from its networks, and the pickle's size against the growth
  of the process's resident memory while the index is built;
- the flow-labelling job of examples/dask_flows.py over N rows (20M by
  default) against the synthetic IPv4 and IPv6 tables with labels: two
  worker processes against one, the same with pytricia (its tries rebuilt in
  every worker from the table file, since they cannot be shipped), and
  Dask's threads scheduler on two threads against one.

The clusters are those of the example (workers keeping the allocator's own
trim threshold, see examples/dask_flows.py), and every worker has imported
the libraries both jobs use before the clock starts.  Times are wall clock,
best of a few runs for the short rows; the Dask rows
take the median of five runs of pytarn's cluster and one of pytricia's (45
s a run); a shared 2-core machine makes them noisy.  Needs dask,
distributed, pyarrow, pandas and pytricia (pip).  Writes its data under
build/distributed-bench and its table to --out (default
docs/benchmarks-distributed.md).  Not part of the test run.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import ipaddress
import os
import pickle
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "distributed-bench"
sys.path.insert(0, str(ROOT / "benchmarks"))

spec = importlib.util.spec_from_file_location("dask_flows", ROOT / "examples" / "dask_flows.py")
assert spec is not None and spec.loader is not None
flows = importlib.util.module_from_spec(spec)
sys.modules["dask_flows"] = flows
spec.loader.exec_module(flows)


def best(fn: Callable[[], Any], runs: int = 3) -> float:
    times = []
    for _ in range(runs):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def round_trip(obj: Any) -> Any:
    return pickle.loads(pickle.dumps(obj, protocol=5))


def pickling_rows(rows: list[str], n: int) -> None:
    import random

    import pytarn

    rng = random.Random(1)
    ints = [rng.getrandbits(32) for _ in range(n)]
    ours = [pytarn.IPv4Address(i) for i in ints]
    column = pytarn.AddressArray(ours)
    std = [ipaddress.IPv4Address(i) for i in ints]
    t_std = best(lambda: round_trip(std))
    t_list = best(lambda: round_trip(ours))
    t_col = best(lambda: round_trip(column))
    assert round_trip(column) == column and round_trip(ours[:1000]) == ours[:1000]
    rows.append(
        f"| pickle round trip of {n:,} addresses, list | {t_list * 1e9 / n:.0f} ns "
        f"| ipaddress list {t_std * 1e9 / n:.0f} ns | {t_std / t_list:.1f}x | at least 1x |"
    )
    rows.append(
        f"| the same, one AddressArray | {t_col * 1e9 / n:.1f} ns "
        f"| ipaddress list {t_std * 1e9 / n:.0f} ns | {t_std / t_col:.0f}x | at least 20x |"
    )


def index_rows(rows: list[str], table: list[str]) -> None:
    import pytarn

    nets = [pytarn.IPv4Network(p) for p in table]
    gc.collect()
    before = rss()
    index = pytarn.PrefixIndex(nets)
    resident = rss() - before
    blob = pickle.dumps(index, protocol=5)
    # Tens of milliseconds each on a shared machine: more runs than the rest.
    t_build = best(lambda: pytarn.PrefixIndex(nets), runs=7)
    t_load = best(lambda: pickle.loads(blob), runs=7)
    probe = pytarn.AddressArray([n.network_address for n in nets[::97]])
    assert pickle.loads(blob).lookup_array(probe).tolist() == index.lookup_array(probe).tolist()
    rows.append(
        f"| load a pickled {len(table):,}-prefix index | {t_load * 1e3:.0f} ms "
        f"| build from networks {t_build * 1e3:.0f} ms | {t_build / t_load:.1f}x "
        f"| at least 10x |"
    )
    rows.append(
        f"| pickled index size over resident memory | {len(blob) / 2**20:.1f} MiB "
        f"| {resident / 2**20:.1f} MiB | {len(blob) / resident:.2f} | at most 1.2 |"
    )


def write_table(path: Path, quick: bool) -> None:
    """The synthetic tables with one label per prefix, an origin AS of 64k."""
    tablegen = __import__("tablegen")
    v4 = tablegen.generate_table("v4", 200_000 if quick else None)
    v6 = tablegen.generate_table("v6", 50_000 if quick else None)
    with path.open("w") as f:
        for i, prefix in enumerate(v4 + v6):
            f.write(f"{prefix} AS{64512 + i % 8000}\n")


# ---- pytricia, the peer: rebuilt in each worker, one Python call per row -----


def pytricia_label(df: Any, table: str, dtype: Any) -> Any:
    import numpy as np
    import pandas as pd
    import pytricia
    from distributed import get_worker

    # Built once per worker: the tries live on the worker object, since this
    # function travels by value and its module globals with it.
    _TRIES = get_worker().__dict__.setdefault("pytricia_tries", {})
    if table not in _TRIES:
        code = {c: i for i, c in enumerate(dtype.categories)}
        t4, t6 = pytricia.PyTricia(32), pytricia.PyTricia(128)
        for line in Path(table).read_text().splitlines():
            prefix, _, label = line.partition(" ")
            (t6 if ":" in prefix else t4)[prefix] = code[label]
        _TRIES[table] = (t4, t6)
    t4, t6 = _TRIES[table]
    none = len(dtype.categories) - 1
    codes = np.fromiter(
        ((t6 if ":" in s else t4).get(s, none) for s in df["src"]), dtype=np.int32, count=len(df)
    )
    return df.assign(label=pd.Categorical.from_codes(codes, dtype=dtype))


def warm_worker() -> None:
    import dask.dataframe  # noqa: F401
    import pandas  # noqa: F401
    import pyarrow.parquet  # noqa: F401
    import pytricia  # noqa: F401

    import pytarn  # noqa: F401


def dask_rows(rows: list[str], n_rows: int, quick: bool) -> None:
    import dask
    import dask.dataframe as dd
    import pandas as pd
    from distributed import Client, LocalCluster

    WORK.mkdir(parents=True, exist_ok=True)
    table = WORK / ("table-quick.txt" if quick else "table.txt")
    if not table.exists():
        write_table(table, quick)
    routes = flows.Routes(table)
    data = WORK / f"flows-{n_rows}"
    if not any(data.glob("*.parquet")):
        print(f"writing {n_rows:,} flow records", flush=True)
        flows.write_dataset(data, routes, n_rows, files=40)
    want = flows.run_single(data, routes)

    def on_cluster(workers: int, peer: bool) -> float:
        with (
            dask.config.set(flows.WORKER_CONFIG),
            LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address=":0",  # a free port, as the example takes
                memory_limit="8GiB",
            ) as cluster,
            Client(cluster) as client,
        ):
            client.upload_file(str(ROOT / "examples" / "dask_flows.py"))
            # Workers up, with the libraries both jobs import, before the
            # clock starts: a cluster pays for that once, not per job.
            client.run(warm_worker)
            t0 = time.perf_counter()
            if peer:
                # The labels' dtype travels as the example sends it, once.
                dtype = client.scatter(routes.dtype, broadcast=True)
                ddf = dd.read_parquet(str(data), dtype_backend="pyarrow")
                meta = ddf._meta.assign(label=pd.Categorical([], dtype=routes.dtype))
                labelled = ddf.map_partitions(pytricia_label, str(table), dtype, meta=meta)
            else:
                labelled = flows.labelled_frame(data, routes, *flows.scatter_routes(client, routes))
            got = flows.compute(flows.per_label(labelled))
            elapsed = time.perf_counter() - t0
        assert got.sort_index()["flows"].tolist() == want.sort_index()["flows"].tolist()
        return elapsed

    def threads(n: int) -> float:
        sched = {"scheduler": "threads", "num_workers": n} if n > 1 else {"scheduler": "sync"}
        with dask.config.set(**sched):
            t0 = time.perf_counter()
            flows.compute(flows.per_label(flows.labelled_frame(data, routes, routes.index)))
            return time.perf_counter() - t0

    # A shared 2-core machine swings by a quarter between identical runs:
    # pytarn's two rows are the medians of five runs, taken in turns.
    print("dask: pytarn on 1 and 2 workers, five times", flush=True)
    runs = [(on_cluster(1, False), on_cluster(2, False)) for _ in range(5)]
    one, two = (statistics.median(r) for r in zip(*runs))
    print("dask: pytricia on 2 workers", flush=True)
    peer = on_cluster(2, True)
    print("dask: threads scheduler", flush=True)
    t1, t2 = threads(1), threads(2)
    per = f"{n_rows:,} rows"
    rows.append(
        f"| Dask, {per}, 2 worker processes | {two:.1f} s | 1 worker {one:.1f} s "
        f"| {one / two:.2f}x | at least 1.6x |"
    )
    rows.append(
        f"| the same, pytarn vs pytricia on 2 workers | {two:.1f} s | {peer:.1f} s "
        f"| {peer / two:.1f}x | at least 10x |"
    )
    rows.append(
        f"| Dask threads scheduler, 2 threads vs 1 | {t2:.1f} s | {t1:.1f} s "
        f"| {t1 / t2:.2f}x | above 1x |"
    )


def main() -> int:
    ap = argparse.ArgumentParser(description="pytarn across processes")
    ap.add_argument("--rows", type=int, default=20_000_000)
    ap.add_argument("--quick", action="store_true", help="smaller tables and 2M rows")
    ap.add_argument("--skip-dask", action="store_true")
    ap.add_argument("--out", type=Path, default=ROOT / "docs" / "benchmarks-distributed.md")
    args = ap.parse_args()
    n_rows = 2_000_000 if args.quick else args.rows

    rows = ["| Operation | pytarn | Peer | Ratio | Target |", "|---|---:|---:|---:|---|"]
    print("pickling", flush=True)
    pickling_rows(rows, 200_000 if args.quick else 1_000_000)
    print("index blob", flush=True)
    index_rows(rows, __import__("tablegen").generate_table("v4", 200_000 if args.quick else None))
    if not args.skip_dask:
        dask_rows(rows, n_rows, args.quick)
    text = "\n".join(
        [
            "# pytarn across processes",
            "",
            "Made by `python3 benchmarks/compare_distributed.py`"
            + (" --quick" if args.quick else "")
            + "; wall clock: the median of five runs for pytarn's rows on worker"
            " processes, one run for pytricia's and the threads rows, best of three"
            " for the others (of seven for the index build and load).",
            "",
            *rows,
            "",
        ]
    )
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
