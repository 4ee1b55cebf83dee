// The module's functions, and the one method of the _Waiter record.
#include "binding/methods.h"
#include "binding/types.h"
#include "varnhold/settings.h"
#include "varnhold/token_estimate.h"
#include "varnhold/waiter_queue.h"

namespace varnhold {

namespace {

constexpr const char* kModule = "$module";

constexpr FunctionSpec kEnvBool{signature("_env_bool", kModule, 0, P(name), P(default, kFalse)),
                                &env_bool, "Reads a boolean setting from the environment."};
constexpr FunctionSpec kEnvInt{signature("_env_int", kModule, 0, P(name), P(default)), &env_int,
                               "Reads an integer setting from the environment."};
constexpr FunctionSpec kEnvFloat{signature("_env_float", kModule, 0, P(name), P(default)),
                                 &env_float, "Reads a floating-point setting from the environment."};
constexpr FunctionSpec kNormalizeRoutingMode{
    signature("normalize_routing_mode", kModule, 0, P(value)), &normalize_routing_mode,
    "Maps a configured routing mode onto a valid one (the default when unknown)."};
constexpr FunctionSpec kNormalizeLbAlgorithm{
    signature("normalize_lb_algorithm", kModule, 0, P(value)), &normalize_lb_algorithm,
    "Maps a cluster's algorithm name onto a valid one (the default when unknown)."};
constexpr FunctionSpec kEstimateRequestTokens{
    signature("estimate_request_tokens", kModule, 0, P(body)), &estimate_request_tokens,
    "Estimates the input tokens of a request body: characters of its text divided by 4, "
    "one per pre-tokenized id, IMAGE_TOKEN_COST per image or video part."};
constexpr FunctionSpec kInflightReaperLoop{
    signature("inflight_reaper_loop", kModule, 2, P(lb), P(interval_sec, float_default(60.0)),
              P(list_running_servers, kNone)),
    &inflight_reaper_loop,
    "Every interval, force-clears the in-flight count of each server that the host\n"
    "no longer lists as running. Runs until its task is cancelled (awaitable)."};
constexpr FunctionSpec kIsBoosted{
    signature("_Waiter.is_boosted", kModule, 0, P(self), P(now)), &waiter_is_boosted,
    "Whether the waiter has waited at least boost_after_sec (never when that is 0)."};

}  // namespace

PyMethodDef env_bool_def = documented_def<kEnvBool>();
PyMethodDef env_int_def = documented_def<kEnvInt>();
PyMethodDef env_float_def = documented_def<kEnvFloat>();
PyMethodDef normalize_routing_mode_def = documented_def<kNormalizeRoutingMode>();
PyMethodDef normalize_lb_algorithm_def = documented_def<kNormalizeLbAlgorithm>();
PyMethodDef estimate_request_tokens_def = documented_def<kEstimateRequestTokens>();
PyMethodDef inflight_reaper_loop_def = documented_def<kInflightReaperLoop>();
PyMethodDef waiter_is_boosted_def = documented_def<kIsBoosted>();

}  // namespace varnhold
