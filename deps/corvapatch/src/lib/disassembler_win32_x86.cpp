#include "disassembler_win32_x86.h"

#include "executabletype.h"

namespace corvapatch {

int DisassemblerWin32X86::kind() const
{
    return WIN_32_X86;
}

} // namespace corvapatch
