#include "x86startbytes.h"

namespace corvapatch {

X86StartBytes::X86StartBytes(std::initializer_list<Start> starts)
{
    for (const Start &start : starts) {
        if (m_count == kMaxStarts)
            break;
        for (unsigned byte = 0; byte < 256; ++byte) {
            if ((byte & start.firstMask) == start.first)
                m_firstMatches[byte] = true;
        }
#if defined(__SSE2__)
        const auto splat = [](uint8_t value) { return _mm_set1_epi8(static_cast<char>(value)); };
        m_lanes[m_count] = {splat(start.firstMask), splat(start.first), splat(start.secondMask), splat(start.second)};
#endif
        ++m_count;
    }
#if defined(__SSE2__)
    for (size_t i = m_count; i < kMaxStarts && m_count > 0; ++i)
        m_lanes[i] = m_lanes[0];
#endif
}

} // namespace corvapatch
