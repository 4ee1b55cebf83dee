// The input-token estimate of a request body.
#pragma once

#include "varnhold/module_state.h"

namespace varnhold {

// estimate_request_tokens(body): characters of the text that the known
// request shapes carry, floor-divided by 4, plus one token per
// pre-tokenized id, plus IMAGE_TOKEN_COST (read from the module now) per
// image or video part. A body that is not a dict gives 0.
Ref estimate_request_tokens(ModuleState* st, PyObject* body);

}  // namespace varnhold
