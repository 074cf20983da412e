#pragma once

#include <cstdint>
#include <vector>

namespace patchwriter {

using Bytes = std::vector<uint8_t>;

// One LZMA2 block (property byte, varint32 size, chunks, end marker) holding content. Stored: uncompressed
// chunks of at most 64 KiB, the first resetting the dictionary, with the smallest dictionary property that
// covers the content. Compressed: the engine's own encoder at level 9. Empty on failure.
Bytes StoredLzma2Block(const Bytes &content);
Bytes CompressedLzma2Block(const Bytes &content);
// A block of n zero bytes (property 16, a 1 MiB dictionary) encoded by liblzma as it streams, so that the large
// content is never held. Empty on failure.
Bytes ZerosLzma2Block(uint32_t n);

} // namespace patchwriter
