#include "crc.h"

#include "helperthread.h"

#include <zlib.h>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define CORVAPATCH_CRC_FOLDING 1
#endif

namespace corvapatch {

namespace {

#if defined(CORVAPATCH_CRC_FOLDING)

// Below this the folding's set-up costs about what it saves.
constexpr size_t kFoldFrom = 64;

// Compiled for PCLMULQDQ whatever the build targets; called only where the processor has it.
#define CORVAPATCH_FOLDING_TARGET __attribute__((target("pclmul,sse2")))

CORVAPATCH_FOLDING_TARGET inline __m128i Load(const uint8_t *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// x carried ahead by the distance the constants k stand for, added to next.
CORVAPATCH_FOLDING_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i next)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// Carry-less multiplication folds 64 bytes at a time into four 128-bit lanes, then the lanes into one, each step
// keeping the residue modulo the CRC polynomial; zlib then takes the CRC of that last 16-byte block and of the
// tail shorter than a block. The constants are x^e mod P, bit-reflected and shifted by one, for e = 4 * 128 + 32
// and 4 * 128 - 32 (64 bytes ahead) and 128 + 32 and 128 - 32 (16 bytes ahead).
CORVAPATCH_FOLDING_TARGET uLong FoldCrc32(uLong crc, const uint8_t *data, size_t n)
{
    const __m128i by64 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i by16 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);

    // The register (zlib's value inverted) enters as a xor over the first four bytes.
    __m128i x0 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(~static_cast<uint32_t>(crc))));
    __m128i x1 = Load(data + 16);
    __m128i x2 = Load(data + 32);
    __m128i x3 = Load(data + 48);
    size_t at = 64;
    for (; n - at >= 64; at += 64) {
        x0 = Fold(x0, by64, Load(data + at));
        x1 = Fold(x1, by64, Load(data + at + 16));
        x2 = Fold(x2, by64, Load(data + at + 32));
        x3 = Fold(x3, by64, Load(data + at + 48));
    }
    __m128i x = Fold(Fold(Fold(x0, by16, x1), by16, x2), by16, x3);
    for (; n - at >= 16; at += 16)
        x = Fold(x, by16, Load(data + at));

    // The folded block stands for everything before it with a register of 0, which is zlib's value ~0.
    alignas(16) uint8_t block[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(block), x);
    const uLong folded = crc32_z(0xFFFFFFFFul, block, sizeof block);
    return crc32_z(folded, data + at, n - at);
}

bool CanFold()
{
    static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return can;
}

#endif

// crc32_z's value (the standard CRC-32 of crc's bytes followed by these), at several bytes per instruction
// where the processor multiplies without carries.
uLong Crc32(uLong crc, const uint8_t *data, size_t n)
{
#if defined(CORVAPATCH_CRC_FOLDING)
    if (n >= kFoldFrom && CanFold())
        return FoldCrc32(crc, data, n);
#endif
    return crc32_z(crc, data, n);
}

} // namespace

uint32_t ComputeCrc(const uint8_t *data, size_t n)
{
    // zlib's CRC tables are built at compile time, so concurrent callers share nothing that is written.
    return ExtendCrc(~static_cast<uint32_t>(crc32_z(0, Z_NULL, 0)), data, n);
}

uint32_t ExtendCrc(uint32_t crc, const uint8_t *data, size_t n)
{
    // The engine's value is the register itself; zlib's is its complement.
    if (n == 0)
        return crc;
    return ~static_cast<uint32_t>(Crc32(~crc, data, n));
}

uint32_t ComputeCrcInHalves(const uint8_t *data, size_t n)
{
    // Below this a thread's start costs about what it saves.
    constexpr size_t kSplitFrom = size_t(1) << 20;
    if (n < kSplitFrom)
        return ComputeCrc(data, n);
    const size_t firstLength = n / 2;
    uLong first = 0;
    HelperThread helper([data, firstLength, &first] { first = Crc32(0, data, firstLength); });
    if (!helper.Started())
        return ComputeCrc(data, n);
    const uLong second = Crc32(0, data + firstLength, n - firstLength);
    helper.Join();
    return ~static_cast<uint32_t>(crc32_combine(first, second, static_cast<z_off_t>(n - firstLength)));
}

} // namespace corvapatch
