// The HashedDictIndex binding over a sidecar whose keys collide on their first hash half, inside
// an embedded interpreter: colliding keys live in the side table, and every lookup path of the
// class (single, list, bytes, Arrow) must resolve them there.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "dict_index.hpp"
#include "hash.hpp"
#include "hashed_dict.hpp"
#include "py.hpp"
#include "python_testing.hpp"

using namespace quenlith;
using namespace quenlith::python;

namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override { python_testing::start_interpreter(); }
};

const auto* const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// Evaluates `expression` with `x` bound; the result's truth, or the Python error printed.
bool holds(const char* expression, PyObject* x) {
  Ref globals = Ref::check(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  PyDict_SetItemString(globals.get(), "x", x);
  Ref result = Ref::steal(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
  if (!result) {
    PyErr_Print();
    return false;
  }
  return PyObject_IsTrue(result.get()) == 1;
}

}  // namespace

TEST(Sidecar, EveryLookupPathResolvesCollisionsThroughTheSideTable) {
  std::vector<std::string> keys;
  for (int i = 0; i < 300; ++i) keys.push_back("key-" + std::to_string(1000 + i));
  std::vector<std::string_view> views(keys.begin(), keys.end());
  auto dict = std::make_shared<const dict_index::DictIndex>(
      dict_index::DictIndex::build_with_block(views, 32));
  std::vector<hash::Pair> pairs;
  for (const auto& k : keys) pairs.push_back(hash::hash_pair(k));
  // Keys 10 and 20 are built under the first halves of keys 40 and 250, which the collision sends
  // to the side table under their own hashes, so a lookup of them by their text must find them
  // there (keys 10 and 20 become strangers to the sidecar, answered as any other string).
  pairs[10].h1 = pairs[40].h1;
  pairs[20].h1 = pairs[250].h1;
  ASSERT_TRUE(dict_index_type());
  ASSERT_TRUE(hashed_dict_index_type());
  for (std::uint32_t bits : {1u, 8u, 32u}) {
    auto core = std::make_shared<const hashed_dict::HashedDictIndex>(
        hashed_dict::HashedDictIndex::from_pairs(dict, bits, pairs, 1));
    ASSERT_EQ(core->side_count(), 2u);
    Ref x = hashed_dict_index_object(core);
    // Every path answers each key as the single lookup does; the members outside the collision
    // get their ranks.
    EXPECT_TRUE(
        holds("(lambda keys, single: x.ids_of(keys) == single and "
              "all(single[r] == r for r in range(300) if r not in (10, 20)))"
              "(*(lambda keys: (keys, [x.id(k) for k in keys]))([k for k, _ in x.dict]))",
              x.get()));
    EXPECT_TRUE(
        holds("(lambda keys, pa, np: (lambda single: "
              "np.frombuffer(x.ids_of_arrow(pa.array(keys + [None])), "
              "dtype=np.uint64).tolist() == single + [2**64 - 1] and "
              "np.frombuffer(x.ids_of_bytes(keys), dtype=np.uint64).tolist() == single)"
              "([2**64 - 1 if i is None else i for i in map(x.id, keys)]))"
              "([k for k, _ in x.dict], __import__('pyarrow'), __import__('numpy'))",
              x.get()));
    EXPECT_TRUE(holds("x.id('key-1040') == 40 and x.id('key-1250') == 250", x.get()));
    EXPECT_TRUE(
        holds("x.id_unchecked('key-1040') == 40 and x.id_unchecked('key-1250') == 250", x.get()));
  }
}
