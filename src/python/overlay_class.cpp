// The Python class `Overlay` over the core `overlay::Overlay`: added keys and retired ids over an
// immutable StringIndex, PerfectHashIndex or CompactHashIndex. The one mutable class of the
// module: its state sits behind a mutex taken by the discipline of `Guarded` (never waited for
// while the interpreter lock is held); members that release the interpreter lock for their work
// keep the mutex until they have retaken it.
#include "overlay.hpp"

#include <variant>

#include "bindings.hpp"
#include "compact_hash.hpp"
#include "error.hpp"
#include "family.hpp"
#include "fileio.hpp"
#include "guarded.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"

namespace quenlith::python {

namespace {

using compact_hash::CompactHashIndex;
using perfect_hash::PerfectHashIndex;
using string_index::StringIndex;

template <class T>
using Over = overlay::Overlay<std::shared_ptr<const T>>;

// In the order of the constructor's type tests.
using Inner = std::variant<Over<StringIndex>, Over<PerfectHashIndex>, Over<CompactHashIndex>>;

struct OverlayObject {
  PyObject_HEAD Guarded<Inner> state;
};

PyObject* type_cache = nullptr;

constexpr const char* kPoisoned = "overlay state poisoned by an earlier panic";
constexpr const char* kNoKeys =
    "a CompactHashIndex stores no keys, so an overlay over it has no key(), keys(), compact(), "
    "compact_to_file() or compact_with_remap()";

Guarded<Inner>& state(PyObject* self) { return reinterpret_cast<OverlayObject*>(self)->state; }

Ref wrap_inner(Inner inner) {
  auto* type = reinterpret_cast<PyTypeObject*>(type_cache);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref self = Ref::check(alloc(type, 0));
  new (&reinterpret_cast<OverlayObject*>(self.get())->state)
      Guarded<Inner>(kPoisoned, std::move(inner));
  return self;
}

void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<OverlayObject*>(self)->state.~Guarded<Inner>();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

[[noreturn]] void no_keys() {
  PyErr_SetString(PyExc_TypeError, kNoKeys);
  throw ErrorAlreadySet{};
}

// The class objects of the three bases, borrowed (the module made them before `Overlay`).
PyTypeObject* string_type() { return reinterpret_cast<PyTypeObject*>(string_index_type().get()); }
PyTypeObject* perfect_type() {
  return reinterpret_cast<PyTypeObject*>(perfect_hash_index_type().get());
}
PyTypeObject* compact_type() {
  return reinterpret_cast<PyTypeObject*>(compact_hash_index_type().get());
}

// A new Python object of the base's class over the overlay's shared base.
template <class T>
Ref base_object(const std::shared_ptr<const T>& base) {
  if constexpr (std::is_same_v<T, StringIndex>)
    return wrap_core<T>(string_type(), base);
  else if constexpr (std::is_same_v<T, PerfectHashIndex>)
    return wrap_core<T>(perfect_type(), base);
  else
    return wrap_core<T>(compact_type(), base);
}

template <class T>
PyTypeObject* base_class() {
  if constexpr (std::is_same_v<T, StringIndex>)
    return string_type();
  else if constexpr (std::is_same_v<T, PerfectHashIndex>)
    return perfect_type();
  else
    return compact_type();
}

// ---- Construction and loading ----

PyObject* new_overlay(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return boundary([&] {
    static const Params<1> params{"Overlay", {"index"}, 1, 1};
    const auto [index] = parse_new(params, args, kwargs);
    if (PyObject_TypeCheck(index, string_type()))
      return wrap_inner(Inner(std::in_place_index<0>, core_of<StringIndex>(index))).release();
    if (PyObject_TypeCheck(index, perfect_type()))
      return wrap_inner(Inner(std::in_place_index<1>, core_of<PerfectHashIndex>(index))).release();
    if (PyObject_TypeCheck(index, compact_type()))
      return wrap_inner(Inner(std::in_place_index<2>, core_of<CompactHashIndex>(index))).release();
    PyErr_SetString(PyExc_TypeError,
                    "Overlay takes a StringIndex, a PerfectHashIndex or a CompactHashIndex");
    throw ErrorAlreadySet{};
  });
}

// The overlay in `blob` over the base class `base`, compared by identity (lock held).
Ref load_blob(std::span<const std::uint8_t> blob, PyObject* base, bool untrusted) {
  const auto type = reinterpret_cast<PyTypeObject*>(base);
  if (type == string_type())
    return wrap_inner(
        Inner(std::in_place_index<0>, overlay::load_blob<StringIndex>(blob, untrusted)));
  if (type == perfect_type())
    return wrap_inner(
        Inner(std::in_place_index<1>, overlay::load_blob<PerfectHashIndex>(blob, untrusted)));
  if (type == compact_type())
    return wrap_inner(
        Inner(std::in_place_index<2>, overlay::load_blob<CompactHashIndex>(blob, untrusted)));
  PyErr_SetString(PyExc_TypeError,
                  "base must be StringIndex, PerfectHashIndex or CompactHashIndex (the class "
                  "itself)");
  throw ErrorAlreadySet{};
}

void type_arg(PyObject* obj, const char* param) {
  if (PyType_Check(obj)) return;
  Ref name = Ref::check(PyType_GetName(Py_TYPE(obj)));
  PyErr_Format(PyExc_TypeError, "%s must be a type, not %U", param, name.get());
  throw ErrorAlreadySet{};
}

template <bool Untrusted>
PyObject* from_bytes_with(const char* name, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return boundary([&] {
    const Params<2> params{name, {"data", "base"}, 2, 2};
    const auto [data_obj, base] = params.parse(args, nargs, kwnames);
    const std::span<const std::uint8_t> data = bytes_arg(data_obj, "data");
    type_arg(base, "base");
    return load_blob(data, base, Untrusted).release();
  });
}

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return from_bytes_with<false>("from_bytes", args, nargs, kwnames);
}

PyObject* from_untrusted_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  return from_bytes_with<true>("from_untrusted_bytes", args, nargs, kwnames);
}

