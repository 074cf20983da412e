#pragma once

#include "disassembler_win32.h"

namespace corvapatch {

// PE32+ executables and libraries for x86-64.
class DisassemblerWin32X64 : public DisassemblerWin32
{
public:
    using DisassemblerWin32::DisassemblerWin32;

    int kind() const override;

protected:
    bool WantsPe32Plus() const override { return true; }
    const char *WrongWidthReason() const override
    {
        return "32 bit executables are not supported by this disassembler";
    }
    uint16_t RelocationType() const override { return 10; }
    bool ScansRipRelative() const override { return true; }
};

} // namespace corvapatch
