// Configuration settings and name normalisers.
#pragma once

#include "varnhold/module_state.h"

namespace varnhold {

// The environment readers: the variable's text (or the default) converted
// as the interpreter's int()/float() would, the default when that fails.
Ref env_bool(ModuleState* st, PyObject* name, PyObject* dflt);
Ref env_int(ModuleState* st, PyObject* name, PyObject* dflt);
Ref env_float(ModuleState* st, PyObject* name, PyObject* dflt);

// A member of the current VALID_* set, or the current DEFAULT_*.
Ref normalize_routing_mode(ModuleState* st, PyObject* value);
Ref normalize_lb_algorithm(ModuleState* st, PyObject* value);

}  // namespace varnhold
