// The members that the index classes share and that behave alike in each: size members,
// serialisers, pickling, loaders and the batched lookups over lists, sequences and Arrow columns.
// A class instantiates `Family<Traits>` with a traits type telling its core and id conventions
// (`IndexTraits` below gives the first four and a no-op `check_nulls`):
//
//   struct Traits {
//     using Core = ...;                       // the immutable core index
//     using Id = std::uint32_t;               // the id width
//     static constexpr bool kMissing = ...;   // whether an absent key exists (None/MISSING_ID)
//     static PyTypeObject* type();            // the class object (made already)
//     // Answers `count` keys, `key_at(i)` giving key i's bytes, into `out` (kMissingId<Id> for
//     // an absent key). Called with the interpreter lock released.
//     template <class KeyAt>
//     static void lookup(const Core&, std::size_t count, KeyAt&& key_at, Id* out);
//     // The same for keys whose hash pairs are known.
//     static void lookup_hashed(const Core&, std::span<const std::string_view> keys,
//                               std::span<const hash::Pair> pairs, Id* out);
//     // Refuses a column with nulls before any lookup (lock held), for a class that has no
//     // answer for a null; a no-op elsewhere.
//     static void check_nulls(const std::vector<Utf8Chunk>&);
//   };
//
// Every member is a complete binding (its own `boundary`); the class file puts them in its method
// table with its own docstrings.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "arrow.hpp"
#include "blob.hpp"
#include "idbuf.hpp"
#include "keys.hpp"
#include "py.hpp"

namespace quenlith::python {

// Docstrings, text signature first, that several classes give word for word. The load texts
// are those of the classes whose blobs carry checksums.
namespace docs {

inline constexpr char kIsEmpty[] = "is_empty($self)\n--\n\nWhether the index holds no key.";

inline constexpr char kContains[] =
    "contains($self, key)\n--\n\nWhether `key` (a str) is a member.";

inline constexpr char kGet[] =
    "get($self, key, default=None)\n--\n\nThe id of `key`, or `default` when it is not a "
    "member.";

inline constexpr char kIdsOf[] =
    "ids_of($self, keys)\n--\n\nThe ids of a sequence of str, as a list aligned with `keys`; "
    "None where a key is\nabsent. The lookups run without the interpreter lock.";

inline constexpr char kSerializedLen[] =
    "serialized_len($self)\n--\n\nThe length of to_bytes() in bytes, computed without "
    "serialising.";

inline constexpr char kSave[] =
    "save($self, path)\n--\n\nWrites the blob to `path` atomically: the file holds either its "
    "old contents or\nthe whole new blob.";

inline constexpr char kIdsIntoArrow32[] =
    "ids_into_arrow($self, column, out)\n--\n\nWrites the ids of an Arrow column into `out`, a "
    "writable C-contiguous buffer\nof uint32 items at least as long as the column; returns "
    "None.";

inline constexpr char kFromBytes[] =
    "from_bytes(data)\n--\n\nLoads an index from a bytes blob, copying it and verifying its "
    "checksums.";

inline constexpr char kLoad[] =
    "load(path)\n--\n\nReads a blob file into memory and loads it, verifying its checksums.";

inline constexpr char kLoadMmapVerified[] =
    "load_mmap_verified(path)\n--\n\nAs load_mmap, verifying the payload checksum once at "
    "load.";

}  // namespace docs

// The flags of a method table entry taking fast-call arguments with keywords: a method, and a
// static method.
inline constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;
inline constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

// A fast-call binding as the `ml_meth` of a method table entry.
template <class F>
PyCFunction method_ptr(F* f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The arguments of a `Py_tp_new` slot (a tuple and a dict) parsed as a fast call would be.
template <std::size_t N>
std::array<PyObject*, N> parse_new(const Params<N>& params, PyObject* args, PyObject* kwargs) {
  std::vector<PyObject*> flat;
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) throw ErrorAlreadySet{};
  for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GetItem(args, i));
  Ref kwnames;
  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    kwnames = Ref::check(PyTuple_New(PyDict_Size(kwargs)));
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0, k = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      check(PyTuple_SetItem(kwnames.get(), k++, Ref::borrow(key).release()));
      flat.push_back(value);
    }
  }
  return params.parse(flat.data(), nargs, kwnames.get());
}

