// What each binding file hands to the module's execution step (module.cpp), which adds them in
// the module's fixed order. A class file provides `Ref <name>_type()` (the cached heap type, see
// `type_from_spec`); a function file provides a static `PyMethodDef`.
#pragma once

#include "py.hpp"

namespace quenlith::python {

Ref perfect_hash_index_type();
Ref compact_hash_index_type();
Ref closed_hash_index_type();

// inspect(blob): header-only inspection of a blob held in bytes or stored at a path.
extern PyMethodDef inspect_def;

// plan(keys, *, reverse=False, ..., objective=...): the planner over an iterable of str.
extern PyMethodDef plan_def;

// _cli(args): the command line over the process's standard streams; returns the exit status.
extern PyMethodDef cli_def;

}  // namespace quenlith::python
