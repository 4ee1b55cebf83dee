// The small rules that more than one operation applies, each written once:
// the fixed sizes and floors of the state, and the readings of a backend
// record that the drain rule, the picks and the caps share.
#pragma once

#include "varnhold/module_state.h"
#include "varnhold/py.h"

namespace varnhold {

// Recent queue waits kept for the reports (queue_wait_samples' maxlen).
inline constexpr Py_ssize_t kWaitSamples = 512;
// Dispatch times kept per pool (each _pool_dispatch_windows deque's maxlen).
inline constexpr Py_ssize_t kDispatchWindow = 4096;
// The rate window is never shorter than this (seconds).
inline constexpr double kRateWindowFloor = 0.5;
// The age of the oldest dispatch divides the count, floored at this (seconds).
inline constexpr double kRateAgeFloor = 0.001;
// The snapshot reports a 95th percentile only from this many samples on.
inline constexpr Py_ssize_t kP95MinSamples = 20;

}  // namespace varnhold
