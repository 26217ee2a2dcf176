"""Fit quorvi.LogisticRegression on Dask arrays read from Zarr stores, on a
LocalCluster of two worker processes: python docs/examples/dask_fit.py

Needs quorvi's Dask extra (pip install 'quorvi[dask]') and pandas for the
table. The stores are written first, into a temporary folder, from seeded
data made chunk by chunk: 1,000,000 rows of five features.
"""

import tempfile
from pathlib import Path

import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

from quorvi import LogisticRegression


def write_example_stores(folder: Path) -> None:
    """X (1,000,000 x 5, in chunks of 100,000 rows) and y (0/1) as Zarr stores."""
    rng = da.random.default_rng(0)
    X = rng.standard_normal((1_000_000, 5), chunks=(100_000, -1))
    eta = 0.5 + X @ np.array([1.0, -2.0, 0.5, 0.0, 0.25])
    y = (rng.random(1_000_000, chunks=100_000) < 1 / (1 + da.exp(-eta))).astype(np.float64)
    X.to_zarr(str(folder / "X.zarr"))
    y.to_zarr(str(folder / "y.zarr"))


def main() -> None:
    cluster = LocalCluster(n_workers=2, threads_per_worker=1)
    with tempfile.TemporaryDirectory() as name, cluster, Client(cluster):
        folder = Path(name)
        write_example_stores(folder)
        X = da.from_zarr(str(folder / "X.zarr"))  # (n, p), chunked by rows
        y = da.from_zarr(str(folder / "y.zarr"))  # (n,), two labels
        model = LogisticRegression().fit(X, y)  # reads X from the store on every update
        print(model.coef_table().round(4))  # as after an in-memory fit
        probabilities = model.predict_proba(X)  # a Dask array, computed chunk by chunk
        print(probabilities[:3].compute().round(3))


if __name__ == "__main__":  # the worker processes import this script: start one cluster only
    main()