// Sets the class attributes `ID_DTYPE` and, for a class with an absent-key answer, `MISSING_ID`
// on a freshly made type; on failure forgets the type (`cache` back to null) so that the next
// module start-up makes it again.
inline void set_id_attributes(PyObject*& cache, const char* dtype,
                              std::optional<std::uint64_t> missing) {
  try {
    Ref name = Ref::check(PyUnicode_FromString(dtype));
    check(PyObject_SetAttrString(cache, "ID_DTYPE", name.get()));
    if (missing) check(PyObject_SetAttrString(cache, "MISSING_ID", to_int(*missing).get()));
  } catch (...) {
    Py_CLEAR(cache);
    throw;
  }
}

// The class object cached in `cache`, made from `spec` on first use with its id attributes.
inline Ref index_type(PyObject*& cache, PyType_Spec& spec, const char* dtype,
                      std::optional<std::uint64_t> missing) {
  if (cache != nullptr) return Ref::borrow(cache);
  Ref type = type_from_spec(cache, spec);
  set_id_attributes(cache, dtype, missing);
  return type;
}

// What most traits types say alike: the core, the id width, whether an absent key exists, the
// class object (cached in `Cache` once made) and no refusal of a column's nulls. A traits type
// derives from it and adds its lookups, or its own `check_nulls`.
template <class CoreT, class IdT, bool Missing, PyObject*& Cache>
struct IndexTraits {
  using Core = CoreT;
  using Id = IdT;
  static constexpr bool kMissing = Missing;
  static PyTypeObject* type() noexcept { return reinterpret_cast<PyTypeObject*>(Cache); }
  static void check_nulls(const std::vector<Utf8Chunk>&) noexcept {}
};

// Writes `count` optional ids into `out`, kMissingId for an absent one.
template <class Id, class Found>
void copy_found(const Found& found, std::size_t count, Id* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = found[i].value_or(kMissingId<Id>);
}

// Keys a batched lookup answers at a time: their bytes and hashes stay in cache between the
// hashing and the comparison with the stored keys.
inline constexpr std::size_t kLookupBlock = 4096;

// The key count of a core (`len()`, or `size()` for the dictionary).
template <class Core>
std::uint64_t key_count(const Core& c) noexcept {
  if constexpr (requires { c.len(); })
    return c.len();
  else
    return c.size();
}

// Whether a class looks keys up by their hash pairs (`Traits::lookup_hashed`); an ordered class
// sets `kHashedLookups = false` and answers list keys through `Traits::lookup` too.
template <class Traits>
constexpr bool hashed_lookups() {
  if constexpr (requires { Traits::kHashedLookups; })
    return Traits::kHashedLookups;
  else
    return true;
}

// The single-key lookup and membership test of a class whose core answers `id(key)` with an
// optional id and `contains(key)`, the key converted as parameter "key" (lock held).
template <class Fam>
auto core_id(PyObject* self, PyObject* key_obj) {
  return Fam::core(self).id(key_arg(key_obj, "key"));
}
template <class Fam>
bool core_contains(PyObject* self, PyObject* key_obj) {
  return Fam::core(self).contains(key_arg(key_obj, "key"));
}

// The single-key members of a class whose lookup can find no id: `id`, `get`, `contains`, the
// `in` operator and `[]`. `Find(self, key_obj)` converts the key (as parameter "key") and looks
// it up with the lock held, giving an optional id; `Member(self, key_obj)`, where given, answers
// membership in its stead, for a core with a membership test of its own.
template <auto Find, auto Member = nullptr>
struct KeyLookups {
  static bool member(PyObject* self, PyObject* key_obj) {
    if constexpr (std::is_null_pointer_v<decltype(Member)>)
      return Find(self, key_obj).has_value();
    else
      return Member(self, key_obj);
  }

