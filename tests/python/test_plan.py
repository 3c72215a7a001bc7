import collections
import inspect as pyinspect
import types

import pytest

from quenlith import _core

WORDS = ["apple", "apricot", "banana", "band", "bandana", "can", "candle", "candy"]


def notes(exc):
    return getattr(exc, "__notes__", [])


# ---- Arguments ----

def test_signature_and_docstring():
    assert _core.plan.__text_signature__ is not None
    sig = pyinspect.signature(_core.plan)
    assert list(sig.parameters) == ["keys", "reverse", "ordered", "prefix", "fuzzy", "exact",
                                    "objective"]
    assert sig.parameters["reverse"].kind is pyinspect.Parameter.KEYWORD_ONLY
    assert _core.plan.__doc__.splitlines()[0].startswith("Price every index type")


@pytest.mark.parametrize("value, kind, message", [
    ("Memory", ValueError, "objective: `Memory` is not one of memory / latency / balanced"),
    ("", ValueError, "objective: `` is not one of memory / latency / balanced"),
    (None, TypeError, "objective: a name, or a mapping from operation to weight"),
    (3, TypeError, "objective: a name, or a mapping from operation to weight"),
    ([("hits", 1)], TypeError, "objective: a name, or a mapping from operation to weight"),
    ({1: 1}, TypeError, "objective: an operation is named by a string"),
    ({"hit": 1}, ValueError, "objective: `hit` is not one of hits / misses / reverse / prefix / "
                             "common_prefix / longest_prefix / batch"),
    ({"hits": -1}, ValueError, "objective: `hits` is not a whole number of 0 or more"),
    ({"hits": 1.5}, ValueError, "objective: `hits` is not a whole number of 0 or more"),
    ({"hits": "1"}, ValueError, "objective: `hits` is not a whole number of 0 or more"),
    ({"misses": 2 ** 64}, ValueError, "objective: `misses` is not a whole number of 0 or more"),
    ({"batch": 2 ** 32}, ValueError, "objective: `batch` is past what a batch can hold"),
    ({"batch": -1}, ValueError, "objective: `batch` is not a whole number of 0 or more"),
    # The first error stops the conversion.
    ({"hits": 1, "nope": 1, 2: 3}, ValueError, "objective: `nope` is not one of hits / misses / "
                                               "reverse / prefix / common_prefix / "
                                               "longest_prefix / batch"),
])
def test_objective_errors(value, kind, message):
    with pytest.raises(kind) as info:
        _core.plan(WORDS, objective=value)
    assert type(info.value) is kind
    assert str(info.value) == message
    assert notes(info.value) == ["while processing 'objective'"]


def test_objective_mapping_items_must_be_pairs():
    class Odd(collections.abc.Mapping):
        def __init__(self, items):
            self._items = items

        def __getitem__(self, key):
            raise KeyError(key)

        def __iter__(self):
            return iter(())

        def __len__(self):
            return 0

        def items(self):
            return self._items

    with pytest.raises(TypeError) as info:
        _core.plan(WORDS, objective=Odd([["hits", 1]]))
    assert notes(info.value) == ["while processing 'objective'"]
    with pytest.raises(ValueError) as info:
        _core.plan(WORDS, objective=Odd([("hits", 1, 2)]))
    assert notes(info.value) == ["while processing 'objective'"]

    # An exception of items() passes through as it is.
    class Boom(Odd):
        def items(self):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="boom") as info:
        _core.plan(WORDS, objective=Boom(()))
    assert notes(info.value) == ["while processing 'objective'"]


@pytest.mark.parametrize("name", ["reverse", "ordered", "prefix", "fuzzy", "exact"])
def test_flags_must_be_bools(name):
    with pytest.raises(TypeError) as info:
        _core.plan(WORDS, **{name: 1})
    assert name in str(info.value)
    assert notes(info.value) == [f"while processing '{name}'"]


def test_flags_are_converted_before_the_objective_and_the_keys():
    with pytest.raises(TypeError) as info:
        _core.plan(42, fuzzy="yes", objective=None)
    assert notes(info.value) == ["while processing 'fuzzy'"]
    with pytest.raises(TypeError) as info:
        _core.plan(42, objective=None)
    assert notes(info.value) == ["while processing 'objective'"]


def test_argument_matching():
    with pytest.raises(TypeError):
        _core.plan()
    with pytest.raises(TypeError):
        _core.plan(WORDS, True)  # the flags are keyword-only
    with pytest.raises(TypeError):
        _core.plan(WORDS, keys=WORDS)
    with pytest.raises(TypeError):
        _core.plan(WORDS, sorted=True)
    with pytest.raises(TypeError):
        _core.plan(42)
    with pytest.raises(TypeError):
        _core.plan(["a", 1])
    with pytest.raises(UnicodeEncodeError):
        _core.plan(["a", "\ud800"])


# ---- The result ----

