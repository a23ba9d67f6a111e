"""Label flow records with their longest matching route on a Dask cluster.

    python3 examples/dask_flows.py [--rows N] [--workers W] [--scheduler S] [--data DIR]

Writes a Parquet dataset of synthetic flow records (source address of both
families, bytes) unless DIR already holds one, builds a PrefixIndex over the
labelled route table examples/routes.txt, ships the index to every worker
once, labels each record with its longest matching route's label in
map_partitions, and prints flows and bytes per label.

Each partition goes through the columnar path: the Arrow string column goes
into `PrefixIndex.lookup_array`, which answers an int64 buffer that numpy
wraps without a copy, and the labels come back as a categorical built from
integer codes.  No Python object is made per row, and the lookups run with
the interpreter's lock released, so the threads scheduler scales too.

S is "processes" (a LocalCluster of W worker processes, the default),
"threads" (Dask's threads scheduler in this process), "spark" (PySpark in
local mode, through mapInArrow) or "single" (plain pandas in this process,
the reference the others must equal).
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

import pytarn

HERE = Path(__file__).resolve().parent
UNROUTED = "(unrouted)"

# Dask's nanny starts its workers with MALLOC_TRIM_THRESHOLD_ at 64 KiB, so
# that freed memory goes back to the system at once.  Every partition here
# allocates and frees tens of megabytes (the Parquet columns, the parsed
# addresses, the labels), and with that setting each partition's buffers come
# fresh from the kernel again, page by page: about a seventh of the job on a
# worker.  These workers keep the allocator's own threshold instead.
WORKER_CONFIG = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}


# ---- the route table ---------------------------------------------------------


class Routes:
    """A labelled route table: the index; `codes`, per table position the code
    of its label among `categories`, and one more entry, last, for no match,
    so that indexing `codes` with lookup positions labels the misses (-1)
    too; and `dtype`, the categorical dtype of the labels (the last category
    stands for no match)."""

    def __init__(self, path: Path) -> None:
        nets: list[Any] = []
        labels: list[str] = []
        for line in path.read_text().splitlines():
            text = line.partition("#")[0].strip()
            if not text:
                continue
            prefix, _, label = text.partition(" ")
            nets.append(pytarn.ip_network(prefix))
            labels.append(label.strip() or prefix)
        self.index = pytarn.PrefixIndex(nets)  # both families in one index
        self.networks = nets
        self.categories = sorted(set(labels)) + [UNROUTED]
        code = {c: i for i, c in enumerate(self.categories)}
        self.codes = np.array([code[label] for label in labels] + [code[UNROUTED]],
                              dtype=np.int32)
        self.dtype = pd.CategoricalDtype(self.categories)


def label(df: pd.DataFrame, index: pytarn.PrefixIndex, codes: np.ndarray,
          dtype: pd.CategoricalDtype) -> pd.DataFrame:
    """One partition: its rows with a categorical `label` column."""
    positions = np.asarray(index.lookup_array(df["src"]))
    return df.assign(label=pd.Categorical.from_codes(codes[positions], dtype=dtype))


def per_label(labelled: Any) -> Any:
    """Flows and bytes per label (pandas or Dask alike).

    On Dask the counts of each partition are combined in one tree reduction
    (split_out=1): the result is a row per label, a few thousand, and letting
    Dask split it over several output partitions shuffles every labelled row
    between the workers first, which cost more than the rest of the job."""
    extra = {} if isinstance(labelled, pd.DataFrame) else {"split_out": 1}
    return labelled.groupby("label", observed=True).agg(
        flows=("bytes", "size"), bytes=("bytes", "sum"), **extra)


# ---- the dataset -------------------------------------------------------------


def synthetic_sources(routes: Routes, rows: int, rng: np.random.Generator) -> pa.Array:
    """`rows` source addresses as an Arrow string array: a quarter IPv6, and
    of each family half inside route prefixes and half anywhere."""
    v4 = [n for n in routes.networks if n.version == 4]
    v6 = [n for n in routes.networks if n.version == 6]
    n6 = rows // 4
    n4 = rows - n6

    # IPv4 as integers: a random route's network plus random host bits.
    base = np.array([int(n.network_address) for n in v4], dtype=np.uint64)
    span = np.array([n.num_addresses for n in v4], dtype=np.uint64)
    pick = rng.integers(0, len(v4), n4)
    inside = base[pick] + (rng.integers(0, 2**32, n4, dtype=np.uint64) % span[pick])
    anywhere = rng.integers(0, 2**32, n4, dtype=np.uint64)
    ints4 = np.where(rng.random(n4) < 0.5, inside, anywhere).astype(np.uint32)
    col4 = pa.array(pytarn.AddressArray.from_integers(ints4, 4))

    # IPv6 as packed bytes: a random route's network bytes, host bits random.
    nets = np.frombuffer(b"".join(n.network_address.packed for n in v6), np.uint8).reshape(-1, 16)
    masks = np.frombuffer(b"".join(n.netmask.packed for n in v6), np.uint8).reshape(-1, 16)
    pick = rng.integers(0, len(v6), n6)
    noise = rng.integers(0, 256, (n6, 16), dtype=np.uint8)
    packed = (nets[pick] & masks[pick]) | (noise & ~masks[pick])
    anywhere6 = rng.random(n6) < 0.5
    packed[anywhere6] = noise[anywhere6]
    col6 = pa.array(pytarn.AddressArray.from_packed(np.ascontiguousarray(packed).tobytes(), 6))

    both = pa.concat_arrays([col4.cast(pa.large_string()), col6.cast(pa.large_string())])
    return both.take(pa.array(rng.permutation(rows)))


def write_dataset(path: Path, routes: Routes, rows: int, files: int = 8, seed: int = 1) -> None:
    """A Parquet dataset of `rows` flow records in `files` files."""
    rng = np.random.default_rng(seed)
    path.mkdir(parents=True, exist_ok=True)
    src = synthetic_sources(routes, rows, rng)
    size = rng.integers(40, 1_500_000, rows, dtype=np.int64)
    table = pa.table({"src": src, "bytes": size})
    step = -(-rows // files)
    for i in range(files):
        pq.write_table(table.slice(i * step, step), path / f"part-{i:03d}.parquet")


# ---- the pipelines -----------------------------------------------------------


def run_single(data: Path, routes: Routes) -> pd.DataFrame:
    """The reference: every file in this process, with pandas."""
    df = pd.read_parquet(data, dtype_backend="pyarrow")
    return per_label(label(df, routes.index, routes.codes, routes.dtype))


def compute(frame: Any) -> Any:
    """Computes a Dask frame from its optimised expression.  Handed to a
    distributed Client as it is, the job runs unfused: reading a file,
    labelling it and counting its labels become separate tasks, and the
    scheduler may place them on different workers, which then ship whole
    partitions to each other.  Optimised first, each file is one task from
    read to counts.  For 40 files on 2 workers: 167 tasks against 47, and
    10-30% of the job's time."""
    return frame.optimize().compute()


