// Module start-up: binds the standard facilities, creates the logger, reads
// the settings, builds the name tables and creates the record type, the
// namespace of reasons, the classes and the functions, in that order.
#include <vector>

#include "varnhold/boundary.h"
#include "varnhold/coro.h"
#include "binding/types.h"
#include "varnhold/load_balancer.h"
#include "varnhold/settings.h"

namespace varnhold {


namespace {

int type_watcher_id = -1;
int dict_watcher_id = -1;

// Every initialised module's state, for the type watcher (asyncio.Lock is no
// type of ours, so its module cannot be found from it).
std::vector<ModuleState*>& live_states() {
  static std::vector<ModuleState*> states;
  return states;
}

// Any change to the LoadBalancer class sends its methods through lookup; any
// change to asyncio.Lock (or its bases) sends pool locks through theirs.
int on_type_modified(PyTypeObject* type) {
  note_watched_change();
  for (ModuleState* st : live_states()) {
    if (st->lb_type == type) st->lb_type_pristine = false;
    if (st->std_lock_type == reinterpret_cast<PyObject*>(type)) st->lock_type_pristine = false;
    if (st->lease_type == type) st->lease_type_pristine = false;
  }
  return 0;
}

// Any change to the module's namespace or to the time module's retires the
// facts read from them.
int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  note_watched_change();
  return 0;
}

void forget_state(ModuleState* st) {
  auto& v = live_states();
  std::erase(v, st);
}

void add(PyObject* module, const char* name, Ref value) {
  check(PyModule_Add(module, name, value.release()));
}

Ref import(const char* name) { return check(PyImport_ImportModule(name)); }

Ref attr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }

Ref function(PyObject* module, PyMethodDef* def) {
  return check(PyCMethod_New(def, module, PyModule_GetNameObject(module), nullptr));
}

// Reads one setting with the given reader into the module.
void read_setting(PyObject* module, const char* attr_name, const char* reader, const char* env,
                  Ref dflt) {
  Ref fn = check(PyObject_GetAttrString(module, reader));
  Ref name = new_str(env);
  PyObject* args[] = {name.get(), dflt.get()};
  add(module, attr_name, check(PyObject_Vectorcall(fn.get(), args, 2, nullptr)));
}

Ref frozenset_of(std::initializer_list<const char*> names) {
  Ref list = check(PyList_New(0));
  for (const char* n : names) check(PyList_Append(list.get(), new_str(n).get()));
  return check(PyFrozenSet_New(list.get()));
}

// _Waiter: a dataclass built like the class statement would build it.
Ref make_waiter_class(PyObject* module, PyObject* mod_name) {
  Ref typing_any = check(PyObject_GetAttrString(module, "Any"));
  Ref ns = check(PyDict_New());
  check(PyDict_SetItemString(ns.get(), "__module__", mod_name));
  check(PyDict_SetItemString(ns.get(), "__qualname__", new_str("_Waiter").get()));
  check(PyDict_SetItemString(
      ns.get(), "__doc__",
      new_str("One queued request, parked across an eligible candidate set.").get()));
  Ref ann = check(PyDict_New());
  Ref pool_key_t = attr(module, "PoolKey");
  Ref list_t = attr(module, "List");
  Ref dict_t = attr(module, "Dict");
  Ref asyncio = attr(module, "asyncio");
  Ref dict_str_any = check(PyObject_GetItem(
      dict_t.get(), check(PyTuple_Pack(2, (PyObject*)&PyUnicode_Type, typing_any.get())).get()));
  Ref list_dict = check(PyObject_GetItem(list_t.get(), dict_str_any.get()));
  check(PyDict_SetItemString(ann.get(), "pool_key", pool_key_t.get()));
  check(PyDict_SetItemString(ann.get(), "candidates", list_dict.get()));
  check(PyDict_SetItemString(ann.get(), "estimated_tokens", (PyObject*)&PyLong_Type));
  check(PyDict_SetItemString(ann.get(), "future", attr(asyncio.get(), "Future").get()));
  check(PyDict_SetItemString(ann.get(), "queued_at", (PyObject*)&PyFloat_Type));
  check(PyDict_SetItemString(ann.get(), "boost_after_sec", (PyObject*)&PyFloat_Type));
  check(PyDict_SetItemString(ns.get(), "__annotations__", ann.get()));
  check(PyDict_SetItemString(ns.get(), "boost_after_sec", new_float(0.0).get()));
  Ref cls = check(PyObject_CallFunction((PyObject*)&PyType_Type, "s()O", "_Waiter", ns.get()));
  Ref fn = function(module, &waiter_is_boosted_def);
  Ref meth = check(PyInstanceMethod_New(fn.get()));
  check(PyObject_SetAttrString(cls.get(), "is_boosted", meth.get()));
  Ref dataclass = attr(module, "dataclass");
  return call1(dataclass.get(), cls.get());
}

