"""The load balancer written in plain Python: the reference that the compiled
`varnhold` module is compared against (tests/test_reentrancy.py).

Every operation reads its state, its settings and the module's names the way
this code reads them, at the moment it runs: a host (or a test) that replaces
a container, rebinds a module attribute or subclasses the balancer sees the
same effects in both. Where the compiled module had to choose something for
itself (how often a record's "id" is read, how the reaper stops), this code
makes the same choice.
"""

import asyncio
import logging
import os
import time
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Awaitable, Callable, Deque, Dict, FrozenSet, List, Optional, Tuple

logger = logging.getLogger(__name__)

PoolKey = Tuple[str, FrozenSet[int], str]


def _env_bool(name: str, default: bool = False) -> bool:
    raw = os.environ.get(name, "")
    if not raw:
        return default
    return raw.strip().lower() in ("1", "true", "yes", "on")


def _env_int(name: str, default: int) -> int:
    try:
        return int(os.environ.get(name) or default)
    except ValueError:
        return default


def _env_float(name: str, default: float) -> float:
    try:
        return float(os.environ.get(name) or default)
    except ValueError:
        return default


QUEUE_ENABLED = _env_bool("QUORVANE_LB_QUEUE_ENABLED", False)
QUEUE_TTL_SEC = _env_float("QUORVANE_LB_QUEUE_TTL_SEC", 30.0)
QUEUE_MAX_DEPTH_MULTIPLIER = _env_int("QUORVANE_LB_QUEUE_MAX_DEPTH_MULTIPLIER", 4)
QUEUE_DEADLINE_BOOST_SEC = _env_float("QUORVANE_LB_QUEUE_DEADLINE_BOOST_SEC", 10.0)
POOL_LRU_TTL_SEC = _env_float("QUORVANE_LB_POOL_LRU_TTL_SEC", 300.0)

_DEFAULT_IMAGE_TOKEN_COST = 2048
IMAGE_TOKEN_COST = _env_int("QUORVANE_LB_IMAGE_TOKENS", _DEFAULT_IMAGE_TOKEN_COST)

ROUTING_MODE_SUPERFAST = "superfast"
ROUTING_MODE_HYBRID = "hybrid"
ROUTING_MODE_MAX_CONCURRENCY = "max_concurrency"
ROUTING_MODE_QUEUE_ALL = "queue_all"
DEFAULT_ROUTING_MODE = ROUTING_MODE_SUPERFAST
VALID_ROUTING_MODES = frozenset({
    ROUTING_MODE_SUPERFAST, ROUTING_MODE_HYBRID, ROUTING_MODE_MAX_CONCURRENCY,
    ROUTING_MODE_QUEUE_ALL,
})

SUPERFAST_PER_SERVER_CAP = _env_int("QUORVANE_LB_SUPERFAST_CAP", 4)
HYBRID_INFLIGHT_THRESHOLD = _env_int("QUORVANE_LB_HYBRID_INFLIGHT", 10)
HYBRID_RATE_THRESHOLD = _env_float("QUORVANE_LB_HYBRID_RATE", 10.0)
HYBRID_RATE_WINDOW_SEC = _env_float("QUORVANE_LB_HYBRID_WINDOW_SEC", 5.0)
HYBRID_HOT_EXIT_RATIO = _env_float("QUORVANE_LB_HYBRID_HOT_EXIT_RATIO", 0.8)
QUEUE_ALL_DEPTH_MULTIPLIER = _env_int("QUORVANE_LB_QUEUE_ALL_DEPTH_MULTIPLIER", 1000)
QUEUE_ALL_TTL_SEC = _env_float("QUORVANE_LB_QUEUE_ALL_TTL_SEC", 600.0)


def normalize_routing_mode(value: Optional[str]) -> str:
    if not value or not isinstance(value, str):
        return DEFAULT_ROUTING_MODE
    v = value.strip().lower()
    return v if v in VALID_ROUTING_MODES else DEFAULT_ROUTING_MODE


LB_ALGO_WRR = "weighted_round_robin"
LB_ALGO_LEAST_CONN = "least_connections"
LB_ALGO_STICKY = "sticky_session"
DEFAULT_LB_ALGORITHM = LB_ALGO_WRR
VALID_LB_ALGORITHMS = frozenset({LB_ALGO_WRR, LB_ALGO_LEAST_CONN, LB_ALGO_STICKY})


