"""Overlay over each of its three bases: ids, tombstones, compaction, blobs, pickling, threads."""
import pickle
import subprocess
import sys
import threading

import numpy as np
import pytest

import blobs
import quenlith
from quenlith import CompactHashIndex, DictIndex, Overlay, PerfectHashIndex, StringIndex

BASE = ["apple", "banana", "cherry"]
BASES = [StringIndex, PerfectHashIndex, CompactHashIndex]


@pytest.fixture(params=BASES, ids=lambda c: c.__name__)
def base_cls(request):
    return request.param


def test_ids_additions_and_tombstones(base_cls):
    base = base_cls(BASE)
    ov = Overlay(base)
    assert len(ov) == 3 and ov.id_space() == 3 and not ov.is_empty()
    ids = {k: base.id(k) for k in BASE}
    assert ov.add("date") == 3 and ov.id_space() == 4 and len(ov) == 4
    assert ov.add("apple") == ids["apple"] and ov.id_space() == 4
    assert ov.id("date") == 3 and ov["date"] == 3 and "date" in ov and ov.contains("date")
    assert ov.remove("date") is True and ov.remove("date") is False
    assert ov.id("date") is None and not ov.contains("date") and "date" not in ov
    assert ov.get("date") is None and ov.get("date", -1) == -1
    with pytest.raises(KeyError) as caught:
        ov["date"]
    assert caught.value.args == ("date",)
    assert ov.id_space() == 4 and len(ov) == 3
    assert ov.add("date") == 3 and len(ov) == 4
    assert ov.retire_id(ov.id_space()) is False
    assert ov.retire_id(ids["banana"]) is True and ov.retire_id(ids["banana"]) is False
    assert ov.id("banana") is None and len(ov) == 3
    with pytest.raises(TypeError):
        1 in ov
    with pytest.raises(TypeError):
        ov[1]
    with pytest.raises(OverflowError):
        ov.retire_id(-1)
    b1, b2 = ov.base(), ov.base()
    assert b1 is not b2 and type(b1) is base_cls and b1.to_bytes() == base.to_bytes()
    if base_cls is CompactHashIndex:
        message = "a CompactHashIndex stores no keys, so an overlay over it has no key(), keys(), compact(), compact_to_file() or compact_with_remap()"
        for call in (lambda: ov.key(0), ov.keys, ov.compact, ov.compact_with_remap):
            with pytest.raises(TypeError) as caught:
                call()
            assert str(caught.value) == message
    else:
        assert ov.key(3) == "date" and ov.key(ids["banana"]) is None and ov.key(ov.id_space()) is None
        assert ov.keys() == [k for k in sorted(BASE, key=ids.get) if k != "banana"] + ["date"]


def test_empty_base():
    ov = Overlay(StringIndex([]))
    assert len(ov) == 0 and ov.is_empty() and ov.id_space() == 0 and ov.add("a") == 0
    with pytest.raises(TypeError, match="^Overlay takes a StringIndex, a PerfectHashIndex or a CompactHashIndex$"):
        Overlay(DictIndex(["a"]))


@pytest.mark.parametrize("base_cls", [StringIndex, PerfectHashIndex])
def test_compaction(base_cls, tmp_path):
    ov = Overlay(base_cls(BASE))
    ov.add("date")
    ov.add("elder")
    ov.remove("banana")
    fresh = ov.compact()
    assert sorted(fresh.keys()) == sorted(["apple", "cherry", "date", "elder"]) and fresh.id_space() == 4
    assert ov.id_space() == 5 and len(ov) == 4
    again, remap = ov.compact_with_remap()
    table = np.frombuffer(remap, dtype=np.uint64).tolist()
    assert len(table) == 5
    for old in range(5):
        k = ov.key(old)
        assert table[old] == (2**64 - 1 if k is None else again.id(k))
    assert ov.compact_to_file(tmp_path / "base.blob") == 4
    assert sorted(base_cls.load(tmp_path / "base.blob").ids_of(["apple", "date"])) == sorted(
        [again.id("apple"), again.id("date")])


