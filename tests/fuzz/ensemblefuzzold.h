#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

// The old file every fuzzed ensemble patch is applied to, and that its seeds were made for: a real x86 shared
// object (clang/lld, 2636 bytes), so that an element over it is disassembled, trimmed, encoded and reassembled,
// followed by text and binary runs, so that diffs against it have matches to copy.
inline std::vector<uint8_t> EnsembleFuzzOldFile()
{
    std::ifstream in(CORVALINK_EXE_FIXTURES "/elf/x86-pic.so", std::ios::binary);
    std::vector<uint8_t> old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const char text[] = "The quick brown fox jumps over the lazy dog. ";
    for (int i = 0; i < 8; ++i)
        old.insert(old.end(), text, text + sizeof text - 1);
    for (int i = 0; i < 640; ++i)
        old.push_back(static_cast<uint8_t>((i * 31) ^ (i >> 3)));
    return old;
}

// The length of the executable at the start of EnsembleFuzzOldFile().
constexpr uint32_t kEnsembleFuzzExecutableLength = 2636;
