#include "executabletype.h"

namespace corvapatch {

std::string ExecutableTypeName(int type)
{
    switch (type) {
    case WIN_32_X86:
        return "WIN_32_X86";
    case EXE_ELF_32_X86:
        return "EXE_ELF_32_X86";
    case ELF_32_ARM:
        return "ELF_32_ARM";
    case WIN_32_X64:
        return "WIN_32_X64";
    case ELF_64_X64:
        return "ELF_64_X64";
    case MACHO_X86:
        return "MACHO_X86";
    case MACHO_X64:
        return "MACHO_X64";
    default:
        return "UNKNOWN";
    }
}

} // namespace corvapatch
