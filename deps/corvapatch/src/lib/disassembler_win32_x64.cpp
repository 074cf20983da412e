#include "disassembler_win32_x64.h"

#include "executabletype.h"

namespace corvapatch {

int DisassemblerWin32X64::kind() const
{
    return WIN_32_X64;
}

} // namespace corvapatch
