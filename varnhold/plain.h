// The fast road of one select: when the balancer is plain and the records
// are dicts of small ints and floats, each record is read once into C
// numbers, and the gate and the picks work on those. No Python code can run
// on this road, so doing the same arithmetic in C is invisible; anything
// else takes the general road, which follows the operations step by step.
#pragma once

#include <vector>

#include "varnhold/load_balancer.h"

namespace varnhold {

struct PlainRecord {
  PyObject* record;      // borrowed: the list holds it
  PyObject* id;          // borrowed: the record holds it
  long long id_value;
  double weight;         // as the picks read it: float(w or 1.0)
  bool positive;         // not drained: (w or 0.0) > 0.0
  long long count;       // inflight.get(id, 0)
  long long configured;  // int(max_concurrency or 0)
};

// Reads every record of an exact list; false when one is not plain (nothing
// is changed either way). With for_gate, the in-flight count and the
// configured cap are read too.
bool read_plain_records(LB* self, PyObject* list, std::vector<PlainRecord>& out, bool for_gate);

// True while the module's time.monotonic is the original.
bool real_monotonic(ModuleState* st);

// The capacity tests of one select's walk over plain records (capacity_gate.cpp).
class PlainGate {
 public:
  PlainGate(LB* self, PyObject* pool_key) noexcept : self_(self), key_(pool_key) {}
  // Checks the settings and the pool's window before anything is changed;
  // false when they are not plain.
  bool ready();
  // `_under_capacity(rec, pool, pool_key=key)` for the record at index i of
  // the pool; the first test computes the pool's figures.
  bool under_capacity(const std::vector<const PlainRecord*>& pool, const PlainRecord& rec);
  // A figure could not be computed in C: later tests must take the general road.
  bool lost() const noexcept { return lost_; }

 private:
  LB* self_;
  PyObject* key_;
  int mode_ = -1;
  bool have_figures_ = false, lost_ = false;
  long long sum_ = 0;
  double rate_ = 0.0;
  double superfast_ = 0.0, ratio_ = 1.0, in_threshold_ = 0.0, rate_threshold_ = 0.0;
  double window_ = 0.5;
};

// Picks over plain records (picks.cpp). The round-robin pick is done at once
// only when the pool lock is idle and the pool's state is plain.
bool wrr_pick_plain(LB* self, PyObject* pool_key, const std::vector<const PlainRecord*>& recs,
                    Ref* winner);
Ref least_connections_plain(const std::vector<const PlainRecord*>& recs);
Ref sticky_lookup_records(LB* self, std::vector<Ref>& records, PyObject* sticky_key);

}  // namespace varnhold
