#pragma once

#include "lzma2coder.h"
#include "sinkstream.h"
#include "sourcestream.h"

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// Writers of the LZMA2 block read by ReadLzma2Block. Each failure logs one message and returns false.

// Sets the encoder to level 9 and writes the block's property byte and unpacked size. Inputs of 4 GiB or more
// are refused: the size field holds 32 bits.
[[nodiscard]] bool WriteLzma2BlockStart(Lzma2Encoder *encoder, size_t unpackedSize, SinkStream *dest);
// Appends the LZMA2 stream of n bytes to dest.
[[nodiscard]] bool EncodeLzma2(const Lzma2Encoder &encoder, const uint8_t *data, size_t n, SinkStream *dest);

// A whole block of the source's remaining bytes (the source is then at its end) or of a buffer.
[[nodiscard]] bool CompressLzma2Stream(SourceStream *source, SinkStream *dest);
[[nodiscard]] bool CompressLzma2Buffer(const uint8_t *data, size_t n, SinkStream *dest);

} // namespace corvapatch
