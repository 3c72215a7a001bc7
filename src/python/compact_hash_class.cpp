// The Python class `CompactHashIndex` over the core `compact_hash::CompactHashIndex`: a minimal
// perfect hash with 1 to 64 fingerprint bits a key and no stored key, so membership is
// probabilistic and there is no reverse lookup.
#include "compact_hash.hpp"

#include "bindings.hpp"
#include "error.hpp"
#include "family.hpp"

namespace quenlith::python {

namespace {

using Core = compact_hash::CompactHashIndex;

PyObject* type_cache = nullptr;

struct Traits : IndexTraits<Core, std::uint32_t, true, type_cache> {
  template <class KeyAt>
  static void lookup(const Core& core, std::size_t count, KeyAt&& key_at, Id* out) {
    const std::vector<std::optional<std::uint32_t>> found = core.ids_of_with(count, key_at);
    copy_found(found, count, out);
  }
  static void lookup_hashed(const Core& core, std::span<const std::string_view>,
                            std::span<const hash::Pair> pairs, Id* out) {
    const auto found = core.ids_of_hashed(pairs);
    copy_found(found, pairs.size(), out);
  }
};

using F = Family<Traits>;

const Core& core(PyObject* self) { return F::core(self); }

// The width rule shared by the constructor and `build_to_file`: `fingerprint_bits`, when given,
// wins but only beside the default `fingerprint_bytes` of 1; otherwise bytes 1, 2 or 4 give 8,
// 16 or 32 bits.
std::uint32_t fingerprint_width(std::uint64_t fingerprint_bytes,
                                std::optional<std::uint32_t> fingerprint_bits) {
  if (fingerprint_bits) {
    if (fingerprint_bytes != 1) {
      PyErr_SetString(PyExc_ValueError, "pass fingerprint_bytes or fingerprint_bits, not both");
      throw ErrorAlreadySet{};
    }
    compact_hash::check_width(*fingerprint_bits);
    return *fingerprint_bits;
  }
  switch (fingerprint_bytes) {
    case 1:
      return 8;
    case 2:
      return 16;
    case 4:
      return 32;
    default:
      throw IndexError::format("compact-hash: fingerprint_bytes must be 1, 2, or 4");
  }
}

// The two width arguments converted in order and resolved.
std::uint32_t width_args(PyObject* bytes_obj, PyObject* bits_obj) {
  const std::uint64_t fingerprint_bytes =
      bytes_obj == nullptr ? 1 : uint_arg(bytes_obj, "fingerprint_bytes");
  std::optional<std::uint32_t> fingerprint_bits;
  if (bits_obj != nullptr && bits_obj != Py_None)
    fingerprint_bits =
        static_cast<std::uint32_t>(uint_arg(bits_obj, "fingerprint_bits", UINT32_MAX));
  return fingerprint_width(fingerprint_bytes, fingerprint_bits);
}

using K = KeyLookups<&core_id<F>, &core_contains<F>>;

PyObject* new_index(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return boundary([&] {
    static const Params<3> params{
        "CompactHashIndex", {"items", "fingerprint_bytes", "fingerprint_bits"}, 2, 1};
    const auto [items, bytes_obj, bits_obj] = parse_new(params, args, kwargs);
    const std::uint32_t bits = width_args(bytes_obj, bits_obj);
    std::vector<hash::Pair> pairs = collect_pairs(items, "items");
    return F::wrap(without_gil([&] { return Core::build_from_pairs(std::move(pairs), bits); }))
        .release();
  });
}

PyObject* build_to_file(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<4> params{
        "build_to_file", {"items", "path", "fingerprint_bytes", "fingerprint_bits"}, 3, 2};
    const auto [items, path_obj, bytes_obj, bits_obj] = params.parse(args, nargs, kwnames);
    const std::filesystem::path path = path_arg(path_obj, "path");
    compact_hash::BuildLimits limits;
    limits.bits = width_args(bytes_obj, bits_obj);
    // Every key comes from the interpreter, so the lock stays held for the whole build; each
    // key is hashed and dropped as it is read.
    ParkedError parked;
    IterSource keys(items, parked, "items");
    const std::uint64_t written =
        settle_parked(parked, [&] { return Core::build_to_file_with(keys, path, limits); });
    return to_int(written).release();
  });
}

PyObject* fingerprint_bits(PyObject* self, void*) noexcept {
  return boundary([&] { return to_int(core(self).bits()).release(); });
}

