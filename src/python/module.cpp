// Start-up of the extension module `quenlith._core`: multi-phase initialisation with a single
// execution step, no methods table, no per-module state.
//
// The execution step adds the classes and then the functions, each name appended to the
// module's `__all__` before the attribute is set, so `__all__` lists them in the order below.
// Type objects are made on the first execution and shared by every later module object (a
// re-import after removal from sys.modules registers the same class objects).
#include <array>

#include "bindings.hpp"
#include "py.hpp"

namespace quenlith::python {

namespace {

using ClassFactory = Ref (*)();

// In this order: StringIndex, StringIndexIterator, PerfectHashIndex, CompactHashIndex,
// ClosedHashIndex, Overlay, DictIndex, DictIndexIterator, HashedDictIndex.
const std::array<ClassFactory, 9> kClasses{
    &string_index_type,       &string_index_iterator_type, &perfect_hash_index_type,
    &compact_hash_index_type, &closed_hash_index_type,     &overlay_type,
    &dict_index_type,         &dict_index_iterator_type,   &hashed_dict_index_type,
};

// In this order: inspect, plan, _cli.
const std::array<PyMethodDef*, 3> kFunctions{&inspect_def, &plan_def, &cli_def};

// Appends `name` to the module's `__all__` (made as an empty list when absent), then sets the
// attribute.
void add(PyObject* module, PyObject* name, PyObject* value) {
  static PyObject* all_name = nullptr;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (dict == nullptr) throw ErrorAlreadySet{};
  PyObject* all = PyDict_GetItemWithError(dict, interned(all_name, "__all__"));  // borrowed
  if (all == nullptr) {
    if (PyErr_Occurred() != nullptr) throw ErrorAlreadySet{};
    Ref list = Ref::check(PyList_New(0));
    check(PyDict_SetItem(dict, all_name, list.get()));
    all = list.get();  // the module's dict holds it
  }
  if (!PyList_Check(all)) {
    PyErr_SetString(PyExc_TypeError, "the module's __all__ is not a list");
    throw ErrorAlreadySet{};
  }
  check(PyList_Append(all, name));
  check(PyObject_SetAttr(module, name, value));
}

int exec_module(PyObject* module) noexcept {
  return boundary_or(-1, [&] {
    if (!PyModule_Check(module)) {
      PyErr_SetString(PyExc_TypeError, "quenlith._core can only initialise a module object");
      throw ErrorAlreadySet{};
    }
    for (ClassFactory make : kClasses) {
      Ref type = make();
      Ref name = Ref::check(PyType_GetName(reinterpret_cast<PyTypeObject*>(type.get())));
      add(module, name.get(), type.get());
    }
    static PyObject* name_attr = nullptr;
    Ref module_name = Ref::check(PyModule_GetNameObject(module));
    for (PyMethodDef* def : kFunctions) {
      Ref function = Ref::check(PyCMethod_New(def, module, module_name.get(), nullptr));
      Ref name = Ref::check(PyObject_GetAttr(function.get(), interned(name_attr, "__name__")));
      add(module, name.get(), function.get());
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",       // m_name
    "",            // m_doc
    0,             // m_size: no per-module state
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

}  // namespace quenlith::python

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&quenlith::python::module_def); }