def test_blobs_and_pickling(base_cls, tmp_path):
    ov = Overlay(base_cls(BASE))
    ov.add("date")
    ov.remove("apple")
    blob = ov.to_bytes()
    assert blob[:4] == b"OVL2"
    for copy in (Overlay.from_bytes(blob, base_cls), Overlay.from_untrusted_bytes(blob, base_cls),
                 pickle.loads(pickle.dumps(ov))):
        assert copy.id_space() == 4 and len(copy) == 3 and copy.id("date") == 3
        assert copy.id("apple") is None and copy.to_bytes() == blob
    ov.save(tmp_path / "o.ovl")
    assert (tmp_path / "o.ovl").read_bytes() == blob
    assert Overlay.load(tmp_path / "o.ovl", base_cls).to_bytes() == blob
    assert Overlay.load_untrusted(str(tmp_path / "o.ovl"), base_cls).to_bytes() == blob
    other = next(c for c in BASES if c is not base_cls)
    with pytest.raises(ValueError, match="written over a different base"):
        Overlay.from_bytes(blob, other)
    with pytest.raises(TypeError, match=r"^base must be StringIndex, PerfectHashIndex or CompactHashIndex \(the class itself\)$"):
        Overlay.from_bytes(blob, DictIndex)
    with pytest.raises(TypeError):
        Overlay.from_bytes(blob, base_cls(BASE))
    with pytest.raises(TypeError):
        Overlay.from_bytes(bytearray(blob), base_cls)


def test_class_conventions(tmp_path):
    assert Overlay.__module__ == "quenlith" and quenlith.Overlay is Overlay
    assert Overlay.__text_signature__ == "(index)"
    with pytest.raises(OSError) as caught:
        Overlay.load(tmp_path / "missing", StringIndex)
    assert not str(caught.value).startswith("io error: ") and "os error 2" in str(caught.value)
    with pytest.raises(TypeError):
        type("Mine", (Overlay,), {})


def test_threads_adding_distinct_keys(base_cls):
    # 32 fingerprint bits keep a CompactHashIndex base from taking a new key for one of its own.
    ov = Overlay(CompactHashIndex(BASE, 4) if base_cls is CompactHashIndex else base_cls(BASE))
    got = [[] for _ in range(8)]

    def add(t, out):
        for i in range(500):
            out.append(ov.add(f"t{t}-{i}"))

    threads = [threading.Thread(target=add, args=(t, out)) for t, out in enumerate(got)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(i for out in got for i in out) == list(range(3, 3 + 4000))
    assert ov.id_space() == 4003 and len(ov) == 4003


def test_compaction_and_save_beside_writers(tmp_path):
    # Compaction and save hold the overlay's mutex while they give up the interpreter lock; the
    # writers wait for the mutex without holding it, so everything finishes.
    ov = Overlay(StringIndex([f"b{i:05d}" for i in range(20_000)]))
    errors = []

    def writer(t):
        try:
            for i in range(300):
                ov.add(f"w{t}-{i}")
        except BaseException as e:
            errors.append(e)

    def compactor():
        try:
            for i in range(5):
                fresh = ov.compact()
                assert len(fresh) == fresh.id_space()
                ov.save(tmp_path / f"o{i}.ovl")
                assert len(ov.keys()) >= 20_000
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(4)]
    threads.append(threading.Thread(target=compactor))
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads) and errors == []
    assert len(ov) == 20_000 + 1200
    assert Overlay.load(tmp_path / "o4.ovl", StringIndex).id_space() <= ov.id_space()


# ---- a StringIndex base whose transducer does not decode ----

DAMAGED_KEYS = [f"key{i:04d}" for i in range(2000)]
POISONED = "overlay state poisoned by an earlier panic"


def raised(call):
    try:
        call()
    except BaseException as e:
        return e
    return None


def panics(call):
    return type(raised(call)).__name__ == "PanicException"


def undecodable_bases(tmp_path):
    """(base, key, verified) where the base's lookup of the key panics: a damaged file mapped
    without verification, and crafted bytes whose checksum was recomputed, which the verifying
    loader accepts."""
    path = tmp_path / "s.bix"
    StringIndex(DAMAGED_KEYS).save(path)
    data = bytearray(path.read_bytes())
    data[39] ^= 0xFF
    path.write_bytes(bytes(data))
    yield StringIndex.load_mmap(path), "key0000", False
    blob = StringIndex(DAMAGED_KEYS).to_bytes()
    for pos in range(4, len(blob) - 4):
        crafted = bytearray(blob)
        crafted[pos] ^= 0xFF
        try:
            base = StringIndex.from_bytes(blobs.reseal_bix4(bytes(crafted)))
        except ValueError:
            continue
        key = next((k for k in DAMAGED_KEYS[::7] if panics(lambda: base.id(k))), None)
        if key is not None:
            yield base, key, True
            return
    pytest.fail("no crafted transducer loads and then panics")


