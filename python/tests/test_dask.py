"""The package on a Dask cluster of two worker processes: the same arrays as
a local decode, and errors that travel back with their fields."""

import os

import numpy as np
import pytest

import zentrafold
from conftest import DATA, DECODABLE

distributed = pytest.importorskip("distributed")
dask_bag = pytest.importorskip("dask.bag")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


def test_a_cluster_decodes_what_this_process_decodes(client):
    paths = [str(DATA / name) for name in DECODABLE]
    local = [zentrafold.decode(path) for path in paths]
    pids = set(client.run(os.getpid).values())
    assert len(pids) == 2 and os.getpid() not in pids
    remote = client.gather(client.map(zentrafold.decode, paths))
    assert all(np.array_equal(a, b) for a, b in zip(remote, local))
    decoder = zentrafold.Decoder(max_pixels=10**8)  # travels as its settings
    assert all(np.array_equal(a, b) for a, b in zip(client.gather(client.map(decoder.decode, paths)), local))
    bag = dask_bag.from_sequence(paths, npartitions=4).map(zentrafold.decode, format="L").compute()
    assert all(np.array_equal(a, zentrafold.decode(p, "L")) for a, p in zip(bag, paths))


def test_errors_come_back_from_the_workers(client):
    future = client.submit(zentrafold.decode, str(DATA / "refuse_precision12.jpg"))
    with pytest.raises(zentrafold.RefusedError) as refused:
        future.result()
    assert refused.value.status == zentrafold.Status.PRECISION
    assert refused.value.path.endswith("refuse_precision12.jpg")
    with pytest.raises(zentrafold.TooLargeError):
        client.submit(zentrafold.decode, str(DATA / "sample_2x2.jpg"), max_pixels=10).result()