template <bool Untrusted>
PyObject* load_with(const char* name, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  return boundary([&] {
    const Params<2> params{name, {"path", "base"}, 2, 2};
    const auto [path_obj, base] = params.parse(args, nargs, kwnames);
    const std::filesystem::path path = path_arg(path_obj, "path");
    type_arg(base, "base");
    std::vector<std::uint8_t> blob;
    try {
      blob = without_gil([&] { return fileio::read_file(path); });
    } catch (const IndexError& e) {
      if (e.kind() != IndexError::Kind::Io) throw;
      // The operating system's text alone, without the "io error: " of the error mapping.
      const std::string& text = e.message();
      Ref message = Ref::check(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
      PyErr_SetObject(PyExc_OSError, message.get());
      throw ErrorAlreadySet{};
    }
    return load_blob(blob, base, Untrusted).release();
  });
}

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return load_with<false>("load", args, nargs, kwnames);
}

PyObject* load_untrusted(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return load_with<true>("load_untrusted", args, nargs, kwnames);
}

// ---- Lookups and changes (lock held, under the mutex) ----

template <class F>
decltype(auto) visit(PyObject* self, F&& f) {
  return state(self).with([&](Inner& inner) -> decltype(auto) { return std::visit(f, inner); });
}

std::optional<std::uint64_t> lookup_one(PyObject* self, PyObject* key_obj) {
  const std::string_view key = key_arg(key_obj, "key");
  return visit(self, [&](auto& ov) { return ov.id(key); });
}

using K = KeyLookups<&lookup_one>;

PyObject* is_empty(PyObject* self, PyObject*) noexcept {
  return boundary(
      [&] { return PyBool_FromLong(visit(self, [](auto& ov) { return ov.is_empty(); })); });
}

PyObject* id_space(PyObject* self, PyObject*) noexcept {
  return boundary(
      [&] { return to_int(visit(self, [](auto& ov) { return ov.id_space(); })).release(); });
}

PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"add", {"key"}, 1, 1};
    const auto [key_obj] = params.parse(args, nargs, kwnames);
    const std::string_view key = key_arg(key_obj, "key");
    return to_int(visit(self, [&](auto& ov) { return ov.add(key); })).release();
  });
}

PyObject* remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"remove", {"key"}, 1, 1};
    const auto [key_obj] = params.parse(args, nargs, kwnames);
    const std::string_view key = key_arg(key_obj, "key");
    return PyBool_FromLong(visit(self, [&](auto& ov) { return ov.remove(key); }));
  });
}

PyObject* retire_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"retire_id", {"id"}, 1, 1};
    const auto [id_obj] = params.parse(args, nargs, kwnames);
    const std::uint64_t i = uint_arg(id_obj, "id");
    return PyBool_FromLong(visit(self, [&](auto& ov) { return ov.retire_id(i); }));
  });
}