OPERATIONS = {
    "id": lambda ov, k: ov.id(k),
    "contains": lambda ov, k: ov.contains(k),
    "get": lambda ov, k: ov.get(k),
    "[]": lambda ov, k: ov[k],
    "in": lambda ov, k: k in ov,
    "add": lambda ov, k: ov.add(k),
    "remove": lambda ov, k: ov.remove(k),
}


def test_a_base_lookup_that_panics_reaches_python_and_poisons_the_overlay(tmp_path):
    for base, key, verified in undecodable_bases(tmp_path):
        expected = raised(lambda: base.id(key))
        assert type(expected).__name__ == "PanicException"
        overlays = [lambda: Overlay(base)]
        if verified:  # its blob passes the overlay's verifying loader too
            overlays.append(lambda: Overlay.from_bytes(Overlay(base).to_bytes(), StringIndex))
        for make in overlays:
            for name, op in OPERATIONS.items():
                ov = make()
                got = raised(lambda: op(ov, key))
                assert type(got) is type(expected) and got.args == expected.args, name
                # Poisoned: every later call fails, whatever it asks.
                for later in (lambda: len(ov), lambda: ov.id("other"), ov.to_bytes):
                    again = raised(later)
                    assert type(again) is type(expected) and again.args == (POISONED,), name


def test_a_base_that_does_not_decode_fails_loads_and_dumps_as_the_bare_index_does(tmp_path):
    # One node byte of the base damaged and both checksums recomputed. Whatever the damage, the
    # overlay's loader and `quenlith dump` of the overlay fail as the bare StringIndex's do: the
    # same error, never a panic. The additions either miss the damaged node (the loader's lookups
    # pass it by, and the dump's walk over the base meets it) or walk into it (the loader fails).
    blob = StringIndex(DAMAGED_KEYS).to_bytes()
    few, many = ["new"], [k + "+" for k in DAMAGED_KEYS[::50]]
    for additions in (few, many):  # the test's writer writes what the overlay writes
        ov = Overlay(StringIndex.from_bytes(blob))
        for k in additions:
            ov.add(k)
        assert ov.to_bytes() == blobs.ovl2(1, blob, additions, [])

    def dump(data):
        path = tmp_path / "dumped.blob"
        path.write_bytes(data)
        done = subprocess.run([sys.executable, "-m", "quenlith", "dump", str(path)],
                              capture_output=True)
        return done.returncode, done.stderr

    seen = {}
    for pos in range(20, len(blob) - 20):  # the nodes: past the map's header, before its footer
        crafted = bytearray(blob)
        crafted[pos] ^= 0xFF
        crafted = blobs.reseal_bix4(bytes(crafted))
        bare = raised(lambda: StringIndex.from_bytes(crafted))
        for additions in (few, many):
            got = raised(lambda: Overlay.from_bytes(blobs.ovl2(1, crafted, additions, []),
                                                    StringIndex))
            assert got is None or type(got) is ValueError, (pos, got)
            if bare is not None:
                assert type(bare) is ValueError and got.args == bare.args, pos
                seen.setdefault("the base's loader", (crafted, additions))
            elif got is not None:
                seen.setdefault("the additions' lookups", (crafted, additions))
            elif panics(lambda: list(StringIndex.from_bytes(crafted))):
                seen.setdefault("the dump's walk", (crafted, additions))
    assert len(seen) == 3
    for where, (crafted, additions) in seen.items():
        rc, err = dump(crafted)
        assert rc == 1 and err.startswith(b"quenlith: ") and err.count(b"\n") == 1, where
        assert dump(blobs.ovl2(1, crafted, additions, [])) == (rc, err), where
        got = raised(lambda: Overlay.from_bytes(blobs.ovl2(1, crafted, additions, []), StringIndex))
        if got is not None:
            assert err == f"quenlith: {got}\n".encode(), where
    # The two fst failures carry the library's error as the bare dump reports it.
    assert dump(seen["the additions' lookups"][0])[1].startswith(b"quenlith: fst error: ")
