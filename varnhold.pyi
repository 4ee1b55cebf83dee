"""The load balancer of an inference-serving proxy: backend selection,
capacity caps, parked requests, in-flight leases and reports."""

import asyncio
import logging
from collections import deque
from collections.abc import Awaitable, Callable, Container, Mapping, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Final, Self, TypeAlias, TypeVar

# A backend record is the host's own mapping with "id", "weight",
# "max_concurrency" and "max_input_tokens". The records that come back are the
# very objects passed in, so their type is the caller's.
_Record = TypeVar("_Record", bound=Mapping[str, Any])

logger: logging.Logger

# (model id, cluster ids, routing tier)
PoolKey: TypeAlias = tuple[str, frozenset[int], str]

def _env_bool(name: str, default: bool = False) -> bool: ...
def _env_int(name: str, default: int) -> int: ...
def _env_float(name: str, default: float) -> float: ...

# Settings: read from the QUORVANE_LB_* environment variables at import; a host
# may assign new values, which every later call uses.
QUEUE_ENABLED: bool
QUEUE_TTL_SEC: float
QUEUE_MAX_DEPTH_MULTIPLIER: int
QUEUE_DEADLINE_BOOST_SEC: float
POOL_LRU_TTL_SEC: float
_DEFAULT_IMAGE_TOKEN_COST: int
IMAGE_TOKEN_COST: int

ROUTING_MODE_SUPERFAST: str
ROUTING_MODE_HYBRID: str
ROUTING_MODE_MAX_CONCURRENCY: str
ROUTING_MODE_QUEUE_ALL: str
DEFAULT_ROUTING_MODE: str
VALID_ROUTING_MODES: frozenset[str]

SUPERFAST_PER_SERVER_CAP: int
HYBRID_INFLIGHT_THRESHOLD: int
HYBRID_RATE_THRESHOLD: float
HYBRID_RATE_WINDOW_SEC: float
HYBRID_HOT_EXIT_RATIO: float
QUEUE_ALL_DEPTH_MULTIPLIER: int
QUEUE_ALL_TTL_SEC: float

def normalize_routing_mode(value: str | None) -> str: ...

LB_ALGO_WRR: str
LB_ALGO_LEAST_CONN: str
LB_ALGO_STICKY: str
DEFAULT_LB_ALGORITHM: str
VALID_LB_ALGORITHMS: frozenset[str]

def normalize_lb_algorithm(value: str | None) -> str: ...

@dataclass
class _Waiter:
    """One queued request, parked across an eligible candidate set."""

    pool_key: PoolKey
    candidates: list[Mapping[str, Any]]
    estimated_tokens: int
    future: asyncio.Future[Any]
    queued_at: float
    boost_after_sec: float = 0.0
    def is_boosted(self, now: float) -> bool: ...

class RejectReason:
    NONE: Final = "none"
    QUEUE_FULL: Final = "queue_full"
    QUEUE_TIMEOUT: Final = "queue_timeout"
    NO_BACKENDS: Final = "no_backends"
    TOO_LARGE: Final = "too_large"
    AT_CAPACITY: Final = "at_capacity"

class LoadBalancer:
    inflight: dict[int, int]
    _wrr: dict[PoolKey, dict[int, float]]
    _locks: dict[PoolKey, asyncio.Lock]
    _pool_last_access: dict[PoolKey, float]
    _waiters: dict[int, deque[_Waiter]]
    _all_waiters: list[_Waiter]
    dispatch_counts: dict[int, int]
    last_dispatch_ts: dict[int, float]
    reject_counts: dict[str, int]
    queue_wait_samples: deque[float]
    _routing_mode: str
    _pool_dispatch_windows: dict[PoolKey, deque[float]]
    _pool_hot_state: dict[PoolKey, bool]

    def __init__(self) -> None: ...
    def set_routing_mode(self, mode: str | None) -> str: ...
    def get_routing_mode(self) -> str: ...
    def queue_enabled(self) -> bool: ...
    def queue_ttl_sec(self) -> float: ...
    def queue_depth_multiplier(self) -> int: ...
    def _superfast_cap(self, configured: int) -> int: ...
    def _hybrid_hot(
        self, pool_key: PoolKey | None, pool_inflight: int, pool_rate: float
    ) -> bool: ...
    def _effective_cap_for(
        self, server: Mapping[str, Any], pool_inflight: int, pool_rate: float,
        pool_key: PoolKey | None = None,
    ) -> int: ...
    def effective_cap_for(
        self, server: Mapping[str, Any], pool_candidates: Sequence[Mapping[str, Any]] | None = None,
        pool_key: PoolKey | None = None,
    ) -> int: ...
    def _pool_inflight(self, candidates: Sequence[Mapping[str, Any]]) -> int: ...
    def _recent_dispatch_rate(self, pool_key: PoolKey | None = None) -> float: ...
    def increment(self, server_id: int) -> int: ...
    def decrement(self, server_id: int) -> int: ...
    def get_inflight(self, server_id: int) -> int: ...
    def force_clear(self, server_id: int) -> None: ...
    def _lock_for(self, pool_key: PoolKey) -> asyncio.Lock: ...
    def _evict_stale_pools(self) -> None: ...
    def _under_capacity(
        self, server: Mapping[str, Any], pool_candidates: Sequence[Mapping[str, Any]] | None = None,
        pool_key: PoolKey | None = None,
    ) -> bool: ...
    async def select(
        self, pool_key: PoolKey, candidates: Sequence[_Record], *, estimated_tokens: int = 0,
        force_server_id: int | None = None, sin_binned: Container[int] | None = None,
        algorithm: str | None = None, sticky_key: str | None = None,
    ) -> _Record | None: ...
    async def _wrr_pick(self, pool_key: PoolKey, eligible: Sequence[_Record]) -> _Record: ...
    def _least_connections_pick(self, eligible: Sequence[_Record]) -> _Record: ...
    def _sticky_lookup(self, eligible: Sequence[_Record], sticky_key: str) -> _Record | None: ...
    def _record_dispatch(self, pool_key: PoolKey, server: Mapping[str, Any]) -> None: ...
    def filter_by_fit(
        self, candidates: Sequence[_Record], estimated_tokens: int
    ) -> list[_Record]: ...
    def _queue_capacity_for_pool(self, candidates: Sequence[Mapping[str, Any]]) -> int: ...
    async def wait_for_slot(
        self, pool_key: PoolKey, candidates: Sequence[_Record], estimated_tokens: int, *,
        sin_binned: Container[int] | None = None,
    ) -> tuple[_Record | None, str, float]: ...
    def _try_admit(self, waiter: _Waiter) -> None: ...
    def _wake_one(self, server_id: int) -> None: ...
    def _fulfill(self, waiter: _Waiter, server: Mapping[str, Any]) -> None: ...
    def _remove_waiter(self, waiter: _Waiter) -> None: ...
    def note_reject(self, reason: str) -> None: ...
    def _bump_reject(self, reason: str) -> None: ...
    def snapshot(self) -> dict[str, Any]: ...
    def prometheus_text(self) -> str: ...

class InflightLease:
    lb: LoadBalancer
    server_id: int
    _released: bool

    def __init__(self, lb: LoadBalancer, server_id: int) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None: ...
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None: ...
    def release(self) -> None: ...

def estimate_request_tokens(body: dict[str, Any]) -> int: ...
async def inflight_reaper_loop(
    lb: LoadBalancer, *, interval_sec: float = 60.0,
    list_running_servers: Callable[[], Awaitable[Sequence[Mapping[str, Any]]]] | None = None,
) -> None: ...
