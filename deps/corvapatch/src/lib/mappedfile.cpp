#include "mappedfile.h"

#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvapatch {

uint32_t PageSize()
{
    return static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
}

MappedFile::MappedFile(const char *path, uint32_t length, int advice)
{
    (void)Open(path, length, advice);
}

MappedFile::~MappedFile()
{
    Close();
}

bool MappedFile::Open(const char *path, uint32_t length, int advice)
{
    if (m_view)
        return false;
    Close();
    m_advice = advice;
    m_viewLength = length;
    m_descriptor = open(path, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (m_descriptor < 0) {
        m_descriptor = -1;
        return false;
    }
    struct stat64 info = {};
    if (fstat64(m_descriptor, &info) != 0)
        return false;
    m_fileSize = static_cast<uint64_t>(info.st_size);
    return MapView(0, length);
}

bool MappedFile::MapView(uint64_t offset, uint32_t length)
{
    if (m_descriptor < 0)
        return false;
    if (length == 0) {
        // A view length is 32-bit: a larger file would silently be cut to its low 32 bits of size.
        if (m_fileSize > 0xFFFFFFFFu)
            return false;
        length = static_cast<uint32_t>(m_fileSize);
    }
    Unmap();
    if (offset > m_fileSize)
        return false;
    if (length > m_fileSize - offset)
        length = static_cast<uint32_t>(m_fileSize - offset);

    void *view = mmap64(nullptr, length, PROT_READ, MAP_SHARED, m_descriptor, static_cast<off64_t>(offset));
    if (view == MAP_FAILED)
        return false;
    m_view = static_cast<const uint8_t *>(view);
    m_viewLength = length;
    const int hint = m_advice == 1 ? MADV_SEQUENTIAL : m_advice == 2 ? MADV_RANDOM : MADV_NORMAL;
    (void)madvise(view, length, hint);
    return true;
}

void MappedFile::DropResidentPages()
{
    DropResidentPages(0, m_viewLength);
}

void MappedFile::DropResidentPages(size_t offset, size_t length)
{
    DropMappedPages(m_view, m_viewLength, offset, length);
}

void DropMappedPages(const uint8_t *base, size_t size, size_t offset, size_t length)
{
    if (!base || offset > size || length > size - offset)
        return;
    // Only pages inside the range go, so nothing outside it is touched.
    const size_t page = PageSize();
    const size_t first = (offset + page - 1) / page * page;
    const size_t end = offset + length == size ? size : (offset + length) / page * page;
    if (end > first)
        (void)madvise(const_cast<uint8_t *>(base) + first, end - first, MADV_DONTNEED);
}

void MappedFile::Unmap()
{
    if (m_view)
        munmap(const_cast<uint8_t *>(m_view), m_viewLength);
    m_view = nullptr;
    m_viewLength = 0;
}

void MappedFile::Close()
{
    m_fileSize = 0;
    Unmap();
    if (m_descriptor >= 0)
        close(m_descriptor);
    m_descriptor = -1;
}

uint8_t MappedFile::At(size_t i) const
{
    if (!m_view)
        throw std::invalid_argument("No view mapped");
    if (i >= m_viewLength)
        throw std::out_of_range("View is not large enough");
    return m_view[i];
}

} // namespace corvapatch