PyObject* key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"key", {"id"}, 1, 1};
    const auto [id_obj] = params.parse(args, nargs, kwnames);
    const std::uint64_t i = uint_arg(id_obj, "id");
    const std::optional<std::string> k = visit(self, [&](auto& ov) -> std::optional<std::string> {
      if constexpr (overlay::KeyedBase<typename std::decay_t<decltype(ov)>::Handle>)
        return ov.key(i);
      else
        no_keys();
    });
    return (k ? to_str(*k) : none()).release();
  });
}

PyObject* keys(PyObject* self, PyObject*) noexcept {
  return boundary([&] {
    const std::vector<std::string> all = visit(self, [&](auto& ov) -> std::vector<std::string> {
      if constexpr (overlay::KeyedBase<typename std::decay_t<decltype(ov)>::Handle>)
        return without_gil([&] { return ov.keys(); });
      else
        no_keys();
    });
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(all.size())));
    for (std::size_t i = 0; i < all.size(); ++i)
      check(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_str(all[i]).release()));
    return list.release();
  });
}

PyObject* compact(PyObject* self, PyObject*) noexcept {
  return boundary([&] {
    Inner fresh = visit(self, [&](auto& ov) -> Inner {
      using O = std::decay_t<decltype(ov)>;
      if constexpr (overlay::OverlayKeys<typename O::Handle>)
        return Inner(std::in_place_type<O>, without_gil([&] { return overlay::compact(ov); }));
      else
        no_keys();
    });
    return wrap_inner(std::move(fresh)).release();
  });
}

PyObject* compact_to_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"compact_to_file", {"path"}, 1, 1};
    const auto [path_obj] = params.parse(args, nargs, kwnames);
    const std::filesystem::path path = path_arg(path_obj, "path");
    const std::uint64_t written = visit(self, [&](auto& ov) -> std::uint64_t {
      if constexpr (overlay::OverlayKeys<typename std::decay_t<decltype(ov)>::Handle>)
        return without_gil([&] { return overlay::compact_to_file(ov, path); });
      else
        no_keys();
    });
    return to_int(written).release();
  });
}

PyObject* compact_with_remap(PyObject* self, PyObject*) noexcept {
  return boundary([&] {
    std::vector<std::uint64_t> remap;
    Inner fresh = visit(self, [&](auto& ov) -> Inner {
      using O = std::decay_t<decltype(ov)>;
      if constexpr (overlay::OverlayKeys<typename O::Handle>) {
        auto [next, map] = without_gil([&] { return overlay::compact_with_remap(ov); });
        remap = std::move(map);
        return Inner(std::in_place_type<O>, std::move(next));
      } else {
        no_keys();
      }
    });
    Ref obj = wrap_inner(std::move(fresh));
    Ref packed_remap = packed<std::uint64_t>(remap);
    return Ref::check(PyTuple_Pack(2, obj.get(), packed_remap.get())).release();
  });
}

PyObject* base(PyObject* self, PyObject*) noexcept {
  return boundary(
      [&] { return visit(self, [](auto& ov) { return base_object(ov.base()); }).release(); });
}

// ---- Serialisers ----

Ref blob(PyObject* self) {
  return bytes_object(
      visit(self, [](auto& ov) { return without_gil([&] { return overlay::to_bytes(ov); }); }));
}

PyObject* to_bytes(PyObject* self, PyObject*) noexcept {
  return boundary([&] { return blob(self).release(); });
}

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"save", {"path"}, 1, 1};
    const auto [path_obj] = params.parse(args, nargs, kwnames);
    const std::filesystem::path path = path_arg(path_obj, "path");
    visit(self, [&](auto& ov) { without_gil([&] { overlay::save(ov, path); }); });
    return none().release();
  });
}

PyObject* reduce(PyObject* self, PyObject*) noexcept {
  return boundary([&] {
    PyTypeObject* cls = visit(self, [](auto& ov) {
      using T = std::remove_const_t<typename std::decay_t<decltype(ov)>::Handle::element_type>;
      return base_class<T>();
    });
    return reduce_to_from_bytes(
               self,
               [&] {
                 Ref data = blob(self);
                 return Ref::check(PyTuple_Pack(2, data.get(), reinterpret_cast<PyObject*>(cls)));
               })
        .release();
  });
}

// ---- Slots ----

Py_ssize_t length(PyObject* self) noexcept {
  return boundary_or<Py_ssize_t>(-1, [&] {
    return checked_length(visit(self, [](auto& ov) { return ov.len(); }),
                          "the overlay holds more keys than fit a Py_ssize_t");
  });
}

