#pragma once

#include <string>

namespace corvapatch {

// The kinds of executable the disassemblers recognise; stored as int in programs and patches.
enum ExecutableType : int {
    EXE_UNKNOWN = 0,
    WIN_32_X86 = 1,
    EXE_ELF_32_X86 = 2,
    ELF_32_ARM = 3,
    WIN_32_X64 = 4,
    ELF_64_X64 = 5,
    MACHO_X86 = 6,
    MACHO_X64 = 7,
};

// "WIN_32_X86", ... for 1 to 7; "UNKNOWN" for every other value.
std::string ExecutableTypeName(int type);

} // namespace corvapatch