def test_result_dict():
    r = _core.plan(["b", "a", "b", "ab"], fuzzy=True)
    assert list(r) == ["keys", "mean_length", "mean_lcp", "best", "estimates", "close", "thin",
                       "text"]
    assert r["keys"] == 3
    assert r["mean_length"] == pytest.approx(4 / 3)
    assert r["mean_lcp"] == 0.5
    assert len(r["estimates"]) == 1
    best = r["best"]
    assert list(best) == ["kind", "bytes", "bytes_per_key", "block", "measured", "nanos"]
    assert best["kind"] == "StringIndex"
    assert best["block"] is None and best["measured"] is True
    assert best["bytes_per_key"] == best["bytes"] / 3
    assert isinstance(best["nanos"], float) and best["nanos"] > 0
    assert best == r["estimates"][0] and best is not r["estimates"][0]
    assert r["close"] is False and r["thin"] is False
    assert r["text"].startswith("3 keys, mean length 1.3, mean shared prefix 0.5, ranked by size\n"
                                "* StringIndex ")
    assert r["text"].endswith(" built\nthe nanoseconds are a model of this library's own machine, "
                              "not a measurement of yours\n")


def test_empty_and_iterable_keys():
    r = _core.plan([], fuzzy=True)
    assert r["keys"] == 0 and r["mean_length"] == 0.0 and r["mean_lcp"] == 0.0
    assert r["best"]["bytes_per_key"] == 0.0
    assert r["text"].startswith("0 keys, mean length 0.0, mean shared prefix 0.0, ranked by size\n")
    gen = (w for w in WORDS)
    assert _core.plan(gen, fuzzy=True)["keys"] == len(WORDS)
    assert _core.plan(keys=tuple(WORDS), fuzzy=True)["keys"] == len(WORDS)


def test_objectives_in_the_header():
    def header(objective):
        return _core.plan(WORDS, fuzzy=True, objective=objective)["text"].splitlines()[0]

    assert header("latency").endswith("ranked by latency")
    assert header("balanced").endswith("ranked by balanced")
    assert header({"hits": 9, "misses": 1, "batch": 64}).endswith(
        "ranked by workload (hits 9, misses 1, batch 64)")
    assert header({"batch": 1}).endswith("ranked by latency")
    assert header({}).endswith("ranked by latency")
    # A later item of the same name overwrites an earlier one; a bool is 0 or 1.
    assert header(collections.OrderedDict([("hits", 2), ("misses", True)])).endswith(
        "ranked by workload (hits 2, misses 1)")
    assert header(types.MappingProxyType({"batch": 4294967295})).endswith(
        "ranked by latency (batch 4294967295)")


def test_every_candidate_without_needs():
    r = _core.plan(WORDS)
    kinds = sorted((e["kind"], e["block"] or 0) for e in r["estimates"])
    assert kinds == [("ClosedHashIndex", 0), ("CompactHashIndex", 0), ("DictIndex", 32),
                     ("DictIndex", 256), ("DictIndex", 1024), ("PerfectHashIndex", 0),
                     ("StringIndex", 0)]
    assert all(e["measured"] for e in r["estimates"])
    assert [e["bytes"] for e in r["estimates"]] == sorted(e["bytes"] for e in r["estimates"])
    lines = r["text"].splitlines()[1:8]
    assert lines[0].startswith("* ") and not any(line.startswith("*") for line in lines[1:])
    for line, e in zip(lines, r["estimates"]):
        assert line[2:].startswith(e["kind"])
        assert line.endswith(f" built at block {e['block']}" if e["block"] else " built")
    # Reverse with prefix: no hash index at all; exact alone as reverse alone.
    r = _core.plan(WORDS, reverse=True, prefix=True)
    assert {e["kind"] for e in r["estimates"]} == {"StringIndex", "DictIndex"}
    exact = [(e["kind"], e["block"]) for e in _core.plan(WORDS, exact=True)["estimates"]]
    reverse = [(e["kind"], e["block"]) for e in _core.plan(WORDS, reverse=True)["estimates"]]
    assert sorted(exact, key=str) == sorted(reverse, key=str)


def test_pricing_releases_the_interpreter_lock():
    import threading
    import time
    keys = [f"key-{i * 7919 % 1000003:07d}" for i in range(120000)]
    stamps = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            stamps.append(time.monotonic())
            for _ in range(100):
                pass

    worker = threading.Thread(target=tick)
    worker.start()
    try:
        t0 = time.monotonic()
        r = _core.plan(keys, fuzzy=True)
        t1 = time.monotonic()
    finally:
        done.set()
        worker.join()
    assert r["keys"] == 120000 and not r["best"]["measured"]
    # Another thread ran in the middle of the call, which only a released lock allows.
    middle = (t0 + (t1 - t0) / 4, t0 + 3 * (t1 - t0) / 4)
    assert any(middle[0] < s < middle[1] for s in stamps)