Ref make_reject_reason(PyObject* mod_name) {
  Ref ns = check(PyDict_New());
  check(PyDict_SetItemString(ns.get(), "__module__", mod_name));
  check(PyDict_SetItemString(ns.get(), "__qualname__", new_str("RejectReason").get()));
  check(PyDict_SetItemString(ns.get(), "__doc__",
                             new_str("Why a request was refused; keys the rejection counters.")
                                 .get()));
  const char* const pairs[][2] = {{"NONE", "none"},
                                  {"QUEUE_FULL", "queue_full"},
                                  {"QUEUE_TIMEOUT", "queue_timeout"},
                                  {"NO_BACKENDS", "no_backends"},
                                  {"TOO_LARGE", "too_large"},
                                  {"AT_CAPACITY", "at_capacity"}};
  for (auto& p : pairs) check(PyDict_SetItemString(ns.get(), p[0], new_str(p[1]).get()));
  return check(PyObject_CallFunction((PyObject*)&PyType_Type, "s()O", "RejectReason", ns.get()));
}

void exec_module(PyObject* module) {
  // The watchers and caches of the module are the main interpreter's.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    raise(PyExc_ImportError, "varnhold can be imported only in the main interpreter");
  }
  ModuleState* st = module_state(module);
  st->module = module;
  st->module_dict = PyModule_GetDict(module);
  if (!intern_names(st)) throw PyError();

  {
    Ref builtins = import("builtins");
    st->std_import = attr(builtins.get(), "__import__").release();
  }

  // 1. The standard facilities.
  Ref asyncio = import("asyncio");
  st->std_asyncio = Py_NewRef(asyncio.get());
  st->std_lock_type = attr(asyncio.get(), "Lock").release();
  add(module, "asyncio", std::move(asyncio));
  Ref logging = import("logging");
  Ref getLogger = attr(logging.get(), "getLogger");
  add(module, "logging", std::move(logging));
  add(module, "os", import("os"));
  Ref time = import("time");
  st->std_time = Py_NewRef(time.get());
  st->std_monotonic = attr(time.get(), "monotonic").release();
  st->std_time_time = attr(time.get(), "time").release();
  add(module, "time", std::move(time));
  Ref collections = import("collections");
  Ref deque = attr(collections.get(), "deque");
  st->std_deque = Py_NewRef(deque.get());
  add(module, "deque", std::move(deque));
  Ref dataclasses = import("dataclasses");
  add(module, "dataclass", attr(dataclasses.get(), "dataclass"));
  add(module, "field", attr(dataclasses.get(), "field"));
  Ref typing = import("typing");
  for (const char* n : {"Any", "Awaitable", "Callable", "Deque", "Dict", "FrozenSet", "List",
                        "Optional", "Tuple"}) {
    add(module, n, attr(typing.get(), n));
  }

  // 2. The logger, named after the module's import name.
  Ref mod_name = check(PyModule_GetNameObject(module));
  add(module, "logger", call1(getLogger.get(), mod_name.get()));

  // 3. PoolKey = Tuple[str, FrozenSet[int], str]
  Ref frozen_int = check(PyObject_GetItem(attr(module, "FrozenSet").get(), (PyObject*)&PyLong_Type));
  Ref key_args = check(PyTuple_Pack(3, (PyObject*)&PyUnicode_Type, frozen_int.get(),
                                    (PyObject*)&PyUnicode_Type));
  add(module, "PoolKey", check(PyObject_GetItem(attr(module, "Tuple").get(), key_args.get())));

  // 4. The readers.
  add(module, "_env_bool", function(module, &env_bool_def));
  add(module, "_env_int", function(module, &env_int_def));
  add(module, "_env_float", function(module, &env_float_def));

  // 5. Queue and pool settings.
  read_setting(module, "QUEUE_ENABLED", "_env_bool", "QUORVANE_LB_QUEUE_ENABLED",
               Ref::borrow(Py_False));
  read_setting(module, "QUEUE_TTL_SEC", "_env_float", "QUORVANE_LB_QUEUE_TTL_SEC", new_float(30.0));
  read_setting(module, "QUEUE_MAX_DEPTH_MULTIPLIER", "_env_int",
               "QUORVANE_LB_QUEUE_MAX_DEPTH_MULTIPLIER", new_int(4));
  read_setting(module, "QUEUE_DEADLINE_BOOST_SEC", "_env_float",
               "QUORVANE_LB_QUEUE_DEADLINE_BOOST_SEC", new_float(10.0));
  read_setting(module, "POOL_LRU_TTL_SEC", "_env_float", "QUORVANE_LB_POOL_LRU_TTL_SEC",
               new_float(300.0));

  // 6. Image token cost.
  add(module, "_DEFAULT_IMAGE_TOKEN_COST", new_int(2048));
  read_setting(module, "IMAGE_TOKEN_COST", "_env_int", "QUORVANE_LB_IMAGE_TOKENS",
               attr(module, "_DEFAULT_IMAGE_TOKEN_COST"));

  // 7. Routing modes.
  add(module, "ROUTING_MODE_SUPERFAST", new_str("superfast"));
  add(module, "ROUTING_MODE_HYBRID", new_str("hybrid"));
  add(module, "ROUTING_MODE_MAX_CONCURRENCY", new_str("max_concurrency"));
  add(module, "ROUTING_MODE_QUEUE_ALL", new_str("queue_all"));
  add(module, "DEFAULT_ROUTING_MODE", attr(module, "ROUTING_MODE_SUPERFAST"));
  add(module, "VALID_ROUTING_MODES",
      frozenset_of({"superfast", "hybrid", "max_concurrency", "queue_all"}));

  // 8. Capacity settings.
  read_setting(module, "SUPERFAST_PER_SERVER_CAP", "_env_int", "QUORVANE_LB_SUPERFAST_CAP",
               new_int(4));
  read_setting(module, "HYBRID_INFLIGHT_THRESHOLD", "_env_int", "QUORVANE_LB_HYBRID_INFLIGHT",
               new_int(10));
  read_setting(module, "HYBRID_RATE_THRESHOLD", "_env_float", "QUORVANE_LB_HYBRID_RATE",
               new_float(10.0));
  read_setting(module, "HYBRID_RATE_WINDOW_SEC", "_env_float", "QUORVANE_LB_HYBRID_WINDOW_SEC",
               new_float(5.0));
  read_setting(module, "HYBRID_HOT_EXIT_RATIO", "_env_float", "QUORVANE_LB_HYBRID_HOT_EXIT_RATIO",
               new_float(0.8));
  read_setting(module, "QUEUE_ALL_DEPTH_MULTIPLIER", "_env_int",
               "QUORVANE_LB_QUEUE_ALL_DEPTH_MULTIPLIER", new_int(1000));
  read_setting(module, "QUEUE_ALL_TTL_SEC", "_env_float", "QUORVANE_LB_QUEUE_ALL_TTL_SEC",
               new_float(600.0));

  // 9. - 11. Normalisers and the algorithm table.
  add(module, "normalize_routing_mode", function(module, &normalize_routing_mode_def));
  add(module, "LB_ALGO_WRR", new_str("weighted_round_robin"));
  add(module, "LB_ALGO_LEAST_CONN", new_str("least_connections"));
  add(module, "LB_ALGO_STICKY", new_str("sticky_session"));
  add(module, "DEFAULT_LB_ALGORITHM", attr(module, "LB_ALGO_WRR"));
  add(module, "VALID_LB_ALGORITHMS",
      frozenset_of({"weighted_round_robin", "least_connections", "sticky_session"}));
  Ref normalizer = function(module, &normalize_lb_algorithm_def);
  st->std_normalize_lb_algorithm = Py_NewRef(normalizer.get());
  add(module, "normalize_lb_algorithm", std::move(normalizer));

  // 12. - 13. The record type and the reasons.
  Ref waiter_cls = make_waiter_class(module, mod_name.get());
  st->waiter_type = Py_NewRef(waiter_cls.get());
  auto* waiter_tp = reinterpret_cast<PyTypeObject*>(waiter_cls.get());
  st->waiter_version = PyUnstable_Type_AssignVersionTag(waiter_tp) ? waiter_tp->tp_version_tag : 0;
  add(module, "_Waiter", std::move(waiter_cls));
  add(module, "RejectReason", make_reject_reason(mod_name.get()));

  // 14. - 15. The classes.
  st->coroutine_type = reinterpret_cast<PyTypeObject*>(
      check(PyType_FromModuleAndSpec(module, &coroutine_spec, nullptr)).release());
  // The classes belong to the module under its import name.
  Ref lb_type = check(PyType_FromModuleAndSpec(module, &lb_spec, nullptr));
  check(PyObject_SetAttrString(lb_type.get(), "__module__", mod_name.get()));
  st->lb_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(lb_type.get()));
  add(module, "LoadBalancer", std::move(lb_type));
  Ref lease_type = check(PyType_FromModuleAndSpec(module, &lease_spec, nullptr));
  check(PyObject_SetAttrString(lease_type.get(), "__module__", mod_name.get()));
  st->lease_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(lease_type.get()));
  st->lease_type->tp_vectorcall = lease_vectorcall;
  add(module, "InflightLease", std::move(lease_type));

  // 16. - 17. The functions.
  add(module, "estimate_request_tokens", function(module, &estimate_request_tokens_def));
  add(module, "inflight_reaper_loop", function(module, &inflight_reaper_loop_def));

  if (type_watcher_id < 0) type_watcher_id = check(PyType_AddWatcher(on_type_modified));
  check(PyType_Watch(type_watcher_id, reinterpret_cast<PyObject*>(st->lb_type)));
  st->lb_type_pristine = true;
  check(PyType_Watch(type_watcher_id, st->std_lock_type));
  st->lock_type_pristine = true;
  check(PyType_Watch(type_watcher_id, reinterpret_cast<PyObject*>(st->lease_type)));
  st->lease_type_pristine = true;
  if (dict_watcher_id < 0) dict_watcher_id = check(PyDict_AddWatcher(on_dict_event));
  st->dict_watcher = dict_watcher_id;
  check(PyDict_Watch(dict_watcher_id, st->module_dict));
  check(PyDict_Watch(dict_watcher_id, PyModule_GetDict(st->std_time)));
  note_watched_change();
  live_states().push_back(st);
}

