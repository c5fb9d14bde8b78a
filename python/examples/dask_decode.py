"""Decodes a folder of JPEGs on a Dask cluster with zentrafold.

    python dask_decode.py FOLDER [--scheduler ADDRESS] [--workers N] [--check]

Without --scheduler it starts a LocalCluster of N worker processes (default
2) on this machine; with it, the same code runs on that cluster (whose
workers have zentrafold installed and can read the paths). --check decodes
every file here as well and compares the arrays byte for byte.
"""

import argparse
import time
from pathlib import Path

import dask.bag
import distributed
import numpy as np

import zentrafold


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--scheduler")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    paths = sorted(str(p) for p in Path(args.folder).glob("*.jpg"))
    paths = [p for p in paths if zentrafold.info(p).supported]

    if args.scheduler:
        client = distributed.Client(args.scheduler)
    else:
        cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        client = distributed.Client(cluster)
    with client:
        start = time.perf_counter()
        arrays = dask.bag.from_sequence(paths, npartitions=len(paths)).map(zentrafold.decode).compute()
        seconds = time.perf_counter() - start
        workers = len(client.scheduler_info()["workers"])
    megapixels = sum(a.shape[0] * a.shape[1] for a in arrays) / 1e6
    print(f"{len(arrays)} files, {megapixels:.1f} MP decoded on {workers} workers in {seconds:.2f} s "
          f"(arrays sent back included)")
    if args.check:
        same = sum(np.array_equal(a, zentrafold.decode(p)) for a, p in zip(arrays, paths))
        print(f"{same} of {len(paths)} equal byte for byte to this process's decode")
        return 0 if same == len(paths) else 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