  static PyObject* id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"id", {"key"}, 1, 1};
      const auto [key] = params.parse(args, nargs, kwnames);
      const auto found = Find(self, key);
      return (found ? to_int(*found) : none()).release();
    });
  }

  static PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<2> params{"get", {"key", "default"}, 2, 1};
      const auto [key, fallback] = params.parse(args, nargs, kwnames);
      const auto found = Find(self, key);
      if (found) return to_int(*found).release();
      return Ref::borrow(fallback != nullptr ? fallback : Py_None).release();
    });
  }

  static PyObject* contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"contains", {"key"}, 1, 1};
      const auto [key] = params.parse(args, nargs, kwnames);
      return PyBool_FromLong(member(self, key));
    });
  }

  static int sq_contains(PyObject* self, PyObject* key) noexcept {
    return boundary_or(-1, [&] { return member(self, key) ? 1 : 0; });
  }

  static PyObject* subscript(PyObject* self, PyObject* key) noexcept {
    return boundary([&]() -> PyObject* {
      const auto found = Find(self, key);
      if (!found) raise_missing_key(key);
      return to_int(*found).release();
    });
  }
};

// The length `n` as a Py_ssize_t for `len()`, or OverflowError with `message` when it does not
// fit.
inline Py_ssize_t checked_length(std::uint64_t n, const char* message) {
  if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, message);
    throw ErrorAlreadySet{};
  }
  return static_cast<Py_ssize_t>(n);
}

// A blob as bytes.
inline Ref bytes_object(const std::vector<std::uint8_t>& bytes) {
  return Ref::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<Py_ssize_t>(bytes.size())));
}

// The `__reduce__` of a class that pickles as its blob: (type(self).from_bytes, make_args()),
// the loader looked up before the arguments are made.
template <class MakeArgs>
Ref reduce_to_from_bytes(PyObject* self, MakeArgs&& make_args) {
  static PyObject* from_bytes_name = nullptr;
  Ref loader = Ref::check(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                           interned(from_bytes_name, "from_bytes")));
  Ref args = make_args();
  return Ref::check(PyTuple_Pack(2, loader.get(), args.get()));
}

template <class Traits>
struct Family {
  using Core = typename Traits::Core;
  using Id = typename Traits::Id;

  static const Core& core(PyObject* self) noexcept { return *core_of<Core>(self); }

  static Ref wrap(Core&& built) {
    auto shared = std::make_shared<const Core>(std::move(built));
    return wrap_core<Core>(Traits::type(), std::move(shared));
  }

  // ---- Size members ----

  static Py_ssize_t length(PyObject* self) noexcept {
    return boundary_or<Py_ssize_t>(-1, [&] {
      return checked_length(key_count(core(self)),
                            "the index holds more keys than fit a Py_ssize_t");
    });
  }

  static PyObject* is_empty(PyObject* self, PyObject*) noexcept {
    return PyBool_FromLong(key_count(core(self)) == 0);
  }

  // ---- id_unchecked, for a class whose core answers any key without a membership check ----

  // The core's `id_unchecked`, or `Traits::unchecked` where the class answers it otherwise.
  static auto unchecked(const Core& c, std::string_view key) {
    if constexpr (requires { Traits::unchecked(c, key); })
      return Traits::unchecked(c, key);
    else
      return c.id_unchecked(key);
  }