def labelled_frame(data: Path, routes: Routes, index: Any, codes: Any = None,
                   dtype: Any = None) -> Any:
    """The Dask frame of labelled rows; `index`, `codes` and `dtype` are the
    PrefixIndex, the label codes and the labels' dtype themselves or futures
    of them already on the workers (codes and dtype default to the routes'
    own)."""
    import dask.dataframe as dd

    ddf = dd.read_parquet(str(data), dtype_backend="pyarrow")
    meta = ddf._meta.assign(label=pd.Categorical([], dtype=routes.dtype))
    codes = routes.codes if codes is None else codes
    dtype = routes.dtype if dtype is None else dtype
    return ddf.map_partitions(label, index, codes, dtype, meta=meta)


def scatter_routes(client: Any, routes: Routes) -> tuple[Any, Any, Any]:
    """The index, the label codes and the labels' dtype sent to every worker
    once.  Passed as they are, the codes (one per prefix) and the categories
    (one per label, a few thousand strings) would travel inside every task,
    and be unpickled again by every task.  One call for the three: each call
    is a round trip to the scheduler and every worker before the job can
    start."""
    index, codes, dtype = client.scatter([routes.index, routes.codes, routes.dtype],
                                         broadcast=True)
    return index, codes, dtype


def run_cluster(data: Path, routes: Routes, workers: int) -> pd.DataFrame:
    """A LocalCluster of worker processes; the index is scattered to every
    worker once, as pickled bytes of its built tables (no rebuild there)."""
    import dask
    from distributed import Client, LocalCluster

    # The scheduler's web server on a free port: with no address it tries
    # 8787 and only warns, then takes another, when a second cluster (another
    # test run, a notebook) holds it.
    with dask.config.set(WORKER_CONFIG), LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True,
            dashboard_address=":0") as cluster, Client(cluster) as client:
        if __name__ != "__main__":  # imported: the workers need this module too
            client.upload_file(__file__)
        shipped = scatter_routes(client, routes)
        return compute(per_label(labelled_frame(data, routes, *shipped)))


