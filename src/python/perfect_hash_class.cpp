// The Python class `PerfectHashIndex` over the core `perfect_hash::PerfectHashIndex`: an exact
// string -> dense u32 id map with reverse lookup.
#include "perfect_hash.hpp"

#include "bindings.hpp"
#include "family.hpp"

namespace quenlith::python {

namespace {

using Core = perfect_hash::PerfectHashIndex;

PyObject* type_cache = nullptr;

struct Traits : IndexTraits<Core, std::uint32_t, true, type_cache> {
  template <class KeyAt>
  static void lookup(const Core& core, std::size_t count, KeyAt&& key_at, Id* out) {
    const std::vector<std::optional<std::uint32_t>> found = core.ids_of_with(count, key_at);
    copy_found(found, count, out);
  }
  static void lookup_hashed(const Core& core, std::span<const std::string_view> keys,
                            std::span<const hash::Pair> pairs, Id* out) {
    const auto found = core.ids_of_hashed_with(
        keys.size(), [&](std::size_t i) { return keys[i]; }, pairs);
    copy_found(found, keys.size(), out);
  }
};

using F = Family<Traits>;

const Core& core(PyObject* self) { return F::core(self); }

using K = KeyLookups<&core_id<F>, &core_contains<F>>;

PyObject* new_index(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return boundary([&] {
    static const Params<2> params{"PerfectHashIndex", {"items", "fingerprints"}, 1, 1};
    const auto [items, fingerprints_obj] = parse_new(params, args, kwargs);
    const bool fingerprints =
        fingerprints_obj != nullptr && flag_arg(fingerprints_obj, "fingerprints");
    const BorrowedKeys keys = collect_strs(items, "items");
    return F::wrap(without_gil([&] { return Core::build_with(keys.span(), fingerprints); }))
        .release();
  });
}

// The output window of the streamed build: key bytes beyond it go through a spill file.
constexpr std::uint64_t kBuildWindow = std::uint64_t{32} << 20;

PyObject* build_to_file(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<3> params{"build_to_file", {"source", "path", "fingerprints"}, 2, 2};
    const auto [source, path_obj, fingerprints_obj] = params.parse(args, nargs, kwnames);
    const std::filesystem::path path = path_arg(path_obj, "path");
    const bool fingerprints =
        fingerprints_obj != nullptr && flag_arg(fingerprints_obj, "fingerprints");
    if (!PyCallable_Check(source)) {
      PyErr_SetString(PyExc_TypeError,
                      "build_to_file() takes a zero-argument callable that returns an iterable "
                      "of str (it is called twice), not the iterable itself");
      throw ErrorAlreadySet{};
    }
    // Every key comes from the interpreter, so the lock stays held for the whole build.
    ParkedError parked;
    CallableSource passes(source, parked, "source()");
    const std::uint64_t written = settle_parked(parked, [&] {
      return Core::build_to_file_windowed(passes, path, fingerprints, kBuildWindow);
    });
    return to_int(written).release();
  });
}

PyObject* has_fingerprints(PyObject* self, PyObject*) noexcept {
  return PyBool_FromLong(core(self).has_fingerprints());
}

PyObject* key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"key", {"id"}, 1, 1};
    const auto [id_obj] = params.parse(args, nargs, kwnames);
    const auto id = static_cast<std::uint32_t>(uint_arg(id_obj, "id", UINT32_MAX));
    const auto stored = core(self).key(id);
    return (stored ? to_str(*stored) : none()).release();
  });
}

PyObject* keys_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"keys_of", {"ids"}, 1, 1};
    const auto [ids_obj] = params.parse(args, nargs, kwnames);
    const std::vector<std::uint64_t> ids = ids_arg(ids_obj, "ids", UINT32_MAX);
    const Core& c = core(self);
    // Views into the arena, which lives as long as `self`.
    const auto stored = without_gil([&] {
      std::vector<std::optional<std::string_view>> out(ids.size());
      for (std::size_t i = 0; i < ids.size(); ++i)
        out[i] = c.key(static_cast<std::uint32_t>(ids[i]));
      return out;
    });
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(stored.size())));
    for (std::size_t i = 0; i < stored.size(); ++i) {
      Ref item = stored[i] ? to_str(*stored[i]) : none();
      check(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()));
    }
    return list.release();
  });
}