int module_exec(PyObject* module) {
  return guard_int([&] { exec_module(module); });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = module_state(module);
  if (!st) return 0;
  Py_VISIT(st->lb_type);
  Py_VISIT(st->lease_type);
  Py_VISIT(st->coroutine_type);
  Py_VISIT(st->std_time);
  Py_VISIT(st->std_monotonic);
  Py_VISIT(st->std_time_time);
  Py_VISIT(st->std_deque);
  Py_VISIT(st->std_asyncio);
  Py_VISIT(st->std_lock_type);
  Py_VISIT(st->std_blake2b);
  Py_VISIT(st->plain_key_seen);
  Py_VISIT(st->std_import);
  Py_VISIT(st->waiter_type);
  Py_VISIT(st->std_normalize_lb_algorithm);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* st = module_state(module);
  if (!st) return 0;
  forget_state(st);
  Py_CLEAR(st->lb_type);
  Py_CLEAR(st->lease_type);
  Py_CLEAR(st->coroutine_type);
  Py_CLEAR(st->std_time);
  Py_CLEAR(st->std_monotonic);
  Py_CLEAR(st->std_time_time);
  Py_CLEAR(st->std_deque);
  Py_CLEAR(st->std_asyncio);
  Py_CLEAR(st->std_lock_type);
  Py_CLEAR(st->std_blake2b);
  Py_CLEAR(st->plain_key_seen);
  Py_CLEAR(st->std_import);
  Py_CLEAR(st->waiter_type);
  Py_CLEAR(st->std_normalize_lb_algorithm);
  clear_names(st);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "varnhold",
    "The load balancer of the inference proxy: backend selection, capacity caps, "
    "parked requests, in-flight leases and reports.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace varnhold

PyMODINIT_FUNC PyInit_varnhold(void) { return PyModuleDef_Init(&varnhold::module_def); }
