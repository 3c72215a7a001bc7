"""HashedDictIndex: the sidecar against its dictionary, at every width, with persistence."""
import pickle

import numpy as np
import pytest

from quenlith import DictIndex, HashedDictIndex

KEYS = [f"w{i:05d}" for i in range(5000)] + ["", "naïve", "🙂"]


@pytest.fixture(scope="module")
def d():
    return DictIndex(KEYS, block=32)


@pytest.mark.parametrize("bits", [0, 1, 8, 32])
def test_members_get_the_dictionary_ranks(d, bits):
    h = HashedDictIndex.from_dict(d, bits)
    assert h.fingerprint_bits == bits and len(h) == len(d) and not h.is_empty()
    assert h.ID_DTYPE == "uint64" and h.MISSING_ID == 2**64 - 1
    expected = d.ids_of(KEYS)
    assert [h.id(k) for k in KEYS] == expected == h.ids_of(KEYS)
    assert [h.id_unchecked(k) for k in KEYS] == expected
    assert all(k in h and h[k] == i for k, i in zip(KEYS[:50], expected))
    strangers = [f"x{i}" for i in range(2000)]
    got = h.ids_of(strangers)
    assert got == [h.id(k) for k in strangers]
    if bits == 0:
        assert got == [None] * len(strangers)
    if bits == 32:
        assert got.count(None) >= len(strangers) - 1
    assert all(0 <= h.id_unchecked(k) < len(h) for k in strangers[:100])
    import pyarrow as pa
    column = KEYS[:300] + [None] + strangers[:300]
    single = [h.MISSING_ID if i is None else i for i in map(h.id, KEYS[:300] + ["?"] + strangers[:300])]
    single[300] = h.MISSING_ID
    assert np.frombuffer(h.ids_of_arrow(pa.array(column)), dtype=np.uint64).tolist() == single
    assert np.frombuffer(h.ids_of_bytes(KEYS[:10]), dtype=np.uint64).tolist() == expected[:10]
    out = np.zeros(len(column), dtype=np.uint64)
    h.ids_into_arrow(pa.array(column, pa.large_string()), out)
    assert out.tolist() == single


# Two keys made to share the whole 128-bit key hash: the later one is a side-table entry with the
# same pair as the earlier one's slot.
TWIN_A = '\\o/:N>Zi+k*3"#1R3eer>"v:TX1;;?QmGd0i7,\x05L4.z33sKHso]s_BT1r}DpFtAt'
TWIN_B = 'dJr)ZY68\\p6z?u`=3eer>"v:TX1;;?QmQ:o]\x07\x13R\x07G+$+nlIsso]s_BT1r}DpFtAt'


@pytest.mark.parametrize("bits", [0, 1, 8, 32])
def test_keys_sharing_the_whole_hash_keep_their_own_ranks(bits):
    import pyarrow as pa

    keys = [TWIN_A, TWIN_B] + [f"k{i}" for i in range(200)]
    d = DictIndex(keys, block=32)
    expected = d.ids_of(keys)
    assert expected[:2] == [0, 1]
    for h in (HashedDictIndex.from_dict(d, bits),
              HashedDictIndex.from_bytes(HashedDictIndex.from_dict(d, bits).to_bytes())):
        assert [h.id(k) for k in keys] == expected
        assert [h[k] for k in keys] == expected
        assert [h.get(k) for k in keys] == expected
        assert [h.id_unchecked(k) for k in keys] == expected
        assert all(h.contains(k) and k in h for k in keys)
        assert h.ids_of(keys) == expected
        assert np.frombuffer(h.ids_of_bytes(keys), dtype=np.uint64).tolist() == expected
        out = np.zeros(len(keys), dtype=np.uint64)
        h.ids_into(keys, out)
        assert out.tolist() == expected
        assert np.frombuffer(h.ids_of_arrow(pa.array(keys)), dtype=np.uint64).tolist() == expected
        h.ids_into_arrow(pa.array(keys, pa.large_string()), out)
        assert out.tolist() == expected


def test_construction_and_sharing(d):
    with pytest.raises(ValueError, match="^format error: hashed-dict: fingerprint_bits must be in 0..=32$"):
        HashedDictIndex.from_dict(d, 33)
    with pytest.raises(OverflowError):
        HashedDictIndex.from_dict(d, -1)
    with pytest.raises(TypeError):
        HashedDictIndex.from_dict(["a"], 8)
    with pytest.raises(TypeError):
        HashedDictIndex()
    h = HashedDictIndex.from_dict(d, 8)
    a, b = h.dict, h.dict
    assert a is not b and a.to_bytes() == b.to_bytes() == d.to_bytes() and a.key(3) == d.key(3)
    empty = HashedDictIndex.from_dict(DictIndex([]), 8)
    assert len(empty) == 0 and empty.is_empty() and empty.id("a") is None and empty.id_unchecked("a") == 0
    with pytest.raises(KeyError) as caught:
        HashedDictIndex.from_dict(d, 32)["absent key"]
    assert caught.value.args == ("absent key",)
    with pytest.raises(TypeError):
        1 in h
    assert HashedDictIndex.__text_signature__ is None
    assert HashedDictIndex.from_dict.__text_signature__ == "(dict, fingerprint_bits)"


def test_persistence(d, tmp_path):
    h = HashedDictIndex.from_dict(d, 8)
    blob = h.to_bytes()
    assert len(blob) == h.serialized_len() and blob[:4] == b"BHD1"
    copy = pickle.loads(pickle.dumps(h))
    assert copy.ids_of(KEYS) == h.ids_of(KEYS) and copy.dict.to_bytes() == d.to_bytes()
    h.save(tmp_path / "h.bhd")
    for load in (HashedDictIndex.load, HashedDictIndex.load_mmap, HashedDictIndex.load_mmap_verified):
        assert load(tmp_path / "h.bhd").ids_of(KEYS[:20]) == list(h.ids_of(KEYS[:20]))
    assert HashedDictIndex.from_bytes(blob).to_bytes() == blob
    flipped = bytearray(blob)
    flipped[-3] ^= 1
    with pytest.raises(ValueError):
        HashedDictIndex.from_bytes(bytes(flipped))
