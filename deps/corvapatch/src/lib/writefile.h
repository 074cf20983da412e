#pragma once

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// Creates or truncates path and writes n bytes with one fwrite. Returns n only when every byte was written and
// the file closed cleanly (a full disk often shows only at fclose); any failure returns a different count:
// what fwrite reported, 0 when nothing could be opened or the close failed, or SIZE_MAX for a failed empty
// write. A failed write leaves the file as far as it got.
size_t WriteFile(const char *path, const uint8_t *data, size_t n);

} // namespace corvapatch
