"""The flow-labelling example on real engines: a Dask LocalCluster of two
worker processes, Dask's threads scheduler and PySpark in local mode must
each give what one process with pandas gives, row for row."""

from __future__ import annotations

import importlib.util
import shutil
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

ROOT = Path(__file__).resolve().parents[2]
spec = importlib.util.spec_from_file_location("dask_flows", ROOT / "examples" / "dask_flows.py")
assert spec is not None and spec.loader is not None
flows = importlib.util.module_from_spec(spec)
sys.modules["dask_flows"] = flows  # the name the workers import it by
spec.loader.exec_module(flows)

ROWS = 30_000


@pytest.fixture(scope="module")
def routes() -> flows.Routes:
    return flows.Routes(ROOT / "examples" / "routes.txt")


@pytest.fixture(scope="module")
def dataset(routes, tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("flows")
    flows.write_dataset(path, routes, ROWS, files=4, seed=7)
    return path


@pytest.fixture(scope="module")
def reference(dataset, routes) -> pd.DataFrame:
    return flows.run_single(dataset, routes)


def same_counts(got: pd.DataFrame, want: pd.DataFrame) -> None:
    got, want = got.copy(), want.copy()
    got.index, want.index = got.index.astype(str), want.index.astype(str)
    got, want = got.sort_index(), want.sort_index()
    pd.testing.assert_frame_equal(got.astype("int64"), want.astype("int64"), check_names=False)


def test_reference_labels_against_a_linear_scan(dataset, routes) -> None:
    """The single-process labels themselves, checked against a plain scan of
    the table with the standard library, on a sample of rows."""
    import ipaddress

    df = pd.read_parquet(dataset, dtype_backend="pyarrow").head(300)
    labelled = flows.label(df, routes.index, routes.codes, routes.dtype)
    nets = [ipaddress.ip_network(str(n)) for n in routes.networks]
    for src, got in zip(df["src"], labelled["label"]):
        addr = ipaddress.ip_address(src)
        best = max((i for i, n in enumerate(nets) if n.version == addr.version and addr in n),
                   key=lambda i: nets[i].prefixlen, default=None)
        want = flows.UNROUTED if best is None else routes.categories[routes.codes[best]]
        assert got == want, src


def test_the_dataset_mixes_families_and_misses(reference) -> None:
    assert reference["flows"].sum() == ROWS
    assert flows.UNROUTED in reference.index
    assert any(":" in label for label in reference.index)


def test_cluster_of_worker_processes(dataset, routes, reference) -> None:
    pytest.importorskip("distributed")
    same_counts(flows.run_cluster(dataset, routes, workers=2), reference)


def test_threads_scheduler_labels_row_for_row(dataset, routes) -> None:
    import dask

    with dask.config.set(scheduler="threads", num_workers=2):
        got = flows.labelled_frame(dataset, routes, routes.index).compute()
    df = pd.read_parquet(dataset, dtype_backend="pyarrow")
    want = flows.label(df, routes.index, routes.codes, routes.dtype)
    assert list(got["label"].astype(str)) == list(want["label"].astype(str))
    assert list(got["src"]) == list(want["src"])


def spark_missing() -> str | None:
    if importlib.util.find_spec("pyspark") is None:
        return "pyspark is not installed"
    if shutil.which("java") is None:
        return "no Java runtime (java) on PATH"
    probe = subprocess.run(["java", "-version"], capture_output=True)
    return None if probe.returncode == 0 else "java -version failed"


# PySpark warns about pandas 3 wherever Arrow is involved; the job itself
# hands pandas nothing.
@pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")
def test_spark_local_mode(dataset, routes, reference) -> None:
    reason = spark_missing()
    if reason:
        pytest.skip(reason)
    same_counts(flows.run_spark(dataset, routes), reference)


def test_dask_tokens_follow_what_the_index_answers():
    """Dask names tasks by token: indexes that answer alike share one, and
    any change a lookup could see gives another."""
    import pickle

    import pytarn
    from dask.base import tokenize

    texts = ["10.0.0.0/8", "10.1.0.0/16", "2001:db8::/32", "10.1.0.0/16"]
    base = pytarn.PrefixIndex.from_strings(texts)
    alike = [
        pytarn.PrefixIndex([pytarn.ip_network(t) for t in texts]),
        pickle.loads(pickle.dumps(base)),
        pytarn.PrefixIndex.from_bytes(base.to_bytes()),
    ]
    unlike = [
        pytarn.PrefixIndex.from_strings(texts[:3]),  # a shorter table
        pytarn.PrefixIndex.from_strings(["10.0.0.0/9"] + texts[1:]),  # one network changed
        pytarn.PrefixIndex.from_strings([texts[1], texts[0]] + texts[2:]),  # positions swapped
        pytarn.PrefixIndex.from_strings(texts[:2]),  # one family
    ]
    token = tokenize(base)
    assert all(tokenize(i) == token for i in alike)
    assert len({token, *(tokenize(i) for i in unlike)}) == 1 + len(unlike)
    with base:
        pass
    with pytest.raises(pytarn.InvalidArgumentError):
        base.__dask_tokenize__()
