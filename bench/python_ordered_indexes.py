"""Benchmark of the ordered Python classes (StringIndex, DictIndex, HashedDictIndex) beside the
peers doing the same job, in one run.

Keys: those of python_hash_indexes.py (the word list plus URL-like keys, shuffled with a fixed
seed). Every figure is printed as one line:

    keys=<n> cores=<c> index=<name> figure=<what> value=<number> <unit>

Figures: build time from a Python list; `id` in a Python loop over every key; `ids_of_arrow`
over a pyarrow array of every key; `key` in a loop and `keys_of` over every id in a shuffled
order; iteration of every (key, id) pair; `prefix` queries (the first 3 bytes of a sampled key,
at most 10 answers); bytes per key of the index (its blob, which is what a loaded index holds).
Peers: a Python dict (key -> id; no reverse lookup), `marisa_trie.Trie` (`key_id`,
`restore_key`, `keys(prefix)`, iteration) and a sorted list searched with `bisect` (ids are
positions).

Usage: PYTHONPATH=<dir holding quenlith> python3 bench/python_ordered_indexes.py [--keys 1000000]
"""
import argparse
import bisect
import itertools
import os
import random
import sys

import numpy as np

import quenlith
from python_hash_indexes import make_keys, report, timed

PREFIXES = 20_000
LIMIT = 10


def bench_index(name, build, keys, arrow, ids, prefixes, n, repeat, ordered=True):
    secs, idx = timed(build, repeat)
    report(n, name, "build", n / secs, "keys/s")
    report(n, name, "bytes_per_key", idx.serialized_len() / n, "B")
    get = idx.id
    secs, _ = timed(lambda: [get(k) for k in keys], repeat)
    report(n, name, "id_loop", n / secs, "keys/s")
    secs, _ = timed(lambda: idx.ids_of(keys), repeat)
    report(n, name, "ids_of(list)", n / secs, "keys/s")
    secs, _ = timed(lambda: idx.ids_of_arrow(arrow), repeat)
    report(n, name, "ids_of_arrow", n / secs, "keys/s")
    if ordered:
        key = idx.key
        secs, _ = timed(lambda: [key(i) for i in ids], repeat)
        report(n, name, "key_loop(random ids)", n / secs, "ids/s")
        secs, _ = timed(lambda: idx.keys_of(ids), repeat)
        report(n, name, "keys_of(random ids)", n / secs, "ids/s")
        secs, _ = timed(lambda: idx.keys_of(range(n)), repeat)
        report(n, name, "keys_of(ascending ids)", n / secs, "ids/s")
        secs, _ = timed(lambda: sum(1 for _ in idx), repeat)
        report(n, name, "iteration", n / secs, "pairs/s")
        prefix = idx.prefix
        secs, _ = timed(lambda: [prefix(p, LIMIT) for p in prefixes], repeat)
        report(n, name, f"prefix(limit={LIMIT})", len(prefixes) / secs, "queries/s")
    return idx


def bench_peers(keys, ids, prefixes, n, repeat):
    secs, d = timed(lambda: {k: i for i, k in enumerate(sorted(keys))}, repeat)
    report(n, "dict", "build(sorted ids)", n / secs, "keys/s")
    strings = sum(sys.getsizeof(k) for k in keys)
    report(n, "dict", "bytes_per_key(table+str)", (sys.getsizeof(d) + strings) / n, "B")
    get = d.get
    secs, _ = timed(lambda: [get(k) for k in keys], repeat)
    report(n, "dict", "id_loop", n / secs, "keys/s")
    secs, _ = timed(lambda: sum(1 for _ in d.items()), repeat)
    report(n, "dict", "iteration", n / secs, "pairs/s")
    del d

    secs, table = timed(lambda: sorted(keys), repeat)
    report(n, "sorted_list", "build", n / secs, "keys/s")
    report(n, "sorted_list", "bytes_per_key(list+str)", (sys.getsizeof(table) + strings) / n, "B")

    def find(k):
        i = bisect.bisect_left(table, k)
        return i if i < n and table[i] == k else None

    secs, _ = timed(lambda: [find(k) for k in keys], repeat)
    report(n, "sorted_list", "id_loop(bisect)", n / secs, "keys/s")
    secs, _ = timed(lambda: [table[i] for i in ids], repeat)
    report(n, "sorted_list", "key_loop(random ids)", n / secs, "ids/s")

    def prefix(p):
        i = bisect.bisect_left(table, p)
        return [(k, j) for j, k in zip(range(i, i + LIMIT), table[i:i + LIMIT]) if k.startswith(p)]

    secs, _ = timed(lambda: [prefix(p) for p in prefixes], repeat)
    report(n, "sorted_list", f"prefix(limit={LIMIT})", len(prefixes) / secs, "queries/s")
    del table

    try:
        import marisa_trie
    except ImportError:
        return
    secs, trie = timed(lambda: marisa_trie.Trie(keys), repeat)
    report(n, "marisa_trie", "build", n / secs, "keys/s")
    report(n, "marisa_trie", "bytes_per_key", len(trie.tobytes()) / n, "B")
    key_id = trie.key_id
    secs, _ = timed(lambda: [key_id(k) for k in keys], repeat)
    report(n, "marisa_trie", "id_loop(key_id)", n / secs, "keys/s")
    restore = trie.restore_key
    secs, _ = timed(lambda: [restore(i) for i in ids], repeat)
    report(n, "marisa_trie", "key_loop(restore_key)", n / secs, "ids/s")
    secs, _ = timed(lambda: sum(1 for _ in trie.iteritems()), repeat)
    report(n, "marisa_trie", "iteration", n / secs, "pairs/s")
    iterkeys = trie.iterkeys
    secs, _ = timed(lambda: [list(itertools.islice(iterkeys(p), LIMIT)) for p in prefixes], repeat)
    report(n, "marisa_trie", f"prefix(limit={LIMIT})", len(prefixes) / secs, "queries/s")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--keys", type=int, nargs="+", default=[1_000_000])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-peers", action="store_true")
    args = ap.parse_args()
    import pyarrow as pa

    print(f"cores: {os.cpu_count()}", flush=True)
    for n in args.keys:
        keys = make_keys(n)
        rng = random.Random(11)
        ids = list(range(n))
        rng.shuffle(ids)
        prefixes = [k.encode()[:3].decode(errors="ignore") for k in rng.sample(keys, PREFIXES)]
        arrow = pa.array(keys, pa.string() if sum(map(len, keys)) < 2**31 else pa.large_string())
        bench_index("StringIndex", lambda: quenlith.StringIndex(keys), keys, arrow, ids, prefixes,
                    n, args.repeat)
        d = bench_index("DictIndex/256", lambda: quenlith.DictIndex(keys, 256), keys, arrow, ids,
                        prefixes, n, args.repeat)
        hashed = getattr(quenlith, "HashedDictIndex", None)
        if hashed is not None:
            bench_index("HashedDictIndex/8", lambda: hashed.from_dict(d, 8), keys, arrow, ids,
                        prefixes, n, args.repeat, ordered=False)
        del d
        if not args.no_peers:
            bench_peers(keys, ids, prefixes, n, args.repeat)


if __name__ == "__main__":
    main()
