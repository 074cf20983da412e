#pragma once

#include <cstdint>
#include <map>

namespace corvapatch {

// A target of absolute or relative references: its address relative to the image base, its position in the
// encoded address table (kNoIndex until numbered) and how many references were made to it.
struct Label
{
    static constexpr int32_t kNoIndex = -1;

    explicit Label(uint32_t rva) : rva(rva) { }

    uint32_t rva = 0;
    int32_t index = kNoIndex;
    int32_t count = 0;
};

// Labels by address, walked in ascending address order. The program owns the labels.
using RvaToLabel = std::map<uint32_t, Label *>;

} // namespace corvapatch
