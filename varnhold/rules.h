// The rules that more than one operation applies, each written once: the
// fixed sizes and floors of the state, the readings of a backend record,
// the caps of the routing modes, the hybrid hysteresis and the dispatch rate.
//
// A rule that computes is a template over its number type N, called by both
// roads of a request: `double` on the fast road (fast_road.cpp), which holds
// only machine numbers (pynum.h); PyNum (pynum.h) on the general road, whose
// operators are the interpreter's. Comparisons, the argument order of max()
// and min() and the outcome with NaN are therefore the same on both roads.
// A setting or a record field reaches a rule as a callable: the general road
// reads it when the rule uses it, as the Python form reads it, and the fast
// road hands in what it read before.
//
// N provides the comparisons (a `Truth`: bool, or the result object as
// Python gives it), + - * /, truth(), to_int(), to_float() and Num<N>.
#pragma once

#include <cmath>

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

// ---- numbers ----

template <class N>
struct Num;  // the literals of N: integer(v), real(v), truth_value(b)

template <>
struct Num<double> {
  static double integer(long v) { return static_cast<double>(v); }
  static double real(double v) { return v; }
  static bool truth_value(bool v) { return v; }
};

inline bool truth(double v) { return !(v == 0.0); }  // NaN is true, as bool(nan)
// int(v) of a finite value: the fast road reads no others as caps.
inline double to_int(double v) { return std::trunc(v); }
inline double to_float(double v) { return v; }

// The builtins' max(a, b) and min(a, b): the second argument replaces the
// first only when strictly greater (smaller), so ties and a NaN keep `a`.
template <class N>
N builtin_max(const N& a, const N& b) {
  if (b > a) return b;
  return a;
}
template <class N>
N builtin_min(const N& a, const N& b) {
  if (b < a) return b;
  return a;
}

// `first or second()`: the first value when true, else the second.
template <class T, class F>
T either(T first, F&& second) {
  if (first) return first;
  return second();
}

// ---- readings of a backend record ----
// `value` is what record.get(key) gave (None for a missing key).

// int(value or 0): the operator's cap of a backend (0 or below: no cap).
template <class N>
N int_or_zero(const N& value) {
  if (truth(value)) return to_int(value);
  return Num<N>::integer(0);
}

// (weight or 0.0) > 0.0: the backend is not drained.
template <class N>
bool not_drained(const N& weight) {
  if (!truth(weight)) return false;
  if (weight > Num<N>::real(0.0)) return true;
  return false;
}

// float(weight or 1.0): the weight as the picks read it.
template <class N>
N pick_weight(const N& weight) {
  if (truth(weight)) return to_float(weight);
  return Num<N>::real(1.0);
}

// The least-connections score's first key: n / w if w > 0 else inf.
template <class N>
N load_ratio(const N& count, const N& weight) {
  if (weight > Num<N>::integer(0)) return count / weight;
  return Num<N>::real(INFINITY);
}

// ---- caps of the routing modes ----

// The mode as `_effective_cap_for` finds it: the first routing mode, in the
// order of kRoutingModeNames, that `equals(mode)` says the active one is.
template <class Equals>
RoutingMode routing_mode_of(Equals&& equals) {
  for (int m = 0; m < kRoutingModeCount; ++m) {
    if (equals(static_cast<RoutingMode>(m))) return static_cast<RoutingMode>(m);
  }
  return kOtherMode;
}

// _superfast_cap: max(1, cap) for an unset configured cap (0 or below),
// else max(1, min(configured, cap)); `cap()` reads SUPERFAST_PER_SERVER_CAP.
template <class N, class Setting>
N superfast_clamp(const N& configured, Setting&& cap) {
  if (configured <= Num<N>::integer(0)) return builtin_max(Num<N>::integer(1), cap());
  return builtin_max(Num<N>::integer(1), builtin_min(configured, cap()));
}

// _effective_cap_for once the configured cap is known: the superfast clamp,
// the configured cap while a hybrid pool is hot, or the configured cap.
// `caps` provides superfast(configured) and hybrid_hot().
template <class N, class Caps>
N cap_for_mode(RoutingMode mode, const N& configured, Caps& caps) {
  switch (mode) {
    case kSuperfast:
      return caps.superfast(configured);
    case kHybrid:
      if (caps.hybrid_hot()) return configured;
      return caps.superfast(configured);
    default:
      return configured;
  }
}

// The hybrid hysteresis, once the remembered state is known: a hot pool
// stays hot above either exit threshold (the thresholds times the exit ratio
// bounded to 0.0 .. 1.0, NaN giving 1.0); a cold one turns hot at either
// threshold; the rate is compared only when the in-flight test is false.
// `s` reads the settings: exit_ratio(), inflight_threshold(),
// rate_threshold(). The result is the deciding comparison's own value.
template <class N, class Settings>
auto hot_decision(bool was_hot, const N& inflight, const N& rate, Settings& s) {
  N ratio = builtin_max(Num<N>::real(0.0), builtin_min(Num<N>::real(1.0), s.exit_ratio()));
  N inflight_exit = s.inflight_threshold() * ratio;
  N rate_exit = s.rate_threshold() * ratio;
  if (was_hot) return either(inflight > inflight_exit, [&] { return rate > rate_exit; });
  return either(inflight >= s.inflight_threshold(), [&] { return rate >= s.rate_threshold(); });
}

// _under_capacity once the cap is known: no cap (0 or below), or the
// backend's in-flight count, read by `count()`, below it.
template <class N, class Count>
auto has_free_slot(const N& cap, Count&& count) -> decltype(cap < cap) {
  if (cap <= Num<N>::integer(0)) return Num<N>::truth_value(true);
  return count() < cap;
}

// ---- the recent dispatch rate ----

// now - max(0.5, window): dispatches before this have left the rate window;
// `window()` reads HYBRID_RATE_WINDOW_SEC.
template <class N, class Setting>
N rate_cutoff(const N& now, Setting&& window) {
  return now - builtin_max(Num<N>::real(kRateWindowFloor), window());
}

// A dispatch window W provides nonempty(), first() (win[0]), popleft() and
// count() (len(win)), each read when called.

// while win and win[0] < cutoff: win.popleft()
template <class W, class N>
void trim_window(W& win, const N& cutoff) {
  while (win.nonempty() && win.first() < cutoff) win.popleft();
}

// count / max(0.001, now - first()): per second since the oldest dispatch.
template <class N, class First>
N rate_since(const N& count, const N& now, First&& first) {
  N age = now - first();
  return count / builtin_max(Num<N>::real(kRateAgeFloor), age);
}

// One pool's rate from its window (None or empty: 0.0), trimmed first.
template <class W, class N>
N window_rate(W& win, const N& now, const N& cutoff) {
  if (!win.nonempty()) return Num<N>::real(0.0);
  trim_window(win, cutoff);
  if (!win.nonempty()) return Num<N>::real(0.0);
  N count = win.count();
  return rate_since(count, now, [&] { return win.first(); });
}

}  // namespace varnhold
