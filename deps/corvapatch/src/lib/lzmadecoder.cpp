#include "lzmadecoder.h"

#include <cstring>
#include <initializer_list>

namespace corvapatch {

namespace {

constexpr uint32_t kProbabilityBits = 11;
constexpr uint16_t kProbabilityHalf = 1 << (kProbabilityBits - 1);
constexpr uint32_t kMoveBits = 5;
constexpr uint32_t kLiteralStates = 7; // states below this follow a literal
constexpr uint32_t kMinMatch = 2;
constexpr uint32_t kLengthStates = 4;
constexpr uint32_t kEndPosModel = 14;
constexpr uint32_t kAlignBits = 4;
constexpr uint32_t kEndMarker = 0xFFFFFFFF;
// Longer than the longest match (273), so that a match's source can be compared with zeros in one call.
constexpr size_t kZeroRun = 288;
const uint8_t kZeros[kZeroRun] = {};

template <size_t N>
void Fill(uint16_t (&probabilities)[N])
{
    for (uint16_t &p : probabilities)
        p = kProbabilityHalf;
}

template <size_t N, size_t M>
void Fill(uint16_t (&probabilities)[N][M])
{
    for (auto &row : probabilities)
        Fill(row);
}

bool AllZero(const uint8_t *bytes, size_t n)
{
    return std::memcmp(bytes, kZeros, n) == 0;
}

} // namespace

uint32_t LzmaDecoder::RangeDecoder::Bit(uint16_t *probability)
{
    const uint32_t p = *probability;
    const uint32_t bound = (range >> kProbabilityBits) * p;
    uint32_t bit;
    if (code < bound) {
        range = bound;
        *probability = static_cast<uint16_t>(p + (((1u << kProbabilityBits) - p) >> kMoveBits));
        bit = 0;
    } else {
        range -= bound;
        code -= bound;
        *probability = static_cast<uint16_t>(p - (p >> kMoveBits));
        bit = 1;
    }
    Normalize();
    return bit;
}

uint32_t LzmaDecoder::RangeDecoder::Tree(uint16_t *probabilities, int bits)
{
    uint32_t m = 1;
    for (int i = 0; i < bits; ++i)
        m = (m << 1) + Bit(&probabilities[m]);
    return m - (1u << bits);
}

uint32_t LzmaDecoder::RangeDecoder::ReverseTree(uint16_t *probabilities, int bits)
{
    uint32_t m = 1;
    uint32_t symbol = 0;
    for (int i = 0; i < bits; ++i) {
        const uint32_t bit = Bit(&probabilities[m]);
        m = (m << 1) + bit;
        symbol |= bit << i;
    }
    return symbol;
}

uint32_t LzmaDecoder::RangeDecoder::Direct(int bits)
{
    uint32_t result = 0;
    for (int i = 0; i < bits; ++i) {
        range >>= 1;
        code -= range;
        const uint32_t mask = 0u - (code >> 31); // all ones when the bit is 0
        code += range & mask;
        Normalize();
        result = (result << 1) + (mask + 1);
    }
    return result;
}

void LzmaDecoder::ResetDictionary(uint32_t dictionarySize)
{
    m_dictionaryStart = m_pos;
    m_dictionarySize = dictionarySize;
}

bool LzmaDecoder::CopyStored(const uint8_t *bytes, size_t n)
{
    if (n > m_room - m_pos)
        return false;
    if (!m_zeroed) {
        std::memcpy(m_out + m_pos, bytes, n);
    } else {
        for (size_t done = 0; done < n; done += kZeroRun) {
            const size_t piece = n - done < kZeroRun ? n - done : kZeroRun;
            if (!AllZero(bytes + done, piece))
                std::memcpy(m_out + m_pos + done, bytes + done, piece);
        }
    }
    m_pos += n;
    return true;
}

bool LzmaDecoder::SetProperties(uint8_t properties)
{
    if (properties >= 9 * 5 * 5)
        return false;
    m_lc = properties % 9;
    properties /= 9;
    m_lp = properties % 5;
    m_pb = properties / 5;
    return m_lc + m_lp <= 4;
}

void LzmaDecoder::ResetState()
{
    Fill(m_isMatch);
    Fill(m_isRep);
    Fill(m_isRepG0);
    Fill(m_isRepG1);
    Fill(m_isRepG2);
    Fill(m_isRep0Long);
    Fill(m_posSlot);
    Fill(m_posSpecial);
    Fill(m_align);
    for (LengthProbabilities *length : {&m_length, &m_repLength}) {
        length->choice = kProbabilityHalf;
        length->choice2 = kProbabilityHalf;
        Fill(length->low);
        Fill(length->mid);
        Fill(length->high);
    }
    Fill(m_literal);
    m_state = 0;
    for (uint32_t &rep : m_reps)
        rep = 0;
}

uint32_t LzmaDecoder::DecodeLength(RangeDecoder *rc, LengthProbabilities *probabilities, uint32_t posState)
{
    if (!rc->Bit(&probabilities->choice))
        return rc->Tree(probabilities->low[posState], 3);
    if (!rc->Bit(&probabilities->choice2))
        return 8 + rc->Tree(probabilities->mid[posState], 3);
    return 16 + rc->Tree(probabilities->high, 8);
}

uint8_t LzmaDecoder::DecodeLiteral(RangeDecoder *rc)
{
    const size_t history = m_pos - m_dictionaryStart;
    const uint32_t previous = history > 0 ? m_out[m_pos - 1] : 0;
    const uint32_t literalState =
        ((static_cast<uint32_t>(history) & ((1u << m_lp) - 1)) << m_lc) + (previous >> (8 - m_lc));
    uint16_t *probabilities = m_literal + 0x300 * literalState;
    uint32_t symbol = 1;
    // After a match the byte at the last distance steers the first bits, for as long as it agrees. A state past
    // a match always has that byte in the history.
    if (m_state >= kLiteralStates && m_reps[0] < history) {
        uint32_t matchByte = m_out[m_pos - m_reps[0] - 1];
        do {
            const uint32_t matchBit = (matchByte >> 7) & 1;
            matchByte <<= 1;
            const uint32_t bit = rc->Bit(&probabilities[((1 + matchBit) << 8) + symbol]);
            symbol = (symbol << 1) | bit;
            if (matchBit != bit)
                break;
        } while (symbol < 0x100);
    }
    while (symbol < 0x100)
        symbol = (symbol << 1) | rc->Bit(&probabilities[symbol]);
    return static_cast<uint8_t>(symbol - 0x100);
}

void LzmaDecoder::CopyMatch(size_t distance, size_t len)
{
    uint8_t *to = m_out + m_pos;
    const uint8_t *from = to - distance;
    m_pos += len;
    if (distance >= len) {
        // A zero source over a zeroed destination leaves it as it is.
        if (!m_zeroed || !AllZero(from, len))
            std::memcpy(to, from, len);
        return;
    }
    // Overlapping: the last distance bytes repeat.
    if (m_zeroed && AllZero(from, distance))
        return;
    if (distance == 1) {
        std::memset(to, *from, len);
        return;
    }
    while (len > 0) {
        const size_t piece = len < distance ? len : distance;
        std::memcpy(to, from, piece);
        to += piece;
        from += piece;
        len -= piece;
    }
}

bool LzmaDecoder::DecodeChunk(const uint8_t *in, size_t packed, size_t unpacked)
{
    if (unpacked > m_room - m_pos || packed < 5 || in[0] != 0)
        return false;
    RangeDecoder rc{in + 5, in + packed, 0xFFFFFFFF, 0, false};
    for (int i = 1; i < 5; ++i)
        rc.code = (rc.code << 8) | in[i];
    const size_t end = m_pos + unpacked;
    const uint32_t posMask = (1u << m_pb) - 1;
    while (m_pos < end) {
        const size_t history = m_pos - m_dictionaryStart;
        const uint32_t posState = static_cast<uint32_t>(history) & posMask;
        if (!rc.Bit(&m_isMatch[m_state][posState])) {
            Put(DecodeLiteral(&rc));
            m_state = m_state < 4 ? 0 : (m_state < 10 ? m_state - 3 : m_state - 6);
            continue;
        }
        uint32_t len;
        if (rc.Bit(&m_isRep[m_state])) {
            if (history == 0)
                return false;
            if (!rc.Bit(&m_isRepG0[m_state])) {
                if (!rc.Bit(&m_isRep0Long[m_state][posState])) {
                    if (m_reps[0] >= history)
                        return false;
                    m_state = m_state < kLiteralStates ? 9 : 11;
                    Put(m_out[m_pos - m_reps[0] - 1]);
                    continue;
                }
            } else {
                uint32_t distance;
                if (!rc.Bit(&m_isRepG1[m_state])) {
                    distance = m_reps[1];
                } else {
                    if (!rc.Bit(&m_isRepG2[m_state])) {
                        distance = m_reps[2];
                    } else {
                        distance = m_reps[3];
                        m_reps[3] = m_reps[2];
                    }
                    m_reps[2] = m_reps[1];
                }
                m_reps[1] = m_reps[0];
                m_reps[0] = distance;
            }
            len = DecodeLength(&rc, &m_repLength, posState);
            m_state = m_state < kLiteralStates ? 8 : 11;
        } else {
            m_reps[3] = m_reps[2];
            m_reps[2] = m_reps[1];
            m_reps[1] = m_reps[0];
            len = DecodeLength(&rc, &m_length, posState);
            m_state = m_state < kLiteralStates ? 7 : 10;
            const uint32_t slot = rc.Tree(m_posSlot[len < kLengthStates ? len : kLengthStates - 1], 6);
            uint32_t distance = slot;
            if (slot >= 4) {
                const int direct = static_cast<int>(slot >> 1) - 1;
                distance = (2 | (slot & 1)) << direct;
                if (slot < kEndPosModel) {
                    distance += rc.ReverseTree(m_posSpecial + distance - slot, direct);
                } else {
                    distance += rc.Direct(direct - static_cast<int>(kAlignBits)) << kAlignBits;
                    distance += rc.ReverseTree(m_align, kAlignBits);
                }
            }
            // An LZMA2 chunk ends by its size, never by the end marker.
            if (distance == kEndMarker)
                return false;
            m_reps[0] = distance;
        }
        if (m_reps[0] >= history || m_reps[0] >= m_dictionarySize)
            return false;
        len += kMinMatch;
        if (len > end - m_pos)
            return false;
        CopyMatch(size_t(m_reps[0]) + 1, len);
    }
    return !rc.overrun && rc.in == rc.end && rc.code == 0;
}

} // namespace corvapatch