  static PyObject* id_unchecked(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"id_unchecked", {"key"}, 1, 1};
      const auto [key] = params.parse(args, nargs, kwnames);
      return to_int(unchecked(core(self), key_arg(key, "key"))).release();
    });
  }

  // ---- Serialisers and pickling ----

  static Ref blob(PyObject* self) {
    const Core& c = core(self);
    return bytes_object(without_gil([&] { return c.to_bytes(); }));
  }

  static PyObject* to_bytes(PyObject* self, PyObject*) noexcept {
    return boundary([&] { return blob(self).release(); });
  }

  static PyObject* serialized_len(PyObject* self, PyObject*) noexcept {
    return boundary([&] { return to_int(core(self).serialized_len()).release(); });
  }

  static PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return boundary([&] {
      return reduce_to_from_bytes(self,
                                  [&] {
                                    Ref data = blob(self);
                                    return Ref::check(PyTuple_Pack(1, data.get()));
                                  })
          .release();
    });
  }

  static PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"save", {"path"}, 1, 1};
      const auto [path_obj] = params.parse(args, nargs, kwnames);
      const std::filesystem::path path = path_arg(path_obj, "path");
      const Core& c = core(self);
      without_gil([&] { c.save(path); });
      return none().release();
    });
  }

  // ---- Loaders (static methods) ----

  template <Core (*Load)(std::span<const std::uint8_t>)>
  static PyObject* from_bytes_with(const char* name, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return boundary([&] {
      const Params<1> params{name, {"data"}, 1, 1};
      const auto [data_obj] = params.parse(args, nargs, kwnames);
      const std::span<const std::uint8_t> data = bytes_arg(data_obj, "data");
      return wrap(without_gil([&] { return Load(data); })).release();
    });
  }
  static PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return from_bytes_with<&Core::from_bytes>("from_bytes", args, nargs, kwnames);
  }

  template <Core (*Load)(const std::filesystem::path&)>
  static PyObject* load_with(const char* name, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return boundary([&] {
      const Params<1> params{name, {"path"}, 1, 1};
      const auto [path_obj] = params.parse(args, nargs, kwnames);
      const std::filesystem::path path = path_arg(path_obj, "path");
      return wrap(without_gil([&] { return Load(path); })).release();
    });
  }
  static PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return load_with<&Core::load>("load", args, nargs, kwnames);
  }
  static PyObject* load_mmap(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return load_with<&Core::load_mmap>("load_mmap", args, nargs, kwnames);
  }
  static PyObject* load_mmap_verified(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return load_with<&Core::load_mmap_verified>("load_mmap_verified", args, nargs, kwnames);
  }

  // ---- Batched lookups ----

  // The ids of borrowed keys, looked up with the lock released. The strings of a Python list
  // lie scattered over the heap, so the keys are hashed here, with the bytes of the keys ahead
  // prefetched, and looked up in blocks small enough that their bytes are still in cache when
  // the lookup compares them with the stored keys.
  static std::vector<Id> ids_of_keys(PyObject* self, const BorrowedKeys& keys) {
    const Core& c = core(self);
    if constexpr (!hashed_lookups<Traits>()) {
      return without_gil([&] {
        const std::span<const std::string_view> all = keys.span();
        std::vector<Id> ids(all.size());
        Traits::lookup(
            c, all.size(), [&](std::size_t i) { return all[i]; }, ids.data());
        return ids;
      });
    } else {
      return hashed_ids_of_keys(c, keys);
    }
  }

  static std::vector<Id> hashed_ids_of_keys(const Core& c, const BorrowedKeys& keys) {
    return without_gil([&] {
      constexpr std::size_t kBlock = kLookupBlock;
      constexpr std::size_t kAhead = 8;
      const std::span<const std::string_view> all = keys.span();
      std::vector<Id> ids(all.size());
      std::vector<hash::Pair> pairs(std::min(all.size(), kBlock));
      for (std::size_t start = 0; start < all.size(); start += kBlock) {
        const std::span<const std::string_view> block =
            all.subspan(start, std::min(kBlock, all.size() - start));
        for (std::size_t i = 0; i < block.size(); ++i) {
          if (i + kAhead < block.size()) __builtin_prefetch(block[i + kAhead].data());
          pairs[i] = hash::hash_pair(block[i]);
        }
        Traits::lookup_hashed(c, block, std::span(pairs).first(block.size()), ids.data() + start);
      }
      return ids;
    });
  }

  // The ids of every element of a column's chunks, nulls as kMissing, with the lock released.
  static std::vector<Id> ids_of_chunks(PyObject* self, const std::vector<Utf8Chunk>& chunks) {
    Traits::check_nulls(chunks);
    const Core& c = core(self);
    return without_gil([&] {
      std::vector<Id> ids(total_len(chunks));
      Id* out = ids.data();
      for (const Utf8Chunk& chunk : chunks) {
        const std::size_t count = chunk.len();
        // In blocks, for the reason `ids_of_keys` gives.
        for (std::size_t start = 0; start < count; start += kLookupBlock) {
          const std::size_t len = std::min(kLookupBlock, count - start);
          Traits::lookup(
              c, len, [&](std::size_t i) { return chunk.key(start + i); }, out + start);
        }
        if (chunk.has_nulls()) {
          for (std::size_t i = 0; i < count; ++i)
            if (chunk.is_null(i)) out[i] = kMissingId<Id>;
        }
        out += count;
      }
      return ids;
    });
  }

  static PyObject* ids_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"ids_of", {"keys"}, 1, 1};
      const auto [keys_obj] = params.parse(args, nargs, kwnames);
      const BorrowedKeys keys = keys_arg(keys_obj, "keys");
      const std::vector<Id> ids = ids_of_keys(self, keys);
      return id_list<Id>(ids, Traits::kMissing).release();
    });
  }

  static PyObject* ids_of_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"ids_of_bytes", {"keys"}, 1, 1};
      const auto [keys_obj] = params.parse(args, nargs, kwnames);
      const BorrowedKeys keys = keys_arg(keys_obj, "keys");
      const std::vector<Id> ids = ids_of_keys(self, keys);
      return packed<Id>(ids).release();
    });
  }

  static PyObject* ids_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<2> params{"ids_into", {"keys", "out"}, 2, 2};
      const auto [keys_obj, out] = params.parse(args, nargs, kwnames);
      const BorrowedKeys keys = keys_arg(keys_obj, "keys");
      if (keys.size() == 0) {
        writable_buffer(out);
        return none().release();
      }
      IdSink sink(out, sizeof(Id), keys.size());
      const std::vector<Id> ids = ids_of_keys(self, keys);
      sink.write<Id>(ids);
      return none().release();
    });
  }

  static PyObject* ids_of_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"ids_of_arrow", {"column"}, 1, 1};
      const auto [column] = params.parse(args, nargs, kwnames);
      const std::vector<Utf8Chunk> chunks = utf8_chunks(column);
      const std::vector<Id> ids = ids_of_chunks(self, chunks);
      return packed<Id>(ids).release();
    });
  }

  static PyObject* ids_into_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<2> params{"ids_into_arrow", {"column", "out"}, 2, 2};
      const auto [column, out] = params.parse(args, nargs, kwnames);
      const std::vector<Utf8Chunk> chunks = utf8_chunks(column);
      const std::uint64_t n = total_len(chunks);
      if (n == 0) {
        writable_buffer(out);
        return none().release();
      }
      IdSink sink(out, sizeof(Id), n);
      const std::vector<Id> ids = ids_of_chunks(self, chunks);
      sink.write<Id>(ids);
      return none().release();
    });
  }
};

// The slot table of an index class over a core, closed by its terminator: `doc`, the core's
// dealloc, `methods`, `len()`, with `Keys` (a `KeyLookups`) the `in` operator and `[]`, then the
// class's own `extra` slots.
template <class Fam, class Keys = void, std::size_t N>
auto index_slots(const char* doc, PyMethodDef* methods, const PyType_Slot (&extra)[N]) {
  constexpr std::size_t kKeys = std::is_void_v<Keys> ? 0 : 2;
  std::array<PyType_Slot, 5 + kKeys + N + 1> slots{{
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_core<typename Fam::Core>)},
      {Py_tp_methods, methods},
      {Py_mp_length, reinterpret_cast<void*>(&Fam::length)},
      {Py_sq_length, reinterpret_cast<void*>(&Fam::length)},
  }};
  std::size_t next = 5;
  if constexpr (kKeys != 0) {
    slots[next++] = {Py_sq_contains, reinterpret_cast<void*>(&Keys::sq_contains)};
    slots[next++] = {Py_mp_subscript, reinterpret_cast<void*>(&Keys::subscript)};
  }
  for (const PyType_Slot& slot : extra) slots[next++] = slot;
  slots[next] = {0, nullptr};
  return slots;
}

}  // namespace quenlith::python
