// BLAKE2b with an 8-byte digest (no key, salt or personalisation), for the
// rendezvous scores of the sticky lookup: several short messages are hashed
// side by side, one per vector lane.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnhold {

// The digest of one message read as an unsigned big-endian integer.
uint64_t blake2b64(const uint8_t* data, size_t len);

// The same for count messages; lanes are used for messages of at most 128
// bytes (one block), the others are hashed one by one.
void blake2b64_many(const uint8_t* const* data, const size_t* lens, size_t count, uint64_t* out);

}  // namespace varnhold
