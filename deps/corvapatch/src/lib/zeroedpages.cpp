#include "zeroedpages.h"

#include "mappedfile.h"

#include <sys/mman.h>

namespace corvapatch {

ZeroedPages::~ZeroedPages()
{
    Unmap();
}

bool ZeroedPages::Allocate(size_t length)
{
    Unmap();
    if (length == 0)
        return true;
    // No swap is reserved for the whole length: most of it is never written.
    void *data = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (data == MAP_FAILED)
        return false;
    m_data = static_cast<uint8_t *>(data);
    m_length = length;
    return true;
}

void ZeroedPages::Release(const uint8_t *start, size_t length)
{
    if (m_data && start >= m_data)
        DropMappedPages(m_data, m_length, size_t(start - m_data), length);
}

void ZeroedPages::Unmap()
{
    if (m_data)
        munmap(m_data, m_length);
    m_data = nullptr;
    m_length = 0;
}

} // namespace corvapatch