def normalize_lb_algorithm(value: Optional[str]) -> str:
    if not value or not isinstance(value, str):
        return DEFAULT_LB_ALGORITHM
    v = value.strip().lower()
    return v if v in VALID_LB_ALGORITHMS else DEFAULT_LB_ALGORITHM


@dataclass
class _Waiter:
    """One queued request, parked across an eligible candidate set."""

    pool_key: PoolKey
    candidates: List[Dict[str, Any]]
    estimated_tokens: int
    future: asyncio.Future
    queued_at: float
    boost_after_sec: float = 0.0

    def is_boosted(self, now: float) -> bool:
        return self.boost_after_sec > 0 and (now - self.queued_at) >= self.boost_after_sec


class RejectReason:
    NONE = "none"
    QUEUE_FULL = "queue_full"
    QUEUE_TIMEOUT = "queue_timeout"
    NO_BACKENDS = "no_backends"
    TOO_LARGE = "too_large"
    AT_CAPACITY = "at_capacity"


def _label(value):
    """A label value in the exposition format: backslash, double quote and
    line feed escaped, so that a reason from the host cannot break the text."""
    return f"{value}".replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


class LoadBalancer:
    def __init__(self) -> None:
        self.inflight: Dict[int, int] = {}
        self._wrr: Dict[PoolKey, Dict[int, float]] = {}
        self._locks: Dict[PoolKey, asyncio.Lock] = {}
        self._pool_last_access: Dict[PoolKey, float] = {}
        self._waiters: Dict[int, Deque[_Waiter]] = {}
        self._all_waiters: List[_Waiter] = []
        self.dispatch_counts: Dict[int, int] = {}
        self.last_dispatch_ts: Dict[int, float] = {}
        self.reject_counts: Dict[str, int] = {}
        self.queue_wait_samples: Deque[float] = deque(maxlen=512)
        self._routing_mode: str = DEFAULT_ROUTING_MODE
        self._pool_dispatch_windows: Dict[PoolKey, Deque[float]] = {}
        self._pool_hot_state: Dict[PoolKey, bool] = {}

    def set_routing_mode(self, mode: Optional[str]) -> str:
        resolved = normalize_routing_mode(mode)
        old = self._routing_mode
        if resolved != old:
            logger.info("Routing mode: %s -> %s", old, resolved)
        self._routing_mode = resolved
        return resolved

    def get_routing_mode(self) -> str:
        return self._routing_mode

    def queue_enabled(self) -> bool:
        if self._routing_mode == ROUTING_MODE_QUEUE_ALL:
            return True
        return QUEUE_ENABLED

    def queue_ttl_sec(self) -> float:
        if self._routing_mode == ROUTING_MODE_QUEUE_ALL:
            return QUEUE_ALL_TTL_SEC
        return QUEUE_TTL_SEC

    def queue_depth_multiplier(self) -> int:
        if self._routing_mode == ROUTING_MODE_QUEUE_ALL:
            return QUEUE_ALL_DEPTH_MULTIPLIER
        return QUEUE_MAX_DEPTH_MULTIPLIER

    def _superfast_cap(self, configured: int) -> int:
        if configured <= 0:
            return max(1, SUPERFAST_PER_SERVER_CAP)
        return max(1, min(configured, SUPERFAST_PER_SERVER_CAP))

    def _hybrid_hot(self, pool_key: Optional[PoolKey], pool_inflight: int,
                    pool_rate: float) -> bool:
        was_hot = bool(self._pool_hot_state.get(pool_key, False)) if pool_key else False
        ratio = max(0.0, min(1.0, HYBRID_HOT_EXIT_RATIO))
        inflight_exit = HYBRID_INFLIGHT_THRESHOLD * ratio
        rate_exit = HYBRID_RATE_THRESHOLD * ratio
        if was_hot:
            hot = pool_inflight > inflight_exit or pool_rate > rate_exit
        else:
            hot = pool_inflight >= HYBRID_INFLIGHT_THRESHOLD or pool_rate >= HYBRID_RATE_THRESHOLD
        if pool_key is not None and hot != was_hot:
            self._pool_hot_state[pool_key] = hot
        return hot

    def _effective_cap_for(self, server: Dict[str, Any], pool_inflight: int, pool_rate: float,
                           pool_key: Optional[PoolKey] = None) -> int:
        configured = int(server.get("max_concurrency") or 0)
        mode = self._routing_mode
        if mode == ROUTING_MODE_MAX_CONCURRENCY:
            return configured
        if mode == ROUTING_MODE_QUEUE_ALL:
            return configured
        if mode == ROUTING_MODE_SUPERFAST:
            return self._superfast_cap(configured)
        if mode == ROUTING_MODE_HYBRID:
            if self._hybrid_hot(pool_key, pool_inflight, pool_rate):
                return configured
            return self._superfast_cap(configured)
        return configured

    def effective_cap_for(self, server: Dict[str, Any],
                          pool_candidates: Optional[List[Dict[str, Any]]] = None,
                          pool_key: Optional[PoolKey] = None) -> int:
        if pool_candidates is None:
            pool_candidates = [server]
        pool_inflight = self._pool_inflight(pool_candidates)
        pool_rate = self._recent_dispatch_rate(pool_key)
        return self._effective_cap_for(server, pool_inflight, pool_rate, pool_key=pool_key)

    def _pool_inflight(self, candidates: List[Dict[str, Any]]) -> int:
        return sum(self.inflight.get(s["id"], 0) for s in candidates)

    def _recent_dispatch_rate(self, pool_key: Optional[PoolKey] = None) -> float:
        now = time.monotonic()
        cutoff = now - max(0.5, HYBRID_RATE_WINDOW_SEC)
        if pool_key is not None:
            win = self._pool_dispatch_windows.get(pool_key)
            if not win:
                return 0.0
            while win and win[0] < cutoff:
                win.popleft()
            if not win:
                return 0.0
            return len(win) / max(0.001, now - win[0])
        total = 0
        first = None
        for win in self._pool_dispatch_windows.values():
            while win and win[0] < cutoff:
                win.popleft()
            if win:
                total += len(win)
                first = win[0] if first is None else min(first, win[0])
        if first is None:
            return 0.0
        return total / max(0.001, now - first)

    def increment(self, server_id: int) -> int:
        self.inflight[server_id] = self.inflight.get(server_id, 0) + 1
        return self.inflight[server_id]

    def decrement(self, server_id: int) -> int:
        cur = self.inflight.get(server_id, 0)
        new = max(0, cur - 1)
        if new == 0 and server_id in self.inflight:
            del self.inflight[server_id]
        else:
            self.inflight[server_id] = new
        self._wake_one(server_id)
        return new

    def get_inflight(self, server_id: int) -> int:
        return self.inflight.get(server_id, 0)

    def force_clear(self, server_id: int) -> None:
        if server_id in self.inflight:
            count = self.inflight.pop(server_id)
            logger.warning("Force-cleared inflight=%d for server %s", count, server_id)

    def _lock_for(self, pool_key: PoolKey) -> asyncio.Lock:
        lk = self._locks.get(pool_key)
        if lk is None:
            lk = asyncio.Lock()
            self._locks[pool_key] = lk
        return lk

    def _evict_stale_pools(self) -> None:
        now = time.monotonic()
        cutoff = now - POOL_LRU_TTL_SEC
        stale = [pk for pk, last in self._pool_last_access.items() if last < cutoff]
        for pk in stale:
            self._wrr.pop(pk, None)
            self._pool_last_access.pop(pk, None)
            self._pool_dispatch_windows.pop(pk, None)
            self._pool_hot_state.pop(pk, None)
        if stale:
            logger.debug("Evicted %d stale LB pool entries (>%ds idle)", len(stale),
                         int(POOL_LRU_TTL_SEC))

    def _under_capacity(self, server: Dict[str, Any],
                        pool_candidates: Optional[List[Dict[str, Any]]] = None,
                        pool_key: Optional[PoolKey] = None) -> bool:
        if pool_candidates is None:
            pool_candidates = [server]
        pool_inflight = self._pool_inflight(pool_candidates)
        pool_rate = self._recent_dispatch_rate(pool_key)
        cap = self._effective_cap_for(server, pool_inflight, pool_rate, pool_key=pool_key)
        if cap <= 0:
            return True
        return self.inflight.get(server["id"], 0) < cap

    async def select(self, pool_key: PoolKey, candidates: List[Dict[str, Any]], *,
                     estimated_tokens: int = 0, force_server_id: Optional[int] = None,
                     sin_binned: Optional[set] = None, algorithm: Optional[str] = None,
                     sticky_key: Optional[str] = None) -> Optional[Dict[str, Any]]:
        sin_binned = sin_binned or set()
        if not candidates:
            return None
        if force_server_id is not None:
            for s in candidates:
                if s.get("id") == force_server_id:
                    self._record_dispatch(pool_key, s)
                    return s
            return None
        non_drained = [s for s in candidates if (s.get("weight") or 0.0) > 0.0]
        effective = non_drained or candidates
        eligible = [
            s for s in effective
            if s["id"] not in sin_binned and self._under_capacity(s, effective, pool_key=pool_key)
        ]
        if not eligible:
            return None
        algo = normalize_lb_algorithm(algorithm)
        if algo == LB_ALGO_STICKY and sticky_key:
            winner = self._sticky_lookup(eligible, sticky_key)
        elif algo == LB_ALGO_LEAST_CONN:
            winner = self._least_connections_pick(eligible)
        else:
            winner = await self._wrr_pick(pool_key, eligible)
        self._record_dispatch(pool_key, winner)
        return winner

    async def _wrr_pick(self, pool_key: PoolKey,
                        eligible: List[Dict[str, Any]]) -> Dict[str, Any]:
        lock = self._lock_for(pool_key)
        async with lock:
            state = self._wrr.setdefault(pool_key, {})
            total = 0.0
            picks = []
            for s in eligible:
                w = float(s.get("weight") or 1.0)
                total += w
                sid = s["id"]
                state[sid] = state.get(sid, 0.0) + w
                picks.append((s, sid))
            best, best_id = max(picks, key=lambda p: (state[p[1]], -p[1]))
            state[best_id] -= total
            keep = {sid for _, sid in picks}
            for sid in list(state):
                if sid not in keep:
                    del state[sid]
            self._pool_last_access[pool_key] = time.monotonic()
        return best

    def _least_connections_pick(self, eligible: List[Dict[str, Any]]) -> Dict[str, Any]:
        def _score(s: Dict[str, Any]) -> tuple:
            w = float(s.get("weight") or 1.0)
            sid = s["id"]
            n = self.inflight.get(sid, 0)
            return (n / w if w > 0 else float("inf"), n, sid)

        return min(eligible, key=_score)

    def _sticky_lookup(self, eligible: List[Dict[str, Any]],
                       sticky_key: str) -> Optional[Dict[str, Any]]:
        if not eligible:
            return None
        import hashlib

        def _hrw(s: Dict[str, Any]) -> int:
            text = f"{sticky_key!s}|{s['id']!s}"
            return int.from_bytes(hashlib.blake2b(text.encode("utf-8"), digest_size=8).digest(),
                                  "big")

        return max(eligible, key=_hrw)

    def _record_dispatch(self, pool_key: PoolKey, server: Dict[str, Any]) -> None:
        sid = server["id"]
        self.dispatch_counts[sid] = self.dispatch_counts.get(sid, 0) + 1
        now = time.monotonic()
        self.last_dispatch_ts[sid] = time.time()
        self._pool_last_access[pool_key] = now
        win = self._pool_dispatch_windows.get(pool_key)
        if win is None:
            win = deque(maxlen=4096)
            self._pool_dispatch_windows[pool_key] = win
        win.append(now)

    def filter_by_fit(self, candidates: List[Dict[str, Any]],
                      estimated_tokens: int) -> List[Dict[str, Any]]:
        if estimated_tokens <= 0:
            fit = list(candidates)
        else:
            fit = []
            for s in candidates:
                limit = s.get("max_input_tokens") or 0
                if limit == 0 or limit >= estimated_tokens:
                    fit.append(s)

        def _sort_key(s: Dict[str, Any]) -> tuple:
            limit = int(s.get("max_input_tokens") or 0)
            return (1 if limit == 0 else 0, limit, s["id"])

        fit.sort(key=_sort_key)
        return fit

    def _queue_capacity_for_pool(self, candidates: List[Dict[str, Any]]) -> int:
        total = sum(int(s.get("max_concurrency") or 0) for s in candidates)
        if total <= 0:
            return 0
        return total * max(1, self.queue_depth_multiplier())

    async def wait_for_slot(self, pool_key: PoolKey, candidates: List[Dict[str, Any]],
                            estimated_tokens: int, *, sin_binned: Optional[set] = None
                            ) -> Tuple[Optional[Dict[str, Any]], str, float]:
        if not self.queue_enabled():
            return None, "queue_disabled", 0.0
        sin_binned = sin_binned or set()
        non_drained = [s for s in candidates if (s.get("weight") or 0.0) > 0.0]
        effective = non_drained or candidates
        wait_set = [s for s in effective if s["id"] not in sin_binned]
        if not wait_set:
            reason = RejectReason.NO_BACKENDS
            self._bump_reject(reason)
            return None, reason, 0.0
        max_depth = self._queue_capacity_for_pool(wait_set)
        if max_depth > 0 and len(self._all_waiters) >= max_depth:
            reason = RejectReason.QUEUE_FULL
            self._bump_reject(reason)
            return None, reason, 0.0
        future = asyncio.get_running_loop().create_future()
        boost = 0.0 if self._routing_mode == ROUTING_MODE_QUEUE_ALL else QUEUE_DEADLINE_BOOST_SEC
        waiter = _Waiter(pool_key=pool_key, candidates=list(wait_set),
                         estimated_tokens=estimated_tokens, future=future,
                         queued_at=time.monotonic(), boost_after_sec=boost)

        def pass_on_handed_slot() -> None:
            if future.done() and not future.cancelled():
                self._wake_one(future.result()["id"])

        try:
            for s in wait_set:
                self._waiters.setdefault(s["id"], deque()).append(waiter)
            self._all_waiters.append(waiter)
            self._try_admit(waiter)
        except BaseException:
            self._remove_waiter(waiter)
            future.cancel()
            raise
        try:
            server = await asyncio.wait_for(future, timeout=self.queue_ttl_sec())
        except asyncio.TimeoutError:
            self._remove_waiter(waiter)
            pass_on_handed_slot()
            reason = RejectReason.QUEUE_TIMEOUT
            self._bump_reject(reason)
            return None, reason, time.monotonic() - waiter.queued_at
        except asyncio.CancelledError:
            self._remove_waiter(waiter)
            pass_on_handed_slot()
            raise
        except BaseException:
            self._remove_waiter(waiter)
            future.cancel()
            raise
        wait_seconds = time.monotonic() - waiter.queued_at
        self.queue_wait_samples.append(wait_seconds)
        return server, "ok", wait_seconds

    def _try_admit(self, waiter: _Waiter) -> None:
        if waiter.future.done():
            return
        for s in waiter.candidates:
            if self._under_capacity(s, waiter.candidates, pool_key=waiter.pool_key):
                self._fulfill(waiter, s)
                return

    def _wake_one(self, server_id: int) -> None:
        q = self._waiters.get(server_id)
        if not q:
            return
        pending = [w for w in q if not w.future.done()]
        if not pending:
            self._waiters.pop(server_id, None)
            return
        if self._routing_mode == ROUTING_MODE_QUEUE_ALL:
            pending.sort(key=lambda w: w.queued_at)
        else:
            now = time.monotonic()
            pending.sort(key=lambda w: (0, w.queued_at) if w.is_boosted(now)
                         else (1, w.estimated_tokens))
        for w in pending:
            for s in w.candidates:
                if s["id"] == server_id and self._under_capacity(s, w.candidates,
                                                                 pool_key=w.pool_key):
                    self._fulfill(w, s)
                    return

    def _fulfill(self, waiter: _Waiter, server: Dict[str, Any]) -> None:
        if waiter.future.done():
            return
        self._remove_waiter(waiter)
        self._record_dispatch(waiter.pool_key, server)
        waiter.future.set_result(server)

    def _remove_waiter(self, waiter: _Waiter) -> None:
        for s in waiter.candidates:
            q = self._waiters.get(s["id"])
            if q is None:
                continue
            try:
                q.remove(waiter)
            except ValueError:
                pass
            if not q:
                self._waiters.pop(s["id"], None)
        try:
            self._all_waiters.remove(waiter)
        except ValueError:
            pass

    def note_reject(self, reason: str) -> None:
        self._bump_reject(reason)

    def _bump_reject(self, reason: str) -> None:
        self.reject_counts[reason] = self.reject_counts.get(reason, 0) + 1

    def snapshot(self) -> Dict[str, Any]:
        self._evict_stale_pools()
        wait_samples = sorted(self.queue_wait_samples)
        n = len(wait_samples)
        p50 = wait_samples[n // 2] if n >= 1 else 0.0
        p95 = wait_samples[int(0.95 * n)] if n >= 20 else 0.0
        pools: Dict[str, Any] = {}
        out = {
            "routing_mode": self._routing_mode,
            "dispatch_rate_per_sec": round(self._recent_dispatch_rate(), 3),
            "superfast_cap": SUPERFAST_PER_SERVER_CAP,
            "hybrid_inflight_threshold": HYBRID_INFLIGHT_THRESHOLD,
            "hybrid_rate_threshold": HYBRID_RATE_THRESHOLD,
            "hybrid_hot_exit_ratio": HYBRID_HOT_EXIT_RATIO,
            "queue_enabled": self.queue_enabled(),
            "queue_ttl_sec": self.queue_ttl_sec(),
            "queue_depth_multiplier": self.queue_depth_multiplier(),
            "queue_deadline_boost_sec": QUEUE_DEADLINE_BOOST_SEC,
            "pool_lru_ttl_sec": POOL_LRU_TTL_SEC,
            "inflight": dict(self.inflight),
            "dispatch_counts": dict(self.dispatch_counts),
            "reject_counts": dict(self.reject_counts),
            "queue_total_waiters": len(self._all_waiters),
            "queue_wait_p50_sec": p50,
            "queue_wait_p95_sec": p95,
            "pools": pools,
        }
        for pk, state in self._wrr.items():
            model, clusters, tier = pk
            label = "|".join((model, ",".join(str(c) for c in sorted(clusters)), tier))
            pools[label] = {
                "wrr_current": dict(state),
                "idle_seconds": time.monotonic() - self._pool_last_access.get(pk, 0),
                "inflight_total": sum(c for sid, c in self.inflight.items() if sid in state),
                "dispatch_rate_per_sec": round(self._recent_dispatch_rate(pk), 3),
                "hybrid_hot": (self._pool_hot_state.get(pk, False)
                               if self._routing_mode == ROUTING_MODE_HYBRID else None),
            }
        return out

    def prometheus_text(self) -> str:
        lines = [
            "# HELP quorvane_lb_inflight Current in-flight requests per backend.",
            "# TYPE quorvane_lb_inflight gauge",
        ]
        for sid, count in self.inflight.items():
            lines.append(f'quorvane_lb_inflight{{server_id="{_label(sid)}"}} {count}')
        lines.append("# HELP quorvane_lb_dispatch_total Cumulative dispatches per backend.")
        lines.append("# TYPE quorvane_lb_dispatch_total counter")
        for sid, count in self.dispatch_counts.items():
            lines.append(f'quorvane_lb_dispatch_total{{server_id="{_label(sid)}"}} {count}')
        lines.append("# HELP quorvane_lb_rejected_total Requests rejected by the load balancer.")
        lines.append("# TYPE quorvane_lb_rejected_total counter")
        for reason, count in self.reject_counts.items():
            lines.append(f'quorvane_lb_rejected_total{{reason="{_label(reason)}"}} {count}')
        lines.append("# HELP quorvane_lb_queue_depth Number of waiters currently queued.")
        lines.append("# TYPE quorvane_lb_queue_depth gauge")
        lines.append(f"quorvane_lb_queue_depth {len(self._all_waiters)}")
        if self.queue_wait_samples:
            samples = sorted(self.queue_wait_samples)
            n = len(samples)
            lines.append("# HELP quorvane_lb_queue_wait_seconds Observed waiter wait times.")
            lines.append("# TYPE quorvane_lb_queue_wait_seconds summary")
            lines.append(f'quorvane_lb_queue_wait_seconds{{quantile="0.5"}} {samples[n // 2]:.4f}')
            lines.append(
                f'quorvane_lb_queue_wait_seconds{{quantile="0.95"}} {samples[int(0.95 * n)]:.4f}')
            lines.append(f"quorvane_lb_queue_wait_seconds_count {n}")
        return "\n".join(lines) + "\n"


class InflightLease:
    def __init__(self, lb: LoadBalancer, server_id: int) -> None:
        self.lb = lb
        self.server_id = server_id
        self._released = False

    def __enter__(self) -> "InflightLease":
        self.lb.increment(self.server_id)
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        if self._released:
            return None
        self.lb.decrement(self.server_id)
        self._released = True
        return None

    async def __aenter__(self) -> "InflightLease":
        return self.__enter__()

    async def __aexit__(self, exc_type, exc, tb) -> None:
        self.__exit__(exc_type, exc, tb)

    def release(self) -> None:
        if self._released:
            return
        self.lb.decrement(self.server_id)
        self._released = True


def estimate_request_tokens(body: dict) -> int:
    if not isinstance(body, dict):
        return 0
    total_chars = 0
    image_count = 0
    token_ids = 0

    def _scan_content(content: Any) -> None:
        nonlocal total_chars, image_count
        if isinstance(content, str):
            total_chars += len(content)
            return
        if not isinstance(content, list):
            return
        for part in content:
            if isinstance(part, str):
                total_chars += len(part)
                continue
            if not isinstance(part, dict):
                continue
            ptype = part.get("type")
            if ptype in ("text", "input_text", "output_text"):
                text = part.get("text")
                if isinstance(text, str):
                    total_chars += len(text)
            elif ptype in ("image_url", "image", "input_image", "video_url"):
                image_count += 1

    def _scan_tokenizable(value: Any) -> None:
        nonlocal total_chars, token_ids
        if isinstance(value, str):
            total_chars += len(value)
            return
        if not isinstance(value, list):
            return
        for item in value:
            if isinstance(item, str):
                total_chars += len(item)
            elif isinstance(item, int):
                token_ids += 1
            elif isinstance(item, list):
                for el in item:
                    if isinstance(el, int):
                        token_ids += 1
                    elif isinstance(el, dict):
                        _scan_content([el])
                    else:
                        _scan_content(el)
            elif isinstance(item, dict):
                _scan_content([item])

    messages = body.get("messages")
    if isinstance(messages, list):
        for message in messages:
            if isinstance(message, dict):
                _scan_content(message.get("content"))
    prompt = body.get("prompt")
    if isinstance(prompt, str):
        total_chars += len(prompt)
    elif isinstance(prompt, list):
        for p in prompt:
            if isinstance(p, str):
                total_chars += len(p)
    _scan_content(body.get("system"))
    for key in ("input", "query", "items", "documents"):
        if key in body:
            _scan_tokenizable(body[key])
    instruct = body.get("instruct")
    if isinstance(instruct, str):
        total_chars += len(instruct)
    text_tokens = total_chars // 4
    return text_tokens + token_ids + image_count * IMAGE_TOKEN_COST


async def inflight_reaper_loop(
    lb: LoadBalancer, *, interval_sec: float = 60.0,
    list_running_servers: Optional[Callable[[], Awaitable[List[Dict[str, Any]]]]] = None,
) -> None:
    suspended = False

    class _Noting:
        """Awaits as `await` does, noting whether the event loop got a turn."""

        def __init__(self, awaitable: Any) -> None:
            self.awaitable = awaitable

        def __await__(self):
            nonlocal suspended

            async def plain() -> Any:
                return await self.awaitable

            inner = plain()
            value, error = None, None
            while True:
                try:
                    out = inner.send(value) if error is None else inner.throw(error)
                except StopIteration as stop:
                    return stop.value
                suspended = True
                try:
                    value, error = (yield out), None
                except GeneratorExit:
                    inner.close()
                    raise
                except BaseException as exc:
                    value, error = None, exc

    while True:
        suspended = False
        try:
            await _Noting(asyncio.sleep(interval_sec))
            if list_running_servers is None:
                continue
            authoritative = await _Noting(list_running_servers())
            live_ids = {s["id"] for s in authoritative}
            for sid in list(lb.inflight.keys()):
                if sid not in live_ids:
                    lb.force_clear(sid)
        except asyncio.CancelledError:
            raise
        except Exception as e:
            logger.warning("inflight reaper iteration failed: %s", e)
            # An iteration that failed before the event loop ever got a turn
            # would fail the same way at once, for ever: the loop ends instead.
            if not suspended:
                raise
