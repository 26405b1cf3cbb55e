#!/usr/bin/env python3
"""Augment a folder of sound files with random pitch and speed, on a Dask cluster.

    python3 augment_dask.py corpus augmented --copies 3                 # a LocalCluster
    python3 augment_dask.py corpus augmented --scheduler tcp://host:8786

The same work as augment_local.py (same options, same names, same draws), spread
over the workers of a Dask cluster: a LocalCluster on this machine by default,
or the cluster of a running `dask scheduler`. Workers on other machines need
kelvane and soundfile installed and must see FOLDER and OUT at the same paths
(a shared file system); they need not have these scripts.
"""
import cloudpickle
from dask.distributed import Client, LocalCluster

import augment_local

# The workers get the augmenting code with the tasks, not by importing it.
cloudpickle.register_pickle_by_value(augment_local)


def main():
    parser = augment_local.arguments(
        "Augment a folder of sound files with random pitch and speed, on a Dask cluster.")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running scheduler, e.g. tcp://host:8786 (default: a LocalCluster)")
    parser.add_argument("--workers", type=int,
                        help="worker processes of the LocalCluster (default: one per core)")
    options = parser.parse_args()
    jobs = augment_local.prepare(options)
    if options.scheduler:
        client = Client(options.scheduler)
    else:
        cluster = LocalCluster(n_workers=options.workers, threads_per_worker=1, dashboard_address=None)
        client = Client(cluster)
    with client:
        rows = client.gather(client.map(augment_local.augment, jobs, pure=False))
        if not options.scheduler:
            client.cluster.close()
    augment_local.write_manifest(options.out, rows)
    print(f"{len(rows)} files written to {options.out}")


if __name__ == "__main__":
    main()
