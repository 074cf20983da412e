#pragma once

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// A buffer of fresh anonymous pages, all zero until written. Pages that are only read, or never touched, cost
// no memory: a decoder that skips writing zeros into it holds only the pages with other bytes.
class ZeroedPages
{
public:
    ZeroedPages() = default;
    ~ZeroedPages();
    ZeroedPages(const ZeroedPages &) = delete;
    ZeroedPages &operator=(const ZeroedPages &) = delete;

    // Maps length fresh bytes in place of any earlier ones; false when they cannot be had. Length 0 gives an
    // empty buffer without a mapping.
    [[nodiscard]] bool Allocate(size_t length);
    uint8_t *Data() const { return m_data; }
    size_t Length() const { return m_length; }
    // Gives back the pages of [start, start + length), a range of this buffer that is not read again (whole
    // pages, and the last one when the range reaches the end): they read as zeros afterwards.
    void Release(const uint8_t *start, size_t length);

private:
    void Unmap();

    uint8_t *m_data = nullptr;
    size_t m_length = 0;
};

} // namespace corvapatch
