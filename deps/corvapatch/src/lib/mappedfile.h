#pragma once

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// The system's page size; a view's offset must be a multiple of it.
uint32_t PageSize();

// Gives back the resident pages of [offset, offset + length) in the mapping of size bytes at base (which starts
// on a page): the whole pages inside the range, and the last partial page when the range reaches the end. What
// they held is read from the file again, or reads as zeros for anonymous memory. A range outside is ignored.
void DropMappedPages(const uint8_t *base, size_t size, size_t offset, size_t length);

// A read-only, shared memory mapping of a file. Owns the descriptor and the view. An empty file, a directory and
// a file of 4 GiB or more never give a valid mapping.
class MappedFile
{
public:
    MappedFile() = default;
    // Opens and maps at once; length 0 maps the whole file. advice: 0 normal, 1 sequential, 2 random access.
    MappedFile(const char *path, uint32_t length, int advice);
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    // As the constructor; false when a view is already mapped or none results.
    [[nodiscard]] bool Open(const char *path, uint32_t length, int advice);
    // Replaces the view by [offset, offset + length), cut at the end of the file; length 0 means the whole file.
    [[nodiscard]] bool MapView(uint64_t offset, uint32_t length);
    void Close();

    bool IsValid() const { return m_view != nullptr; }
    const uint8_t *Data() const { return m_view; }
    uint32_t ViewLength() const { return m_viewLength; }
    uint64_t FileSize() const { return m_fileSize; }

    // Gives back the view's pages that were read so far, or those wholly inside [offset, offset + length); the
    // bytes stay as they are and are read from the file again when touched. For a large file that is only partly
    // needed again.
    void DropResidentPages();
    void DropResidentPages(size_t offset, size_t length);

    uint8_t operator[](size_t i) const { return m_view[i]; }
    // Checked access: throws std::invalid_argument without a view and std::out_of_range past it. The engine's
    // readers never use it, so no exception leaves them.
    uint8_t At(size_t i) const;

private:
    void Unmap();

    uint64_t m_fileSize = 0;
    int m_advice = 0;
    uint32_t m_viewLength = 0;
    int m_descriptor = -1; // -1, not 0: descriptor 0 is a valid file when standard input is closed
    const uint8_t *m_view = nullptr;
};

} // namespace corvapatch
