// The Python class `HashedDictIndex` over the core `hashed_dict::HashedDictIndex`: a perfect-hash
// sidecar answering `id(key)` with the ranks of a shared `DictIndex`, whose ordered queries stay
// reachable through the `dict` property.
#include "hashed_dict.hpp"

#include "bindings.hpp"
#include "dict_index.hpp"
#include "family.hpp"

namespace quenlith::python {

namespace {

using Core = hashed_dict::HashedDictIndex;

PyObject* type_cache = nullptr;

struct Traits : IndexTraits<Core, std::uint64_t, true, type_cache> {
  // The core hashes the keys itself, and resolves a batch through the collision side table
  // whenever it holds entries, exactly as a single lookup does.
  static constexpr bool kHashedLookups = false;

  template <class KeyAt>
  static void lookup(const Core& core, std::size_t count, KeyAt&& key_at, Id* out) {
    const auto found =
        core.ids_of_with(count, [&](std::uint64_t i) { return std::string_view(key_at(i)); });
    copy_found(found, count, out);
  }
  // `id_unchecked` resolves a key through the collision side table, as `id` does.
  static std::uint64_t unchecked(const Core& core, std::string_view key) {
    return core.unchecked_with_side(key);
  }
};

using F = Family<Traits>;

const Core& core(PyObject* self) { return F::core(self); }

using K = KeyLookups<&core_id<F>>;

PyObject* from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<2> params{"from_dict", {"dict", "fingerprint_bits"}, 2, 2};
    const auto [dict_obj, bits_obj] = params.parse(args, nargs, kwnames);
    Ref dict_type = dict_index_type();
    if (!PyObject_TypeCheck(dict_obj, reinterpret_cast<PyTypeObject*>(dict_type.get()))) {
      Ref name = Ref::check(PyType_GetName(Py_TYPE(dict_obj)));
      PyErr_Format(PyExc_TypeError, "dict must be a DictIndex, not %U", name.get());
      throw ErrorAlreadySet{};
    }
    const auto bits =
        static_cast<std::uint32_t>(uint_arg(bits_obj, "fingerprint_bits", UINT32_MAX));
    std::shared_ptr<const dict_index::DictIndex> dict = core_of<dict_index::DictIndex>(dict_obj);
    return F::wrap(without_gil([&] { return Core::from_shared_dict(std::move(dict), bits); }))
        .release();
  });
}

PyObject* dict(PyObject* self, void*) noexcept {
  return boundary([&] { return dict_index_object(core(self).shared_dict()).release(); });
}

PyObject* fingerprint_bits(PyObject* self, void*) noexcept {
  return boundary([&] { return to_int(core(self).fingerprint_bits()).release(); });
}

PyMethodDef methods[] = {
    {"from_dict", method_ptr(&from_dict), kStatic,
     "from_dict(dict, fingerprint_bits)\n--\n\nBuilds the sidecar of a DictIndex, sharing its "
     "dictionary, with 0 to 32\nfingerprint bits a key. From one bit up `id` answers a "
     "non-member with some rank\nat a rate of 2 ** -fingerprint_bits; at zero bits `id` is the "
     "dictionary's exact\nsearch."},
    {"is_empty", &F::is_empty, METH_NOARGS, docs::kIsEmpty},
    {"id", method_ptr(&K::id), kFast,
     "id($self, key)\n--\n\nThe dictionary rank of `key`, or None when it is not a member (from "
     "one\nfingerprint bit up, a non-member may get some rank)."},
    {"id_unchecked", method_ptr(&F::id_unchecked), kFast,
     "id_unchecked($self, key)\n--\n\nA rank below len() for any key (0 when empty), the rank "
     "itself for a member;\nthe dictionary is consulted only for a key whose whole hash another "
     "key shares."},
    {"get", method_ptr(&K::get), kFast,
     "get($self, key, default=None)\n--\n\nThe rank of `key`, or `default` when it is not a "
     "member."},
    {"contains", method_ptr(&K::contains), kFast,
     "contains($self, key)\n--\n\nWhether `key` (a str) is answered with a rank."},
    {"ids_of", method_ptr(&F::ids_of), kFast,
     "ids_of($self, keys)\n--\n\nThe ranks of a sequence of str, as a list aligned with `keys`; "
     "None where a key\nis absent. The lookups run without the interpreter lock."},
    {"ids_of_bytes", method_ptr(&F::ids_of_bytes), kFast,
     "ids_of_bytes($self, keys)\n--\n\nThe ranks of a sequence of str packed into bytes, one "
     "native-endian uint64 a\nkey, MISSING_ID where a key is absent."},
    {"ids_of_arrow", method_ptr(&F::ids_of_arrow), kFast,
     "ids_of_arrow($self, column)\n--\n\nThe ranks of an Arrow utf8/large_utf8 column packed as "
     "in ids_of_bytes;\nMISSING_ID for an absent key or a null."},
    {"ids_into_arrow", method_ptr(&F::ids_into_arrow), kFast,
     "ids_into_arrow($self, column, out)\n--\n\nWrites the ranks of an Arrow column into `out`, "
     "a writable C-contiguous\nbuffer of uint64 items at least as long as the column; returns "
     "None."},
    {"ids_into", method_ptr(&F::ids_into), kFast,
     "ids_into($self, keys, out)\n--\n\nWrites the ranks of a sequence of str into `out`, a "
     "writable C-contiguous\nbuffer of uint64 items; MISSING_ID where a key is absent. Returns "
     "None."},
    {"to_bytes", &F::to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\nThe index's \"BHD1\" blob, the dictionary's blob inside, as "
     "bytes."},
    {"serialized_len", &F::serialized_len, METH_NOARGS, docs::kSerializedLen},
    {"__reduce__", &F::reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the index as its blob: (HashedDictIndex.from_bytes, "
     "(blob,))."},
    {"from_bytes", method_ptr(&F::from_bytes), kStatic,
     "from_bytes(data)\n--\n\nLoads an index from a bytes blob, copying it and verifying it."},
    {"save", method_ptr(&F::save), kFast, docs::kSave},
    {"load", method_ptr(&F::load), kStatic,
     "load(path)\n--\n\nReads a blob file into memory and loads it, verifying it."},
    {"load_mmap", method_ptr(&F::load_mmap), kStatic,
     "load_mmap(path)\n--\n\nMaps a blob file read-only and borrows the tables from the mapping; "
     "only the\nheader and lengths are checked. The file must not change while the index "
     "lives."},
    {"load_mmap_verified", method_ptr(&F::load_mmap_verified), kStatic,
     "load_mmap_verified(path)\n--\n\nAs load_mmap, verifying the blob once at load."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"dict", &dict, nullptr,
     "A new DictIndex object over the dictionary the sidecar shares (never a copy).", nullptr},
    {"fingerprint_bits", &fingerprint_bits, nullptr, "Fingerprint bits stored a key, 0 to 32.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

auto slots = index_slots<F, K>(
    "A `DictIndex` with a hash sidecar answering `id(key)`: the dictionary's ranks at a "
    "hash index's\nlookup cost, and its ordered queries through `.dict`.",
    methods, {{Py_tp_getset, getset}});

PyType_Spec spec = {
    "quenlith._core.HashedDictIndex",
    sizeof(CoreObject<Core>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots.data(),
};

}  // namespace

Ref hashed_dict_index_type() { return index_type(type_cache, spec, "uint64", UINT64_MAX); }

Ref hashed_dict_index_object(std::shared_ptr<const hashed_dict::HashedDictIndex> index) {
  return wrap_core<Core>(Traits::type(), std::move(index));
}

}  // namespace quenlith::python