PyMethodDef methods[] = {
    {"build_to_file", method_ptr(&build_to_file), kStatic,
     "build_to_file(items, path, fingerprint_bytes=1, *, fingerprint_bits=None)\n--\n\n"
     "Builds the index of the keys of the iterable `items` straight into the file `path`,\n"
     "reading them once and never holding them; repeats count once. The width is given as\n"
     "in the constructor. Returns the number of distinct keys written. The file equals\n"
     "CompactHashIndex(items, ...).to_bytes(). An exception raised by the iterable is raised\n"
     "unchanged, and `path` is left as it was on every failure. Holds the interpreter lock\n"
     "throughout."},
    {"is_empty", &F::is_empty, METH_NOARGS, docs::kIsEmpty},
    {"id", method_ptr(&K::id), kFast,
     "id($self, key)\n--\n\nThe id of `key` (a str), or None when it is rejected. A non-member "
     "is accepted,\nwith a member's id, at the rate 2 ** -fingerprint_bits."},
    {"id_unchecked", method_ptr(&F::id_unchecked), kFast,
     "id_unchecked($self, key)\n--\n\nThe id of `key` without the fingerprint test: a member's "
     "own id, and for any\nother string some member's id (0 for an empty index)."},
    {"get", method_ptr(&K::get), kFast,
     "get($self, key, default=None)\n--\n\nThe id of `key`, or `default` when it is rejected."},
    {"contains", method_ptr(&K::contains), kFast,
     "contains($self, key)\n--\n\nWhether `key` (a str) passes the fingerprint test: always for "
     "a member, at the\nrate 2 ** -fingerprint_bits for anything else."},
    {"ids_of", method_ptr(&F::ids_of), kFast,
     "ids_of($self, keys)\n--\n\nThe ids of a sequence of str, as a list aligned with `keys`; "
     "None where a key is\nrejected. The lookups run without the interpreter lock."},
    {"ids_of_bytes", method_ptr(&F::ids_of_bytes), kFast,
     "ids_of_bytes($self, keys)\n--\n\nThe ids of a sequence of str packed into bytes, one "
     "4-byte native-endian uint32\nitem per key, MISSING_ID where a key is rejected: "
     "np.frombuffer(b, dtype=CompactHashIndex.ID_DTYPE)."},
    {"ids_of_arrow", method_ptr(&F::ids_of_arrow), kFast,
     "ids_of_arrow($self, column)\n--\n\nThe ids of an Arrow utf8/large_utf8 column (pyarrow "
     "Array or ChunkedArray,\npandas ArrowDtype column, polars Series) packed as in "
     "ids_of_bytes; MISSING_ID\nfor a rejected key or a null. No Python string is made per "
     "element."},
    {"ids_into_arrow", method_ptr(&F::ids_into_arrow), kFast, docs::kIdsIntoArrow32},
    {"ids_into", method_ptr(&F::ids_into), kFast,
     "ids_into($self, keys, out)\n--\n\nWrites the ids of a sequence of str into `out`, a "
     "writable C-contiguous buffer\nof uint32 items (a numpy array of ID_DTYPE); MISSING_ID "
     "where a key is rejected.\nItems past len(keys) keep their values. Returns None."},
    {"to_bytes", &F::to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\nThe index's \"BCH8\" blob as bytes."},
    {"serialized_len", &F::serialized_len, METH_NOARGS, docs::kSerializedLen},
    {"__reduce__", &F::reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the index as its blob: (CompactHashIndex.from_bytes, "
     "(blob,))."},
    {"from_bytes", method_ptr(&F::from_bytes), kStatic, docs::kFromBytes},
    {"save", method_ptr(&F::save), kFast, docs::kSave},
    {"load", method_ptr(&F::load), kStatic, docs::kLoad},
    {"load_mmap", method_ptr(&F::load_mmap), kStatic,
     "load_mmap(path)\n--\n\nMaps a blob file read-only and borrows the fingerprint table from "
     "the mapping;\nonly the header and lengths are checked. The file must not change while "
     "the index\nlives."},
    {"load_mmap_verified", method_ptr(&F::load_mmap_verified), kStatic, docs::kLoadMmapVerified},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"fingerprint_bits", &fingerprint_bits, nullptr,
     "Width of the stored fingerprints in bits; the false-positive rate is `2 ** "
     "-fingerprint_bits`.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

auto slots = index_slots<F, K>(
    "CompactHashIndex(items, fingerprint_bytes=1, *, fingerprint_bits=None)\n--\n\n"
    "Fingerprint minimal-perfect-hash dictionary: the smallest `string -> dense id` map "
    "that can\nreject a non-member. Membership is\nprobabilistic (false-positive rate "
    "`2 ** -fingerprint_bits`) and there is no reverse `id -> key`.",
    methods, {{Py_tp_new, reinterpret_cast<void*>(&new_index)}, {Py_tp_getset, getset}});

PyType_Spec spec = {
    "quenlith._core.CompactHashIndex",
    sizeof(CoreObject<Core>),
    0,
    Py_TPFLAGS_DEFAULT,
    slots.data(),
};

}  // namespace

Ref compact_hash_index_type() { return index_type(type_cache, spec, "uint32", UINT32_MAX); }

}  // namespace quenlith::python
