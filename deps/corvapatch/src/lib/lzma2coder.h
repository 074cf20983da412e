#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace corvapatch {

// Result codes of the LZMA2 coder. The block reader prints them in its messages, so the numbers are fixed.
enum Lzma2Result : int {
    LZMA2_OK = 0,
    LZMA2_ERROR_DATA = 1,
    LZMA2_ERROR_MEM = 2,
    LZMA2_ERROR_UNSUPPORTED = 4,
    LZMA2_ERROR_PARAM = 5,
    LZMA2_ERROR_INPUT_EOF = 6,
    LZMA2_ERROR_WRITE = 9,
};

// Walks the chunk headers of the LZMA2 stream at src, without decoding, up to and including the end marker.
// Gives the most the chunks can decode to (their declared sizes, each LZMA chunk's capped by what its packed
// bytes can produce at LZMA's highest possible ratio) and the bytes the stream occupies. This bounds what a
// block can decode to before any output is allocated. LZMA2_ERROR_INPUT_EOF when the stream is cut short,
// LZMA2_ERROR_DATA for an invalid chunk header.
int ScanLzma2Chunks(const uint8_t *src, size_t srcLen, uint64_t *unpackedSize, size_t *packedSize);

// One-shot decoding of the LZMA2 stream at src into dest, which is the dictionary itself: nothing is held beside
// the output. *destLen: room in dest on entry, bytes written on return; *srcLen: bytes available on entry, bytes
// consumed on return. The stream must end with its end marker within the input and the output room. property is
// the one-byte dictionary size (0..40); matches may reach back as far as it allows, never before dest. dest may
// be null when *destLen is 0. zeroed: dest's room is known to hold zeros (a fresh anonymous mapping); zeros are
// then not written, so that the pages of long zero runs are never touched.
int DecodeLzma2(uint8_t *dest, size_t *destLen, const uint8_t *src, size_t *srcLen, uint8_t property,
                bool zeroed = false);
// The first bytes of the LZMA2 stream at src (srcLen bytes available): up to *destLen of them into dest, *destLen
// set to the number decoded. Nothing after them is decoded or checked. LZMA2_OK when at least one byte was.
int DecodeLzma2Prefix(uint8_t *dest, size_t *destLen, const uint8_t *src, size_t srcLen, uint8_t property);

// Raw LZMA2 encoder. The stream it writes ends with the end marker.
class Lzma2Encoder
{
public:
    // Called with each piece of output; returns the number of bytes it took, 0 on failure.
    using Writer = std::function<size_t(const uint8_t *data, size_t n)>;

    // Compression level 0..9; false for another level. The default is 9 (64 MiB dictionary, property 28).
    [[nodiscard]] bool SetLevel(uint32_t level);
    // The dictionary property byte that goes in front of the stream.
    uint8_t Property() const { return m_property; }
    // Encodes n bytes in one stream. The dictionary actually used is cut to the input size; a stream that uses
    // less history than its property allows is still valid for the property's dictionary.
    int Encode(const uint8_t *data, size_t n, const Writer &write) const;

private:
    uint32_t m_level = 9;
    uint8_t m_property = 28;
};

} // namespace corvapatch
