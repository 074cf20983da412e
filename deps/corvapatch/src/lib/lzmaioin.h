#pragma once

#include "sinkstream.h"
#include "sourcestream.h"

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// An LZMA2 block: one property byte (dictionary size), the varint32 unpacked size, then an LZMA2 stream up to
// and including its end marker. There is no packed-length field; the stream's end marks the block's end.
//
// Decodes the block at the source's cursor and appends its content to dest. On success the cursor is past the
// block. On failure dest keeps its earlier length (and one message is logged); the cursor position is then
// unspecified. A size the stream's chunks cannot produce, or one above maxSize, fails before any output is
// allocated; since the output never exceeds the block's size, at most maxSize bytes are ever appended.
[[nodiscard]] bool ReadLzma2Block(SourceStream *source, SinkStream *dest, size_t maxSize = SIZE_MAX);

} // namespace corvapatch
