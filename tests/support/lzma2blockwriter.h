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

} // namespace patchwriter
