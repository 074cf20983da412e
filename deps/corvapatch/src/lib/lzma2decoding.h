#pragma once

#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace corvapatch {

// What the in-memory and the file LZMA2 decoders share, so that both check a stream the same way.

// The coder's Lzma2Result for a liblzma status.
int Lzma2ResultOf(lzma_ret ret);

// Fills filters[0..1] for decoding a raw LZMA2 stream of the given dictionary property into at most room bytes.
// The dictionary is never larger than room. On LZMA2_OK the caller frees filters[0].options with std::free.
int SetUpLzma2Decoding(uint8_t property, uint64_t room, lzma_filter filters[2]);

// Copies up to n bytes of the stream, from pos on, into head; gives how many it copied (0 when it cannot).
using Lzma2HeaderReader = std::function<size_t(uint64_t pos, uint8_t *head, size_t n)>;

// ScanLzma2Chunks on a stream of length bytes that is read only through readHeader, a chunk header at a time.
int ScanLzma2Stream(uint64_t length, const Lzma2HeaderReader &readHeader, uint64_t *unpackedSize, uint64_t *packedSize);

} // namespace corvapatch
