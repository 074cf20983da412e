#pragma once

#include "disassembler_win32.h"

namespace corvapatch {

// PE32 executables and libraries for 32-bit x86.
class DisassemblerWin32X86 : public DisassemblerWin32
{
public:
    using DisassemblerWin32::DisassemblerWin32;

    int kind() const override;

protected:
    bool WantsPe32Plus() const override { return false; }
    const char *WrongWidthReason() const override
    {
        return "64 bit executables are not supported by this disassembler";
    }
    uint16_t RelocationType() const override { return 3; }
    bool ScansRipRelative() const override { return false; }
};

} // namespace corvapatch