def run_threads(data: Path, routes: Routes, workers: int) -> pd.DataFrame:
    import dask

    with dask.config.set(scheduler="threads", num_workers=workers):
        return compute(per_label(labelled_frame(data, routes, routes.index)))


def run_spark(data: Path, routes: Routes) -> pd.DataFrame:
    """The same enrichment on PySpark (local mode): Arrow batches in and out
    through mapInArrow, the index broadcast to the executors once."""
    import os
    import sys

    from pyspark.sql import SparkSession

    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    spark = (SparkSession.builder.master("local[2]").appName("pytarn-flows")
             .config("spark.ui.enabled", "false").getOrCreate())
    try:
        index = spark.sparkContext.broadcast(routes.index)
        codes, names = routes.codes, pa.array(routes.categories)

        def label_batches(batches: Any) -> Any:
            for batch in batches:
                positions = np.asarray(index.value.lookup_array(batch.column("src")))
                cat = pa.array(codes[positions])  # -1, no match, takes the last code
                text = pa.DictionaryArray.from_arrays(cat, names).cast(pa.string())
                yield pa.RecordBatch.from_arrays([batch.column("bytes"), text],
                                                 names=["bytes", "label"])

        flows = spark.read.parquet(str(data)).select("src", "bytes")
        labelled = flows.mapInArrow(label_batches, "bytes long, label string")
        rows = labelled.groupBy("label").agg({"bytes": "sum", "*": "count"}).collect()
    finally:
        spark.stop()
    out = pd.DataFrame([(r["label"], r["count(1)"], r["sum(bytes)"]) for r in rows],
                       columns=["label", "flows", "bytes"])
    return out.set_index("label")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=5_000_000)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--scheduler", choices=["processes", "threads", "single", "spark"],
                    default="processes")
    ap.add_argument("--data", type=Path, default=Path("build/flows"))
    ap.add_argument("--routes", type=Path, default=HERE / "routes.txt")
    args = ap.parse_args()

    routes = Routes(args.routes)
    if not any(args.data.glob("*.parquet")):
        print(f"writing {args.rows:,} flow records to {args.data}")
        write_dataset(args.data, routes, args.rows)
    run = {"processes": lambda: run_cluster(args.data, routes, args.workers),
           "threads": lambda: run_threads(args.data, routes, args.workers),
           "single": lambda: run_single(args.data, routes),
           "spark": lambda: run_spark(args.data, routes)}[args.scheduler]
    started = time.perf_counter()
    result = run()
    print(result.sort_values("flows", ascending=False).head(15).to_string())
    print(f"{int(result['flows'].sum()):,} flows labelled in "
          f"{time.perf_counter() - started:.1f} s ({args.scheduler})")


if __name__ == "__main__":
    main()
