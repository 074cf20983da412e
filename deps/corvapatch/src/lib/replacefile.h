#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvapatch {

// Writes n bytes to a new hidden file beside path (".<name>.part-<random>", created exclusively, so no existing
// name or planted link is ever followed) and renames it over path, without flushing it to disk first. A file
// already at path keeps its bytes until the rename, which replaces it in one step; it lends its permission bits
// to the new one. True only when the new file is in place; on failure the temporary file is removed and path is
// untouched.
[[nodiscard]] bool ReplaceFile(const char *path, const uint8_t *data, size_t n);

// The same in pieces, for output that is never held whole: Write as often as needed, then Commit. Destroyed
// without a successful Commit, it removes its hidden file and path is untouched.
class FileReplacement
{
public:
    explicit FileReplacement(const char *path);
    ~FileReplacement();
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;

    // False when no hidden file could be created.
    bool IsOpen() const { return m_fd >= 0; }
    [[nodiscard]] bool Write(const uint8_t *data, size_t n);
    // Takes over the mode of a file at path, optionally flushes to disk, and renames over path.
    [[nodiscard]] bool Commit(bool flushToDisk);

private:
    void Discard();

    std::string m_path;
    std::string m_temporary;
    int m_fd = -1;
    bool m_failed = false;
};

} // namespace corvapatch
