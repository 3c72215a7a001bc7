// The module function `plan(keys, *, reverse=False, ..., objective=...)`: the planner over a list
// of keys, its result as a dict of plain Python values.
#include <string_view>

#include "bindings.hpp"
#include "estimate.hpp"
#include "keys.hpp"
#include "py.hpp"

namespace quenlith::python {

namespace {

using estimate::Estimate;
using estimate::Objective;
using estimate::Plan;
using estimate::Workload;

// Runs `convert`; an exception it raises gets the note "while processing '<param>'" and passes on
// with its type and message unchanged.
template <class F>
auto with_note(const char* param, F&& convert) {
  try {
    return convert();
  } catch (const ErrorAlreadySet&) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
      PyObject* note = PyUnicode_FromFormat("while processing '%s'", param);
      PyObject* done = note ? PyObject_CallMethod(value, "add_note", "O", note) : nullptr;
      // A note that cannot be attached must not replace the argument's own error.
      if (done == nullptr) PyErr_Clear();
      Py_XDECREF(done);
      Py_XDECREF(note);
    }
    PyErr_Restore(type, value, traceback);
    throw;
  }
}

[[noreturn]] void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw ErrorAlreadySet{};
}

// collections.abc.Mapping, looked up once and kept for the process.
PyObject* mapping_abc() {
  static PyObject* mapping = nullptr;
  if (mapping == nullptr) {
    Ref module = Ref::check(PyImport_ImportModule("collections.abc"));
    mapping = Ref::check(PyObject_GetAttrString(module.get(), "Mapping")).release();
  }
  return mapping;
}

bool is_mapping(PyObject* obj) {
  if (PyDict_Check(obj)) return true;
  const int is = PyObject_IsInstance(obj, mapping_abc());
  check(is);
  return is != 0;
}

// The UTF-8 text of a str, to compare with a name; empty (no name is) for a str without a UTF-8
// form.
std::string_view name_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return {};
  }
  return {utf8, static_cast<std::size_t>(size)};
}

// One weight of a workload: an unsigned 64-bit integer (a bool counts as 0 or 1), else the
// whole-number error naming the operation; the conversion's own error is dropped.
std::uint64_t weight_of(PyObject* value, PyObject* name) {
  Ref index = Ref::steal(PyNumber_Index(value));
  unsigned long long v = 0;
  if (index) v = PyLong_AsUnsignedLongLong(index.get());
  if (!index || (v == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "objective: `%U` is not a whole number of 0 or more", name);
    throw ErrorAlreadySet{};
  }
  return v;
}

Workload workload_of(PyObject* mapping) {
  Workload w;
  Ref items = Ref::check(PyObject_CallMethod(mapping, "items", nullptr));
  Ref it = Ref::check(PyObject_GetIter(items.get()));
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    if (!PyTuple_Check(item.get())) {
      Ref type = Ref::check(PyType_GetName(Py_TYPE(item.get())));
      PyErr_Format(PyExc_TypeError, "an item of objective.items() must be a tuple, not %U",
                   type.get());
      throw ErrorAlreadySet{};
    }
    const Py_ssize_t size = PyTuple_Size(item.get());
    if (size != 2) {
      PyErr_Format(PyExc_ValueError,
                   "an item of objective.items() must be a tuple of length 2, not %zd", size);
      throw ErrorAlreadySet{};
    }
    PyObject* name = PyTuple_GetItem(item.get(), 0);   // borrowed
    PyObject* value = PyTuple_GetItem(item.get(), 1);  // borrowed
    if (!PyUnicode_Check(name))
      raise(PyExc_TypeError, "objective: an operation is named by a string");
    const std::string_view op = name_of(name);
    if (op == "batch") {
      const std::uint64_t batch = weight_of(value, name);
      if (batch > UINT32_MAX)
        raise(PyExc_ValueError, "objective: `batch` is past what a batch can hold");
      w.batch = static_cast<std::uint32_t>(batch);
      continue;
    }
    std::uint64_t* field = estimate::workload_weight(w, op);
    if (field == nullptr) {
      PyErr_Format(PyExc_ValueError,
                   "objective: `%U` is not one of hits / misses / reverse / prefix / "
                   "common_prefix / longest_prefix / batch",
                   name);
      throw ErrorAlreadySet{};
    }
    *field = weight_of(value, name);
  }
  if (PyErr_Occurred() != nullptr) throw ErrorAlreadySet{};
  return w;
}

}  // namespace

Objective objective_of(PyObject* value) {
  if (value == nullptr) return Objective::memory();  // omitted; an explicit None is refused below
  if (PyUnicode_Check(value)) {
    if (const auto named = estimate::objective_named(name_of(value))) return *named;
    PyErr_Format(PyExc_ValueError, "objective: `%U` is not one of memory / latency / balanced",
                 value);
    throw ErrorAlreadySet{};
  }
  if (is_mapping(value)) return Objective::weighted(workload_of(value));
  raise(PyExc_TypeError, "objective: a name, or a mapping from operation to weight");
}