PyMethodDef methods[] = {
    {"build_to_file", method_ptr(&build_to_file), kStatic,
     "build_to_file(source, path, *, fingerprints=False)\n--\n\nBuilds the index of the keys "
     "of `source` straight into the file `path`, never\nholding the keys: `source` is a "
     "zero-argument callable returning an iterable of\ndistinct str, called once per pass "
     "(twice; once when it yields nothing), and it\nmust give the same keys in the same order "
     "both times. Returns the number of keys\nwritten. An exception raised by `source` or its "
     "iterator is raised unchanged, and\n`path` is left as it was on every failure. Holds the "
     "interpreter lock throughout."},
    {"is_empty", &F::is_empty, METH_NOARGS, docs::kIsEmpty},
    {"has_fingerprints", &has_fingerprints, METH_NOARGS,
     "has_fingerprints($self)\n--\n\nWhether one fingerprint byte is stored beside every key; "
     "lookups compare it\nbefore reading the stored key. Answers do not depend on it."},
    {"id", method_ptr(&K::id), kFast,
     "id($self, key)\n--\n\nThe id of `key` (a str), or None when it is not a member."},
    {"id_unchecked", method_ptr(&F::id_unchecked), kFast,
     "id_unchecked($self, key)\n--\n\nThe id of `key` without confirming membership: a member's "
     "own id, and for any\nother string some id below len() (0 for an empty index)."},
    {"contains", method_ptr(&K::contains), kFast, docs::kContains},
    {"get", method_ptr(&K::get), kFast, docs::kGet},
    {"key", method_ptr(&key), kFast,
     "key($self, id)\n--\n\nThe key stored under `id` (an unsigned 32-bit int), or None when "
     "`id` >= len()."},
    {"ids_of", method_ptr(&F::ids_of), kFast, docs::kIdsOf},
    {"ids_of_bytes", method_ptr(&F::ids_of_bytes), kFast,
     "ids_of_bytes($self, keys)\n--\n\nThe ids of a sequence of str packed into bytes, one "
     "native-endian uint32 a key,\nMISSING_ID where a key is absent: "
     "np.frombuffer(b, dtype=PerfectHashIndex.ID_DTYPE)."},
    {"ids_of_arrow", method_ptr(&F::ids_of_arrow), kFast,
     "ids_of_arrow($self, column)\n--\n\nThe ids of an Arrow utf8/large_utf8 column (pyarrow "
     "Array or ChunkedArray,\npandas ArrowDtype column, polars Series) packed as in "
     "ids_of_bytes; MISSING_ID\nfor an absent key or a null. No Python string is made per "
     "element."},
    {"ids_into_arrow", method_ptr(&F::ids_into_arrow), kFast, docs::kIdsIntoArrow32},
    {"ids_into", method_ptr(&F::ids_into), kFast,
     "ids_into($self, keys, out)\n--\n\nWrites the ids of a sequence of str into `out`, a "
     "writable C-contiguous buffer\nof uint32 items (a numpy array of ID_DTYPE); MISSING_ID "
     "where a key is absent.\nItems past len(keys) keep their values. Returns None."},
    {"keys_of", method_ptr(&keys_of), kFast,
     "keys_of($self, ids)\n--\n\nThe keys stored under a sequence of ids, as a list; None where "
     "an id >= len()."},
    {"to_bytes", &F::to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\nThe index's \"BMP8\" blob as bytes."},
    {"serialized_len", &F::serialized_len, METH_NOARGS, docs::kSerializedLen},
    {"__reduce__", &F::reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the index as its blob: (PerfectHashIndex.from_bytes, "
     "(blob,))."},
    {"from_bytes", method_ptr(&F::from_bytes), kStatic, docs::kFromBytes},
    {"save", method_ptr(&F::save), kFast, docs::kSave},
    {"load", method_ptr(&F::load), kStatic, docs::kLoad},
    {"load_mmap", method_ptr(&F::load_mmap), kStatic,
     "load_mmap(path)\n--\n\nMaps a blob file read-only and borrows the keys from the mapping; "
     "only the header\nand lengths are checked. The file must not change while the index "
     "lives."},
    {"load_mmap_verified", method_ptr(&F::load_mmap_verified), kStatic, docs::kLoadMmapVerified},
    {nullptr, nullptr, 0, nullptr},
};

auto slots = index_slots<F, K>(
    "PerfectHashIndex(items, *, fingerprints=False)\n--\n\nMinimal-perfect-hash "
    "dictionary: exact `string → dense id` with reverse lookup and "
    "persistence.",
    methods, {{Py_tp_new, reinterpret_cast<void*>(&new_index)}});

PyType_Spec spec = {
    "quenlith._core.PerfectHashIndex",
    sizeof(CoreObject<Core>),
    0,
    Py_TPFLAGS_DEFAULT,
    slots.data(),
};

}  // namespace

Ref perfect_hash_index_type() { return index_type(type_cache, spec, "uint32", UINT32_MAX); }

}  // namespace quenlith::python
