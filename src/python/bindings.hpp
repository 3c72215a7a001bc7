// What each binding file hands to the module's execution step (module.cpp), which adds them in
// the module's fixed order. A class file provides `Ref <name>_type()` (the cached heap type, see
// `type_from_spec`); a function file provides a static `PyMethodDef`.
#pragma once

#include <memory>

#include "py.hpp"

namespace quenlith::dict_index {
class DictIndex;
}
namespace quenlith::hashed_dict {
class HashedDictIndex;
}
namespace quenlith::string_index {
class StringIndex;
}

namespace quenlith::python {

Ref string_index_type();
Ref string_index_iterator_type();
Ref dict_index_type();
Ref dict_index_iterator_type();
Ref hashed_dict_index_type();
Ref perfect_hash_index_type();
Ref compact_hash_index_type();
Ref closed_hash_index_type();
Ref overlay_type();

// New Python objects over a shared core (`HashedDictIndex.dict`, `Overlay.base()`).
Ref string_index_object(std::shared_ptr<const string_index::StringIndex> index);
Ref dict_index_object(std::shared_ptr<const dict_index::DictIndex> index);
Ref hashed_dict_index_object(std::shared_ptr<const hashed_dict::HashedDictIndex> index);

// inspect(blob): header-only inspection of a blob held in bytes or stored at a path.
extern PyMethodDef inspect_def;

// plan(keys, *, reverse=False, ..., objective=...): the planner over an iterable of str.
extern PyMethodDef plan_def;

// _cli(args): the command line over the process's standard streams; returns the exit status.
extern PyMethodDef cli_def;

}  // namespace quenlith::python
