"""Generators used in child processes; run by test_fork.py as a script.

    python child_processes.py fork|forkserver|spawn|os.fork

The generators are made at import, so that every child has them, whether it
inherits them through fork or imports this module anew. Before starting the
children the parent calls one generator of each kind; each child then calls
every generator once. A forked child continues the stream it inherited, so
its holes are the parent's next; a child that imports the module has fresh
generators. Prints "ok" when every child's holes are those.
"""

import gc
import multiprocessing
import os
import pickle
import sys
import warnings

import numpy as np

import gapweave

TABLE = np.random.default_rng(5).normal(size=(300, 6))
ALPHA = 0.3
SEED = 11
TIMEOUT = 60  # seconds; only reached when a child hangs
KINDS = {"MNARrs": gapweave.MNARrs, "MAR": gapweave.MAR}
GENERATORS = {(kind, use): cls(seed=SEED, n_workers=3)
              for kind, cls in KINDS.items() for use in ("used", "unused")}
# Never called anywhere: a child destroys it with its inherited pool.
BYSTANDER = gapweave.MNARrs(n_workers=2)


def holes(key):
    return np.isnan(GENERATORS[key](TABLE, ALPHA))


def in_pool(method):
    keys = list(GENERATORS)
    with multiprocessing.get_context(method).Pool(2) as pool:
        return dict(zip(keys, pool.map_async(holes, keys, chunksize=1).get(TIMEOUT)))


def in_forked_child():
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            global BYSTANDER
            BYSTANDER = None  # destroyed before any call made a new pool
            got = {key: holes(key) for key in GENERATORS}
            GENERATORS.clear()  # destroyed after their pools were renewed
            gc.collect()
            with os.fdopen(write, "wb") as out:
                pickle.dump(got, out)
            status = 0
        finally:
            os._exit(status)
    os.close(write)
    with os.fdopen(read, "rb") as source:
        got = pickle.load(source)
    _, status = os.waitpid(pid, 0)
    assert status == 0, f"the forked child ended with status {status}"
    return got


def main(method):
    # Forking a process that has threads is what this checks.
    warnings.simplefilter("ignore", DeprecationWarning)
    for (kind, use) in GENERATORS:
        if use == "used":
            holes((kind, use))
    got = in_forked_child() if method == "os.fork" else in_pool(method)
    if method in ("fork", "os.fork"):
        # The parent's streams have not moved since the fork.
        expected = {key: holes(key) for key in GENERATORS}
    else:
        expected = {key: np.isnan(KINDS[key[0]](seed=SEED, n_workers=3)(TABLE, ALPHA))
                    for key in GENERATORS}
    for key, mask in expected.items():
        assert mask.any(), key
        assert np.array_equal(got[key], mask), f"{key}: the child's holes differ"
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1])