PyMethodDef methods[] = {
    {"is_empty", &is_empty, METH_NOARGS, "is_empty($self)\n--\n\nWhether no id is live."},
    {"id_space", &id_space, METH_NOARGS,
     "id_space($self)\n--\n\nThe number of ids ever issued: the base's keys plus the "
     "additions."},
    {"id", method_ptr(&K::id), kFast,
     "id($self, key)\n--\n\nThe id of `key`, or None when it is absent or retired."},
    {"contains", method_ptr(&K::contains), kFast,
     "contains($self, key)\n--\n\nWhether `key` is live."},
    {"get", method_ptr(&K::get), kFast,
     "get($self, key, default=None)\n--\n\nThe id of `key`, or `default` when it is absent or "
     "retired."},
    {"add", method_ptr(&add), kFast,
     "add($self, key)\n--\n\nThe id of `key`: its live id, its old id revived, or a new id after "
     "every id\nissued."},
    {"remove", method_ptr(&remove), kFast,
     "remove($self, key)\n--\n\nRetires the id of `key`; whether the key was live."},
    {"retire_id", method_ptr(&retire_id), kFast,
     "retire_id($self, id)\n--\n\nRetires `id`; whether it was live. An id is never issued "
     "again."},
    {"key", method_ptr(&key), kFast,
     "key($self, id)\n--\n\nThe key of a live id, or None when it is out of range or retired."},
    {"keys", &keys, METH_NOARGS,
     "keys($self)\n--\n\nEvery live key in id order: the base's, then the additions."},
    {"compact", &compact, METH_NOARGS,
     "compact($self)\n--\n\nA new, empty overlay over a base rebuilt from the live keys (ids are "
     "renumbered);\nthis overlay is unchanged."},
    {"compact_to_file", method_ptr(&compact_to_file), kFast,
     "compact_to_file($self, path)\n--\n\nWrites the blob of a base rebuilt from the live keys "
     "to `path` atomically;\nreturns its key count."},
    {"compact_with_remap", &compact_with_remap, METH_NOARGS,
     "compact_with_remap($self)\n--\n\nAs compact, with the new id of every id issued packed as "
     "native-endian uint64\nin bytes (2**64 - 1 for a retired id): (overlay, remap)."},
    {"base", &base, METH_NOARGS,
     "base($self)\n--\n\nA new object of the base's class over the base the overlay shares."},
    {"to_bytes", &to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\nThe overlay's \"OVL2\" blob, the base's blob inside, as bytes."},
    {"save", method_ptr(&save), kFast,
     "save($self, path)\n--\n\nWrites the blob to `path` atomically."},
    {"from_bytes", method_ptr(&from_bytes), kStatic,
     "from_bytes(data, base)\n--\n\nLoads an overlay blob written over a base of the class "
     "`base` (StringIndex,\nPerfectHashIndex or CompactHashIndex, the class itself)."},
    {"__reduce__", &reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the overlay as its blob and its base's class: "
     "(Overlay.from_bytes,\n(blob, base class))."},
    {"from_untrusted_bytes", method_ptr(&from_untrusted_bytes), kStatic,
     "from_untrusted_bytes(data, base)\n--\n\nAs from_bytes for a blob someone else wrote: a "
     "StringIndex base is validated\nin full."},
    {"load", method_ptr(&load), kStatic,
     "load(path, base)\n--\n\nReads an overlay blob file and loads it as from_bytes does."},
    {"load_untrusted", method_ptr(&load_untrusted), kStatic,
     "load_untrusted(path, base)\n--\n\nReads an overlay blob file and loads it as "
     "from_untrusted_bytes does."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Overlay(index)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_overlay)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_tp_methods, methods},
    {Py_mp_length, reinterpret_cast<void*>(&length)},
    {Py_sq_length, reinterpret_cast<void*>(&length)},
    {Py_mp_subscript, reinterpret_cast<void*>(&K::subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(&K::sq_contains)},
    {0, nullptr},
};

// Named in the package, not the extension module, so that pickles find it as quenlith.Overlay.
PyType_Spec spec = {
    "quenlith.Overlay", sizeof(OverlayObject), 0, Py_TPFLAGS_DEFAULT, slots,
};

}  // namespace

Ref overlay_type() { return type_from_spec(type_cache, spec); }

}  // namespace quenlith::python
