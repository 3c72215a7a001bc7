// The Python class `ClosedHashIndex` over the core `closed_hash::ClosedHashIndex`: the minimal
// perfect hash alone, for a closed vocabulary. Every string gets some id in [0, n), so nothing
// here ever answers "absent": no membership test, no None, no MISSING_ID.
#include "closed_hash.hpp"

#include "bindings.hpp"
#include "family.hpp"

namespace quenlith::python {

namespace {

using Core = closed_hash::ClosedHashIndex;

PyObject* type_cache = nullptr;

struct Traits : IndexTraits<Core, std::uint32_t, false, type_cache> {
  template <class KeyAt>
  static void lookup(const Core& core, std::size_t count, KeyAt&& key_at, Id* out) {
    if (count == 0) return;
    const std::vector<std::uint32_t> ids = core.ids_of_with(count, key_at);
    std::copy(ids.begin(), ids.end(), out);
  }
  // A closed vocabulary has no id for a null: the whole column is refused before any lookup.
  static void lookup_hashed(const Core& core, std::span<const std::string_view>,
                            std::span<const hash::Pair> pairs, Id* out) {
    if (pairs.empty()) return;
    const std::vector<std::uint32_t> ids = core.ids_of_hashed(pairs);
    std::copy(ids.begin(), ids.end(), out);
  }
  static void check_nulls(const std::vector<Utf8Chunk>& chunks) {
    for (const Utf8Chunk& chunk : chunks) {
      if (!chunk.has_nulls()) continue;
      for (std::uint64_t i = 0; i < chunk.len(); ++i) {
        if (chunk.is_null(i)) {
          PyErr_SetString(PyExc_ValueError,
                          "a closed vocabulary has no id for a null: fill the nulls first");
          throw ErrorAlreadySet{};
        }
      }
    }
  }
};

using F = Family<Traits>;

PyObject* new_index(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return boundary([&] {
    static const Params<1> params{"ClosedHashIndex", {"items"}, 1, 1};
    const auto [items] = parse_new(params, args, kwargs);
    std::vector<hash::Pair> pairs = collect_pairs(items, "items");
    return F::wrap(without_gil([&] { return Core::build_from_pairs(std::move(pairs)); })).release();
  });
}

PyObject* id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"id", {"key"}, 1, 1};
    const auto [key] = params.parse(args, nargs, kwnames);
    return to_int(F::core(self).id_with_side(key_arg(key, "key"))).release();
  });
}

PyMethodDef methods[] = {
    {"is_empty", &F::is_empty, METH_NOARGS, docs::kIsEmpty},
    {"id", method_ptr(&id), kFast,
     "id($self, key)\n--\n\nThe id of `key` (a str): a member's own id, and for any other "
     "string some id in\n[0, len()) (0 for an empty index). Never None."},
    {"ids_of", method_ptr(&F::ids_of), kFast,
     "ids_of($self, keys)\n--\n\nThe ids of a sequence of str, as a list of ints aligned with "
     "`keys`. The lookups\nrun without the interpreter lock."},
    {"ids_of_bytes", method_ptr(&F::ids_of_bytes), kFast,
     "ids_of_bytes($self, keys)\n--\n\nThe ids of a sequence of str packed into bytes, one "
     "4-byte native-endian uint32\nitem per key: np.frombuffer(b, "
     "dtype=ClosedHashIndex.ID_DTYPE)."},
    {"ids_of_arrow", method_ptr(&F::ids_of_arrow), kFast,
     "ids_of_arrow($self, column)\n--\n\nThe ids of an Arrow utf8/large_utf8 column packed as in "
     "ids_of_bytes. A column\nholding a null raises ValueError before any lookup."},
    {"ids_into_arrow", method_ptr(&F::ids_into_arrow), kFast,
     "ids_into_arrow($self, column, out)\n--\n\nWrites the ids of an Arrow column into `out`, a "
     "writable C-contiguous buffer\nof uint32 items; a null raises ValueError and nothing is "
     "written. Returns None."},
    {"ids_into", method_ptr(&F::ids_into), kFast,
     "ids_into($self, keys, out)\n--\n\nWrites the ids of a sequence of str into `out`, a "
     "writable C-contiguous buffer\nof uint32 items; items past len(keys) keep their values. "
     "Returns None."},
    {"to_bytes", &F::to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\nThe index's \"BCL2\" blob as bytes."},
    {"serialized_len", &F::serialized_len, METH_NOARGS, docs::kSerializedLen},
    {"__reduce__", &F::reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the index as its blob: (ClosedHashIndex.from_bytes, "
     "(blob,))."},
    {"from_bytes", method_ptr(&F::from_bytes), kStatic,
     "from_bytes(data)\n--\n\nLoads an index from a bytes blob, verifying its checksums."},
    {"save", method_ptr(&F::save), kFast, docs::kSave},
    {"load", method_ptr(&F::load), kStatic,
     "load(path)\n--\n\nReads a blob file and loads it, verifying its checksums."},
    {nullptr, nullptr, 0, nullptr},
};

auto slots = index_slots<F>(
    "ClosedHashIndex(items)\n--\n\nMinimal perfect hash alone, for a closed "
    "vocabulary: `string -> dense id` for\nthe keys it was built from, and some "
    "id in [0, len()) for any other string.\nIt stores nothing that could "
    "reject a non-member.",
    methods, {{Py_tp_new, reinterpret_cast<void*>(&new_index)}});

PyType_Spec spec = {
    "quenlith._core.ClosedHashIndex", sizeof(CoreObject<Core>), 0, Py_TPFLAGS_DEFAULT, slots.data(),
};

}  // namespace

Ref closed_hash_index_type() { return index_type(type_cache, spec, "uint32", std::nullopt); }

}  // namespace quenlith::python
