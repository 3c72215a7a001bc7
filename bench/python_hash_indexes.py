"""Benchmark of the Python hash-index classes beside the peers doing the same job, in one run.

Keys: the Debian word list (/usr/share/dict/american-english) plus generated URL-like keys, all
distinct, shuffled with a fixed seed. Every figure is printed as one line:

    keys=<n> cores=<c> index=<name> figure=<what> value=<number> <unit>

Figures: build time from a Python list; lookups of every key from a list (`ids_of`, the list
form; `ids_of_bytes` and `ids_into`, the buffer forms); lookups from a pyarrow array
(`ids_of_arrow`); bytes per key of the index's blob. Peers: a Python dict (build, a lookup loop,
and the memory of its table), `pandas.factorize` and `pandas.Index.get_indexer`,
`pyarrow.compute.index_in`, `marisa_trie.Trie` and `bbhash` (over Python's own string hashes,
which it needs as integers).

Usage: PYTHONPATH=<dir holding quenlith> python3 bench/python_hash_indexes.py [--keys 1000000 ...]
"""
import argparse
import contextlib
import os
import random
import sys
import time

import numpy as np

import quenlith

WORDS = "/usr/share/dict/american-english"


def make_keys(n, seed=7):
    rng = random.Random(seed)
    keys = []
    seen = set()
    if os.path.exists(WORDS):
        with open(WORDS, encoding="utf-8") as f:
            for line in f:
                w = line.rstrip("\n")
                if w and w not in seen:
                    seen.add(w)
                    keys.append(w)
    hosts = ["example.com", "news.example.org", "shop.example.net", "cdn.example.io",
             "api.example.dev", "docs.example.edu"]
    parts = [w for w in keys[:20000] if w.isascii() and w.isalpha()] or ["item", "page", "user"]
    i = 0
    while len(keys) < n:
        url = (f"https://{rng.choice(hosts)}/{rng.choice(parts).lower()}/"
               f"{rng.choice(parts).lower()}-{i}?ref={rng.randrange(1 << 20):x}")
        i += 1
        keys.append(url)
    keys = keys[:n]
    rng.shuffle(keys)
    return keys


def report(n, index, figure, value, unit):
    print(f"keys={n} cores={os.cpu_count()} index={index} figure={figure} value={value:.4g} {unit}",
          flush=True)


def timed(fn, repeat=1):
    best = float("inf")
    result = None
    for _ in range(repeat):
        t = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t)
    return best, result


@contextlib.contextmanager
def quiet_stdout():
    """Silences a library that prints from C++ during its build."""
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(null)
        os.close(saved)


def bench_quenlith(keys, arrow, n, repeat):
    kinds = [
        ("PerfectHashIndex", lambda: quenlith.PerfectHashIndex(keys)),
        ("PerfectHashIndex+fp", lambda: quenlith.PerfectHashIndex(keys, fingerprints=True)),
        ("CompactHashIndex/8", lambda: quenlith.CompactHashIndex(keys)),
        ("CompactHashIndex/16", lambda: quenlith.CompactHashIndex(keys, 2)),
        ("ClosedHashIndex", lambda: quenlith.ClosedHashIndex(keys)),
    ]
    out = np.empty(n, dtype=np.uint32)
    for name, build in kinds:
        secs, idx = timed(build, repeat)
        report(n, name, "build", n / secs, "keys/s")
        report(n, name, "bytes_per_key", idx.serialized_len() / n, "B")
        secs, _ = timed(lambda: idx.ids_of(keys), repeat)
        report(n, name, "ids_of(list)", n / secs, "keys/s")
        secs, _ = timed(lambda: idx.ids_of_bytes(keys), repeat)
        report(n, name, "ids_of_bytes(list)", n / secs, "keys/s")
        secs, _ = timed(lambda: idx.ids_into(keys, out), repeat)
        report(n, name, "ids_into(list)", n / secs, "keys/s")
        secs, _ = timed(lambda: idx.ids_of_arrow(arrow), repeat)
        report(n, name, "ids_of_arrow", n / secs, "keys/s")
        del idx


def bench_peers(keys, arrow, n, repeat):
    import pandas as pd
    import pyarrow.compute as pc

    secs, d = timed(lambda: {k: i for i, k in enumerate(keys)}, repeat)
    report(n, "dict", "build", n / secs, "keys/s")
    report(n, "dict", "bytes_per_key(table)", sys.getsizeof(d) / n, "B")
    strings = sum(sys.getsizeof(k) for k in keys)
    report(n, "dict", "bytes_per_key(table+str)", (sys.getsizeof(d) + strings) / n, "B")
    get = d.get
    secs, _ = timed(lambda: [get(k) for k in keys], repeat)
    report(n, "dict", "lookup_loop(list)", n / secs, "keys/s")
    del d

    secs, _ = timed(lambda: pd.factorize(np.asarray(keys, dtype=object)), repeat)
    report(n, "pandas.factorize", "build+ids(list)", n / secs, "keys/s")
    index = pd.Index(keys)
    secs, _ = timed(lambda: index.get_indexer(keys), repeat)
    report(n, "pandas.Index", "get_indexer(list)", n / secs, "keys/s")
    del index

    secs, _ = timed(lambda: pc.index_in(arrow, value_set=arrow), repeat)
    report(n, "pyarrow.index_in", "build+ids(arrow)", n / secs, "keys/s")

    try:
        import marisa_trie
    except ImportError:
        marisa_trie = None
    if marisa_trie is not None:
        secs, trie = timed(lambda: marisa_trie.Trie(keys), repeat)
        report(n, "marisa_trie", "build", n / secs, "keys/s")
        report(n, "marisa_trie", "bytes_per_key", len(trie.tobytes()) / n, "B")
        key_id = trie.key_id
        secs, _ = timed(lambda: [key_id(k) for k in keys], repeat)
        report(n, "marisa_trie", "lookup_loop(list)", n / secs, "keys/s")
        del trie

    try:
        import bbhash
    except ImportError:
        bbhash = None
    if bbhash is not None:
        mask = (1 << 64) - 1
        secs, hashes = timed(lambda: [hash(k) & mask for k in keys], repeat)
        report(n, "python.hash", "hash_loop(list)", n / secs, "keys/s")
        with quiet_stdout():
            secs, mph = timed(lambda: bbhash.PyMPHF(hashes, n, os.cpu_count() or 1, 1.0), repeat)
        report(n, "bbhash", "build(from hashes)", n / secs, "keys/s")
        report(n, "bbhash", "bytes_per_key", mph.get_mem() / 8 / n, "B")
        secs, _ = timed(lambda: mph.lookup_many([hash(k) & mask for k in keys]), repeat)
        report(n, "bbhash", "hash+lookup_many(list)", n / secs, "keys/s")


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
        arrow = pa.array(keys, pa.string() if sum(map(len, keys)) < 2**31 else pa.large_string())
        bench_quenlith(keys, arrow, n, args.repeat)
        if not args.no_peers:
            bench_peers(keys, arrow, n, args.repeat)


if __name__ == "__main__":
    main()
