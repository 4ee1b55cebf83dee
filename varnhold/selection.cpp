// Backend selection: the per-request chain of forced server, drain rule,
// sin-bin set and capacity gate, then one pick; the winner's dispatch is
// booked exactly once.
//
// select takes the fast road (fast_road.h) when it can; these are the steps
// as the Python form runs them, for every other case.
#include "varnhold/coro.h"
#include "varnhold/fast_road.h"
#include "varnhold/load_balancer.h"
#include "varnhold/pynum.h"
#include "varnhold/rules.h"
#include "varnhold/settings.h"

namespace varnhold {

namespace {

// Slots of the select coroutine.
enum SelectSlot : int {
  kSelf,
  kPoolKey,
  kCandidates,
  kForceServerId,
  kSinBinned,
  kAlgorithm,
  kStickyKey,
  kEligible,  // the eligible list, kept across the round-robin pick
  kPick,      // the awaited round-robin pick
  kSlotCount
};
static_assert(slots_fit<kSlotCount>());

Ref none() { return Ref::borrow(Py_None); }

// 3. The first candidate whose "id" (None when missing) equals the forced
// id, booked and returned as it is; None when no candidate has it.
Ref forced_server(LB* self, PyObject* pool_key, PyObject* candidates, PyObject* force) {
  ModuleState* st = self->st;
  Ref hit;
  for_each_item(candidates, [&](PyObject* rec) {
    Ref rid = dict_get(rec, st->s_id, st->s_get);
    if (!py_eq(rid ? rid.get() : Py_None, force)) return false;
    hit = Ref::borrow(rec);
    return true;
  });
  if (!hit) return none();
  record_dispatch_via_self(self, pool_key, hit.get());
  return hit;
}

// 4.-5. The candidates that are not drained, or all of them when every one
// is: `[s for s in candidates if (s.get("weight") or 0.0) > 0.0] or candidates`.
Ref effective_list(ModuleState* st, PyObject* candidates) {
  Ref non_drained = check(PyList_New(0));
  for_each_item(candidates, [&](PyObject* rec) {
    if (not_drained(record_field(rec, st->s_weight, st->s_get))) {
      check(PyList_Append(non_drained.get(), rec));
    }
    return false;
  });
  if (PyList_GET_SIZE(non_drained.get()) > 0) return non_drained;
  return Ref::borrow(candidates);
}

// 6. The eligible list: `[s for s in effective if s["id"] not in sin_binned
// and self._under_capacity(s, effective, pool_key=pool_key)]`, the gate's
// pool being the whole effective list. sin_binned NULL: the empty set.
Ref eligible_list(LB* self, PyObject* pool_key, PyObject* effective, PyObject* sin_binned) {
  ModuleState* st = self->st;
  Ref no_sin_bin;
  if (!sin_binned) sin_binned = (no_sin_bin = check(PySet_New(nullptr))).get();
  Ref eligible = check(PyList_New(0));
  for_each_item(effective, [&](PyObject* rec) {
    Ref sid = getitem(rec, st->s_id);
    if (check(PySequence_Contains(sin_binned, sid.get()))) return false;
    if (under_capacity_via_self(self, rec, effective, pool_key)) {
      check(PyList_Append(eligible.get(), rec));
    }
    return false;
  });
  return eligible;
}

// normalize_lb_algorithm(algorithm), the function as the module binds it now.
Ref normalized_algorithm(ModuleState* st, PyObject* algorithm) {
  Ref fn = module_attr(st, st->s_normalize_lb_algorithm);
  if (fn.get() == st->std_normalize_lb_algorithm) return normalize_lb_algorithm(st, algorithm);
  return call1(fn.get(), algorithm);
}

// 8. The pick of the normalised algorithm: sticky with a true sticky key,
// least-connections, or round-robin; the names as the module binds them.
Pick chosen_pick(ModuleState* st, PyObject* algorithm, PyObject* sticky_key) {
  Ref algo = normalized_algorithm(st, algorithm);
  Ref sticky = module_attr(st, st->s_LB_ALGO_STICKY);
  if (py_eq(algo.get(), sticky.get()) && truthy(sticky_key)) return Pick::kSticky;
  Ref least = module_attr(st, st->s_LB_ALGO_LEAST_CONN);
  if (py_eq(algo.get(), least.get())) return Pick::kLeastConnections;
  return Pick::kRoundRobin;
}

// The winner of the pick over f[kEligible]; empty when the round-robin pick
// is left to await in f[kPick].
Ref start_pick(LB* self, Pick pick, CoroFrame& f) {
  switch (pick) {
    case Pick::kSticky:
      return sticky_lookup_via_self(self, f[kEligible], f[kStickyKey]);
    case Pick::kLeastConnections:
      return least_connections_pick_via_self(self, f[kEligible]);
    case Pick::kRoundRobin:
      break;
  }
  Ref winner;
  if (!wrr_pick_at_once(self, f[kPoolKey], f[kEligible], &winner)) {
    f.set(kPick, wrr_pick_via_self(self, f[kPoolKey], f[kEligible]));
  }
  return winner;
}

Coro select_body(CoroFrame& f) {
  LB* self = as_lb(f[kSelf]);
  // 1. sin_binned = sin_binned or set(): NULL for the empty set.
  PyObject* sin_binned = truthy(f[kSinBinned]) ? f[kSinBinned] : nullptr;
  // 2. No candidates, nothing to choose (a forced id included).
  if (!truthy(f[kCandidates])) co_return none();
  // 3. A forced server.
  if (f[kForceServerId] != Py_None) {
    co_return forced_server(self, f[kPoolKey], f[kCandidates], f[kForceServerId]);
  }
  Pick pick;
  FastSelect fast = select_on_fast_road(self, f[kPoolKey], f[kCandidates], sin_binned,
                                        f[kAlgorithm], f[kStickyKey]);
  switch (fast.outcome) {
    case FastSelect::kNoneEligible:
      co_return none();
    case FastSelect::kBooked:
      co_return std::move(fast.winner);
    case FastSelect::kGeneralPick:
      f.set(kEligible, std::move(fast.eligible));
      pick = fast.pick;
      break;
    case FastSelect::kGeneralChoice:
      f.set(kEligible, std::move(fast.eligible));
      pick = chosen_pick(self->st, f[kAlgorithm], f[kStickyKey]);
      break;
    case FastSelect::kDeclined: {
      // 4.-7. The eligible list; nothing eligible, nothing chosen.
      Ref effective = effective_list(self->st, f[kCandidates]);
      f.set(kEligible, eligible_list(self, f[kPoolKey], effective.get(), sin_binned));
      if (PyList_GET_SIZE(f[kEligible]) == 0) co_return none();
      // 8. The algorithm's pick.
      pick = chosen_pick(self->st, f[kAlgorithm], f[kStickyKey]);
      break;
    }
  }
  Ref winner = start_pick(self, pick, f);
  if (!winner) winner = co_await py_await(f[kPick]);
  // 9. Book the winner, once.
  record_dispatch_via_self(self, f[kPoolKey], winner.get());
  co_return winner;
}

}  // namespace

Ref select(LB* self, PyObject* pool_key, PyObject* candidates, PyObject* /*estimated_tokens*/,
           PyObject* force_server_id, PyObject* sin_binned, PyObject* algorithm,
           PyObject* sticky_key) {
  return make_coroutine(self->st, self->st->q_select,
                        {as_obj(self), pool_key, candidates, force_server_id, sin_binned,
                         algorithm, sticky_key},
                        select_body);
}

}  // namespace varnhold
