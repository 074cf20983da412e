#pragma once

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// Decoder of the LZMA chunks of an LZMA2 stream whose dictionary is the output buffer itself: the bytes already
// decoded are the history that matches copy from, so nothing is held beside the output and nothing is copied
// out of a separate window. The chunk layer (control bytes, sizes, resets) is DecodeLzma2's.
class LzmaDecoder
{
public:
    // out: the whole output buffer; every byte before the current position is history.
    // zeroed: the buffer's bytes from the current position on are known to be zero (a fresh anonymous mapping),
    // so runs of zeros are not written at all and the pages they cover are never touched.
    LzmaDecoder(uint8_t *out, size_t room, bool zeroed) : m_out(out), m_room(room), m_zeroed(zeroed) { }
    LzmaDecoder(const LzmaDecoder &) = delete;
    LzmaDecoder &operator=(const LzmaDecoder &) = delete;

    size_t Position() const { return m_pos; }
    // Starts a new dictionary at the current position: later matches cannot reach before it.
    void ResetDictionary(uint32_t dictionarySize);
    // Copies an uncompressed chunk; false when it does not fit.
    [[nodiscard]] bool CopyStored(const uint8_t *bytes, size_t n);
    // lc, lp and pb from the properties byte; false when they are out of range.
    [[nodiscard]] bool SetProperties(uint8_t properties);
    // Resets the probabilities, the state and the repeated distances.
    void ResetState();
    // Decodes one LZMA chunk: exactly unpacked bytes from exactly the packed bytes at in. False when the chunk is
    // corrupt, does not fit the output, or does not use its packed bytes to the end.
    [[nodiscard]] bool DecodeChunk(const uint8_t *in, size_t packed, size_t unpacked);

private:
    struct LengthProbabilities
    {
        uint16_t choice;
        uint16_t choice2;
        uint16_t low[16][8];
        uint16_t mid[16][8];
        uint16_t high[256];
    };

    // The range decoder over one chunk's packed bytes. Reading past them yields zeros and marks the chunk
    // overrun, which fails it at its end.
    struct RangeDecoder
    {
        const uint8_t *in;
        const uint8_t *end;
        uint32_t range;
        uint32_t code;
        bool overrun;
        uint8_t Next()
        {
            if (in == end) {
                overrun = true;
                return 0;
            }
            return *in++;
        }
        void Normalize()
        {
            if (range < (1u << 24)) {
                range <<= 8;
                code = (code << 8) | Next();
            }
        }
        uint32_t Bit(uint16_t *probability);
        uint32_t Tree(uint16_t *probabilities, int bits);
        uint32_t ReverseTree(uint16_t *probabilities, int bits);
        uint32_t Direct(int bits);
    };

    uint32_t DecodeLength(RangeDecoder *rc, LengthProbabilities *probabilities, uint32_t posState);
    uint8_t DecodeLiteral(RangeDecoder *rc);
    // Appends len bytes copied from distance bytes back (distance >= 1, within the history).
    void CopyMatch(size_t distance, size_t len);
    void Put(uint8_t byte)
    {
        if (!m_zeroed || byte != 0)
            m_out[m_pos] = byte;
        ++m_pos;
    }

    uint8_t *m_out;
    size_t m_room;
    bool m_zeroed;
    size_t m_pos = 0;
    size_t m_dictionaryStart = 0;
    uint32_t m_dictionarySize = 0;
    uint32_t m_lc = 0;
    uint32_t m_lp = 0;
    uint32_t m_pb = 0;
    uint32_t m_state = 0;
    uint32_t m_reps[4] = {0, 0, 0, 0}; // distances minus one

    uint16_t m_isMatch[12][16];
    uint16_t m_isRep[12];
    uint16_t m_isRepG0[12];
    uint16_t m_isRepG1[12];
    uint16_t m_isRepG2[12];
    uint16_t m_isRep0Long[12][16];
    uint16_t m_posSlot[4][64];
    uint16_t m_posSpecial[115];
    uint16_t m_align[16];
    LengthProbabilities m_length;
    LengthProbabilities m_repLength;
    uint16_t m_literal[0x300 << 4]; // lc + lp <= 4
};

} // namespace corvapatch
