// The binding conventions, exercised inside an embedded interpreter: error mapping, panics,
// the lock around core work, argument extraction and conversions, and the index object layout.
#include <gtest/gtest.h>

#include <signal.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "error.hpp"
#include "py.hpp"
#include "python_testing.hpp"

using namespace quenlith;
using namespace quenlith::python;

namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override { python_testing::start_interpreter(); }
  // The interpreter is left running: nothing of the bindings runs at exit either.
};

const auto* const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// Evaluates a Python expression; `x` names an optional object in its namespace.
Ref eval(const char* expression, PyObject* x = nullptr) {
  Ref globals = Ref::check(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  if (x != nullptr) PyDict_SetItemString(globals.get(), "x", x);
  // A failure leaves its exception pending for the caller.
  return Ref::steal(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
}

// The pending exception as (type, message), cleared.
std::pair<PyObject*, std::string> take_error() {
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(trace);
  if (!t) return {nullptr, ""};
  Ref text = Ref::steal(PyObject_Str(v.get()));
  return {t.get(), text ? PyUnicode_AsUTF8(text.get()) : "?"};
}

template <class F>
std::pair<PyObject*, std::string> error_of(F&& f) {
  EXPECT_EQ(boundary([&]() -> PyObject* {
              f();
              return Ref::borrow(Py_None).release();
            }),
            nullptr);
  return take_error();
}

using Handler = void (*)(int);

Handler handler_of(int signal) {
  struct sigaction action{};
  sigaction(signal, nullptr, &action);
  return action.sa_handler;
}

// The process's handlers, taken before main and so before the interpreter starts: one that
// installed its own would take Ctrl-C from the test and ignore SIGPIPE in it.
const Handler sigint_before = handler_of(SIGINT);
const Handler sigpipe_before = handler_of(SIGPIPE);

}  // namespace

// The interpreter the tests run in is the configured one, not whichever `python3` comes first on
// the PATH the test was started with (its modules are the ones the test run installed), and its
// library is that interpreter's own.
TEST(EmbeddedInterpreter, IsTheConfiguredOne) {
  auto sys = [](const char* attribute) {
    Ref value = eval((std::string("__import__('sys').") + attribute).c_str());
    if (!value) PyErr_Print();
    return std::string(value ? PyUnicode_AsUTF8(value.get()) : "");
  };
  EXPECT_EQ(sys("executable"), python_testing::configured_executable());
  EXPECT_EQ(sys("prefix"), python_testing::configured_prefix());
  EXPECT_EQ(sys("version"), python_testing::configured_version());
}

TEST(EmbeddedInterpreter, LeavesTheProcessSignalHandlersAlone) {
  EXPECT_EQ(handler_of(SIGINT), sigint_before);
  EXPECT_EQ(handler_of(SIGPIPE), sigpipe_before);
}

TEST(Boundary, IndexErrorsMapToOsErrorAndValueError) {
  auto [io, io_text] = error_of([] { throw IndexError::io_errno(2); });
  EXPECT_EQ(io, PyExc_OSError);
  EXPECT_EQ(io_text, "io error: No such file or directory (os error 2)");
  for (auto make :
       {+[] { return IndexError::format("bad"); }, +[] { return IndexError::build("b"); },
        +[] { return IndexError::fst("f"); }, +[] { return IndexError::automaton("a"); }}) {
    const IndexError e = make();
    auto [type, text] = error_of([&] { throw e; });
    EXPECT_EQ(type, PyExc_ValueError);
    EXPECT_EQ(text, e.display());
  }
  // The OSError is made from its message alone.
  boundary([]() -> PyObject* { throw IndexError::io_errno(13); });
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  Ref exc = Ref::steal(value), t = Ref::steal(type), tb = Ref::steal(trace);
  Ref errno_attr = Ref::check(PyObject_GetAttrString(exc.get(), "errno"));
  EXPECT_EQ(errno_attr.get(), Py_None);
  Ref args = Ref::check(PyObject_GetAttrString(exc.get(), "args"));
  EXPECT_EQ(PyTuple_Size(args.get()), 1);
}

TEST(Boundary, PanicsAndForeignExceptionsBecomePanicException) {
  PyObject* panic_type = panic_exception_type();
  ASSERT_NE(panic_type, nullptr);
  EXPECT_EQ(panic_exception_type(), panic_type);  // one type for the process
  EXPECT_TRUE(PyObject_IsSubclass(panic_type, PyExc_BaseException));
  EXPECT_FALSE(PyObject_IsSubclass(panic_type, PyExc_Exception));
  Ref name = eval("x.__module__ + '.' + x.__name__", panic_type);
  EXPECT_STREQ(PyUnicode_AsUTF8(name.get()), "quenlith.PanicException");

  auto [type, text] = error_of([] { panic("a table's bytes fit an address"); });
  EXPECT_EQ(type, panic_type);
  EXPECT_EQ(text, "a table's bytes fit an address");
  auto [foreign, foreign_text] = error_of([] { throw std::runtime_error("surprise"); });
  EXPECT_EQ(foreign, panic_type);
  EXPECT_EQ(foreign_text, "surprise");
  auto [memory, _] = error_of([] { throw std::bad_alloc(); });
  EXPECT_EQ(memory, PyExc_MemoryError);
}

TEST(Boundary, TheLockIsRetakenBeforeTheExceptionIsRaised) {
  auto [type, text] = error_of([] {
    without_gil([] {
      EXPECT_EQ(PyGILState_Check(), 0);
      panic("released");
    });
  });
  EXPECT_EQ(PyGILState_Check(), 1);
  EXPECT_EQ(type, panic_exception_type());
  const int v = without_gil([] { return 42; });
  EXPECT_EQ(v, 42);
  EXPECT_EQ(PyGILState_Check(), 1);
}

TEST(Arguments, PositionalKeywordMissingAndUnknown) {
  static const Params<3> params{"f", {"a", "b", "c"}, 2, 1};
  Ref one = to_int(1), two = to_int(2), three = to_int(3);
  PyObject* args[] = {one.get(), two.get(), three.get()};
  Ref kw_c = Ref::check(Py_BuildValue("(s)", "c"));
  Ref kw_a = Ref::check(Py_BuildValue("(s)", "a"));
  Ref kw_x = Ref::check(Py_BuildValue("(s)", "x"));

  auto ok = [&](Py_ssize_t nargs, PyObject* kwnames) { return params.parse(args, nargs, kwnames); };
  auto got = ok(2, kw_c.get());  // f(1, 2, c=3)
  EXPECT_EQ(got[0], one.get());
  EXPECT_EQ(got[1], two.get());
  EXPECT_EQ(got[2], three.get());
  got = ok(1, nullptr);
  EXPECT_EQ(got[1], nullptr);
  got = ok(0, kw_a.get());  // f(a=1)
  EXPECT_EQ(got[0], one.get());

  auto message = [&](Py_ssize_t nargs, PyObject* kwnames) {
    return error_of([&] { params.parse(args, nargs, kwnames); });
  };
  EXPECT_EQ(message(3, nullptr).second, "f() takes at most 2 positional arguments (3 given)");
  EXPECT_EQ(message(0, nullptr).second, "f() missing required argument 'a' (pos 1)");
  EXPECT_EQ(message(1, kw_a.get()).second, "f() got multiple values for argument 'a'");
  auto [type, text] = message(1, kw_x.get());
  EXPECT_EQ(type, PyExc_TypeError);
  EXPECT_EQ(text, "f() got an unexpected keyword argument 'x'");
}

TEST(Arguments, Conversions) {
  Ref key = eval("'gr\\u00fcn'");
  EXPECT_EQ(key_arg(key.get(), "key"), "gr\xc3\xbcn");
  Ref number = eval("5");
  auto [t1, m1] = error_of([&] { key_arg(number.get(), "key"); });
  EXPECT_EQ(t1, PyExc_TypeError);
  EXPECT_EQ(m1, "key must be str, not int");
  Ref surrogate = eval("'\\ud800'");
  EXPECT_EQ(error_of([&] { key_arg(surrogate.get(), "key"); }).first, PyExc_UnicodeEncodeError);

  EXPECT_EQ(uint_arg(number.get(), "id"), 5u);
  Ref indexable = eval("type('I', (), {'__index__': lambda self: 2**64 - 1})()");
  EXPECT_EQ(uint_arg(indexable.get(), "id"), UINT64_MAX);
  EXPECT_EQ(error_of([&] { uint_arg(indexable.get(), "id", UINT32_MAX); }).first,
            PyExc_OverflowError);
  Ref negative = eval("-1");
  auto [t2, m2] = error_of([&] { uint_arg(negative.get(), "id"); });
  EXPECT_EQ(t2, PyExc_OverflowError);
  EXPECT_NE(m2.find("id"), std::string::npos);
  Ref huge = eval("2**64");
  EXPECT_EQ(error_of([&] { uint_arg(huge.get(), "id"); }).first, PyExc_OverflowError);
  Ref real = eval("1.0");
  EXPECT_EQ(error_of([&] { uint_arg(real.get(), "id"); }).first, PyExc_TypeError);

  EXPECT_TRUE(flag_arg(Py_True, "reverse"));
  EXPECT_FALSE(flag_arg(Py_False, "reverse"));
  auto [t3, m3] = error_of([&] { flag_arg(number.get(), "reverse"); });
  EXPECT_EQ(t3, PyExc_TypeError);
  EXPECT_EQ(m3, "reverse must be a bool, not int");

  Ref path = eval("__import__('pathlib').Path('/tmp/a b')");
  EXPECT_EQ(path_arg(path.get(), "path"), std::filesystem::path("/tmp/a b"));
  Ref bytes_path = eval("b'/tmp'");
  EXPECT_EQ(error_of([&] { path_arg(bytes_path.get(), "path"); }).first, PyExc_TypeError);
  EXPECT_EQ(error_of([&] { path_arg(number.get(), "path"); }).second,
            "path must be a path (str or os.PathLike), not int");

  EXPECT_EQ(bytes_arg(bytes_path.get(), "data").size(), 4u);
  Ref array = eval("bytearray(b'x')");
  EXPECT_EQ(error_of([&] { bytes_arg(array.get(), "data"); }).second,
            "data must be bytes, not bytearray");
}

namespace {

PyType_Slot holder_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_core<std::string>)},
    {0, nullptr},
};
PyType_Spec holder_spec = {"quenlith._core.Holder", sizeof(CoreObject<std::string>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, holder_slots};

}  // namespace

TEST(Classes, CoreObjectsShareTheirCoreAndReleaseIt) {
  static PyObject* cache = nullptr;
  Ref type = type_from_spec(cache, holder_spec);
  EXPECT_EQ(type_from_spec(cache, holder_spec).get(), type.get());  // one type per process
  auto core = std::make_shared<const std::string>("index");
  {
    Ref a = wrap_core(reinterpret_cast<PyTypeObject*>(type.get()), core);
    Ref b = wrap_core(reinterpret_cast<PyTypeObject*>(type.get()), core);
    EXPECT_EQ(core.use_count(), 3);
    EXPECT_EQ(core_of<std::string>(a.get()).get(), core.get());
    // Not subclassable, no instance dict.
    EXPECT_EQ(eval("type('Mine', (type(x),), {})", a.get()).get(), nullptr);
    EXPECT_EQ(take_error().first, PyExc_TypeError);
    EXPECT_EQ(eval("setattr(x, 'y', 1)", a.get()).get(), nullptr);
    EXPECT_EQ(take_error().first, PyExc_AttributeError);
  }
  EXPECT_EQ(core.use_count(), 1);
}