namespace {

void set(PyObject* dict, const char* key, const Ref& value) {
  check(PyDict_SetItemString(dict, key, value.get()));
}

Ref to_float(double v) { return Ref::check(PyFloat_FromDouble(v)); }
Ref to_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

}  // namespace

Ref estimate_dict(const Plan& plan, const Estimate& e) {
  Ref dict = Ref::check(PyDict_New());
  set(dict.get(), "kind", to_str(estimate::kind_name(e.kind)));
  set(dict.get(), "bytes", to_int(e.bytes));
  set(dict.get(), "bytes_per_key",
      to_float(plan.n == 0 ? 0.0 : static_cast<double>(e.bytes) / static_cast<double>(plan.n)));
  set(dict.get(), "block", e.block ? to_int(*e.block) : none());
  set(dict.get(), "measured", to_bool(e.measured));
  set(dict.get(), "nanos",
      to_float(estimate::nanos_of(plan.objective, e, plan.n, plan.mean_length)));
  return dict;
}

namespace {

Ref plan_dict(const Plan& plan) {
  Ref dict = Ref::check(PyDict_New());
  set(dict.get(), "keys", to_int(plan.n));
  set(dict.get(), "mean_length", to_float(plan.mean_length));
  set(dict.get(), "mean_lcp", to_float(plan.mean_lcp));
  set(dict.get(), "best", estimate_dict(plan, plan.estimates.front()));
  Ref list = Ref::check(PyList_New(0));
  for (const Estimate& e : plan.estimates)
    check(PyList_Append(list.get(), estimate_dict(plan, e).get()));
  set(dict.get(), "estimates", list);
  set(dict.get(), "close", to_bool(plan.close()));
  set(dict.get(), "thin", to_bool(plan.thin()));
  set(dict.get(), "text", to_str(plan.text()));
  return dict;
}

PyObject* py_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return boundary([&]() -> PyObject* {
    static const Params<7> params{
        "plan", {"keys", "reverse", "ordered", "prefix", "fuzzy", "exact", "objective"}, 1, 1};
    const auto [keys, reverse, ordered, prefix, fuzzy, exact, objective] =
        params.parse(args, nargs, kwnames);
    auto flag = [](PyObject* obj, const char* param) {
      return obj == nullptr ? false : with_note(param, [&] { return flag_arg(obj, param); });
    };
    estimate::Needs needs;
    needs.reverse = flag(reverse, "reverse");
    needs.ordered = flag(ordered, "ordered");
    needs.prefix = flag(prefix, "prefix");
    needs.fuzzy = flag(fuzzy, "fuzzy");
    needs.exact = flag(exact, "exact");
    const Objective goal = with_note("objective", [&] { return objective_of(objective); });
    const BorrowedKeys borrowed = collect_strs(keys, "keys");
    const Plan plan =
        without_gil([&] { return estimate::plan_for_views(borrowed.span(), needs, goal); });
    return plan_dict(plan).release();
  });
}

}  // namespace

PyMethodDef plan_def = {
    "plan",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_plan)),
    METH_FASTCALL | METH_KEYWORDS,
    "plan(keys, *, reverse=False, ordered=False, prefix=False, fuzzy=False, exact=False, "
    "objective=...)\n"
    "--\n"
    "\n"
    "Price every index type that answers the needs on `keys` and rank them under the objective.\n"
    "\n"
    "`keys` is any iterable of str, in any order; repeats count once. The flags say what the\n"
    "index must answer besides id(key): key(id) (reverse), ids in key order (ordered), prefix\n"
    "and range queries (prefix), fuzzy and subsequence queries (fuzzy), and exact rejection of\n"
    "non-members (exact). With no flag the probabilistic CompactHashIndex and ClosedHashIndex\n"
    "are priced too. `objective` is \"memory\" (the default: the smallest blob), \"latency\",\n"
    "\"balanced\", or a mapping from operation (hits, misses, reverse, prefix, common_prefix,\n"
    "longest_prefix) to relative weight, with an optional batch size under \"batch\"; an\n"
    "operation with a weight adds the need it asks for.\n"
    "\n"
    "Up to 100,000 distinct keys every candidate is built and its blob weighed; beyond that its\n"
    "size is modelled from a hash-chosen draw of keys and runs of neighbouring keys. The\n"
    "nanoseconds are always a model of one reference machine, never a measurement.\n"
    "\n"
    "Returns a dict: keys (distinct keys), mean_length, mean_lcp (the mean prefix a key shares\n"
    "with the one before it), best (the first estimate), estimates (ranked dicts of kind, bytes,\n"
    "bytes_per_key, block, measured and nanos), close (the two cheapest kinds are within 1.3x,\n"
    "too close for an estimate to separate: build both), thin (the mean suffix is under 2 bytes\n"
    "and the pick was modelled: build rather than trust the figure) and text (the plan as\n"
    "printed by the command line).",
};

}  // namespace quenlith::python
