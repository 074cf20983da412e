#pragma once

#include <cstdint>
#include <vector>

// The old file every fuzzed ensemble patch is applied to, and that its seeds were made for: text and binary
// runs, so that diffs against it have matches to copy.
inline std::vector<uint8_t> EnsembleFuzzOldFile()
{
    std::vector<uint8_t> old;
    const char text[] = "The quick brown fox jumps over the lazy dog. ";
    for (int i = 0; i < 8; ++i)
        old.insert(old.end(), text, text + sizeof text - 1);
    for (int i = 0; i < 640; ++i)
        old.push_back(static_cast<uint8_t>((i * 31) ^ (i >> 3)));
    return old;
}
