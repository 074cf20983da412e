#pragma once

#include "lzma2filedecoder.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "zeroedpages.h"

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

// The same into dest's fresh pages, which are allocated to the block's size: runs of zeros are not written, so
// only the pages with other bytes take memory. The checks, messages and bounds are ReadLzma2Block's.
[[nodiscard]] bool ReadLzma2BlockToPages(SourceStream *source, ZeroedPages *dest, size_t maxSize = SIZE_MAX);

// The first bytes of the block's content (up to *length of them into out; *length becomes how many), decoded
// without moving the cursor and without checking the rest of the block: for work that can begin before the
// whole block is decoded. Nothing is logged; false when no byte could be decoded.
[[nodiscard]] bool PeekLzma2Block(const SourceStream &source, uint8_t *out, size_t *length);
// The same block at offset in the open file fd, read with bounded reads; its content goes to write in pieces as
// it is decoded and is never held whole. The same checks in the same order with the same messages; a write that
// fails ends the block without a message of its own (the writer reports it). At most the block's size, and so
// at most maxSize bytes, are ever handed to write.
[[nodiscard]] bool ReadLzma2BlockFromFile(int fd, uint64_t offset, const Lzma2Writer &write,
                                          size_t maxSize = SIZE_MAX);

} // namespace corvapatch
