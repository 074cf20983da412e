#pragma once

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// Writes n bytes to a new hidden file beside path (".<name>.part-<random>", created exclusively, so no existing
// name or planted link is ever followed), flushes it to disk and renames it over path. A file already at path
// keeps its bytes until the rename, which replaces it in one step; it lends its permission bits to the new one.
// True only when the new file is in place; on failure the temporary file is removed and path is untouched.
[[nodiscard]] bool ReplaceFile(const char *path, const uint8_t *data, size_t n);

} // namespace corvapatch
