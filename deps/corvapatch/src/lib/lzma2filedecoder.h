#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace corvapatch {

// The LZMA2 coder's file forms: the stream is read from an open file with bounded reads and its output is handed
// on in pieces, so neither is ever held whole. Results are the coder's Lzma2Result codes.

// Takes the next piece of output; false stops the decoding with LZMA2_ERROR_WRITE.
using Lzma2Writer = std::function<bool(const uint8_t *data, size_t n)>;

// ScanLzma2Chunks on the stream that starts at offset in fd (up to the end of the file), reading only the chunk
// headers.
int ScanLzma2ChunksInFile(int fd, uint64_t offset, uint64_t *unpackedSize, uint64_t *packedSize);

// DecodeLzma2 on the packedSize bytes at offset in fd: the stream must end with its end marker within them and
// decode to at most room bytes, which go to write in pieces of up to 1 MiB. *produced: the bytes handed on.
// The dictionary is never larger than room.
int DecodeLzma2File(int fd, uint64_t offset, uint64_t packedSize, uint8_t property, uint64_t room,
                    const Lzma2Writer &write, uint64_t *produced);

} // namespace corvapatch
