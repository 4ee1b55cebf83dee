// The fast road of a request: select (and the round-robin and sticky picks)
// done on C numbers read once from the records, with the rules of rules.h
// that the general road uses too.
//
// It is taken only when nothing that it reads can run Python code, so that
// reading once and computing in C differs in nothing a caller can see:
//   - the balancer is the module's own class, unmodified (own_methods());
//   - its state containers are exact dicts and the pool's window an exact
//     deque; the pool key, the sin-bin set and the arguments are builtin
//     values (immutable_key(), pynum.h);
//   - every candidate is an exact dict with exact str keys, an exact int id
//     and machine numbers (pynum.h) for its weight, cap and in-flight count;
//   - the settings, the mode names and the algorithm names, as the namespace
//     holds them (NamespaceFacts), are machine numbers and exact str;
//   - the clock is the time module's own monotonic clock.
// One clock reading then stands for all the readings of one select (the
// gate's tests, the pick, the booking): nothing can run between them.
// Anything else takes the general road, which follows the operations step
// by step. The fast road declines before it has changed anything the general
// road would not change alike (only the trimming of the pool's window can
// precede a decline, and the general road then trims the same entries).
#pragma once

#include "varnhold/load_balancer.h"

namespace varnhold {

// The pick that select's algorithm names.
enum class Pick { kSticky, kLeastConnections, kRoundRobin };

// What the fast road made of one select, after its forced-server step.
struct FastSelect {
  enum Outcome {
    kDeclined,     // nothing done: take the general road
    kNoneEligible, // no candidate eligible: select returns None
    kBooked,       // winner chosen and booked
    kGeneralPick,  // eligible set made; `pick` runs on the general road
    kGeneralChoice,  // eligible set made; steps 8 and 9 run on the general road
  };
  Outcome outcome = kDeclined;
  Ref winner;     // kBooked
  Ref eligible;   // kGeneral*: a new list of the eligible records
  Pick pick = Pick::kRoundRobin;  // kGeneralPick
};

// Steps 4 to 9 of select on the fast road. sin_binned is NULL when the
// sin-bin set is empty (a false one).
FastSelect select_on_fast_road(LB* self, PyObject* pool_key, PyObject* candidates,
                               PyObject* sin_binned, PyObject* algorithm, PyObject* sticky_key);

// _wrr_pick(pool_key, eligible) finished at once when the pool's lock is
// there already (the pick would not create it) and wrr_pick_now() holds.
bool wrr_pick_at_once(LB* self, PyObject* pool_key, PyObject* eligible, Ref* winner);

// The round-robin pick finished at once: when the pool lock `lock` is an idle
// asyncio.Lock (nobody holds it, nobody waits) and nothing in the step under
// it can run Python code, taking and giving back the lock around the step
// changes nothing anyone can see. False, with nothing done, when that does
// not hold.
bool wrr_pick_now(LB* self, PyObject* pool_key, PyObject* eligible, PyObject* lock, Ref* winner);

// The sticky lookup's scores computed here, with the interpreter's own
// BLAKE2b: when `hashlib` is the hash module whose blake2b is the
// interpreter's, the key is an exact str or int, and `eligible` an exact
// list of exact dicts with exact int or str ids. False, with nothing done,
// otherwise.
bool sticky_lookup_now(ModuleState* st, PyObject* hashlib, PyObject* eligible,
                       PyObject* sticky_key, Ref* winner);

// The steps of the sticky lookup on the general road (picks.cpp) that the fast
// road continues with when it cannot finish the lookup itself.
// `import hashlib` as the lookup runs it.
Ref import_hashlib(ModuleState* st);
// Its steps 3 and 4 once hashlib is imported: max(eligible, key=_hrw).
Ref sticky_winner(ModuleState* st, PyObject* hashlib, PyObject* eligible, PyObject* sticky_key);

}  // namespace varnhold
