#pragma once

#include <cstdint>

namespace corvapatch {

// A stream set serialises up to ten byte streams behind one header:
//   varint32 version (always written as EA 9A CA 09), varint32 count, count varint32 lengths, then the streams'
//   bytes back to back with nothing after them.
// Correction diffs are applied to this exact byte form, so writers must reproduce it byte for byte.
constexpr uint32_t kStreamSetVersion = 20090218;
constexpr uint32_t kStreamSetMaxStreams = 10;

// The header of the top-level form, as read.
struct StreamSetHeader
{
    uint32_t version = 0;
    uint32_t count = 0;
    uint32_t lengths[kStreamSetMaxStreams] = {};
};

} // namespace corvapatch
