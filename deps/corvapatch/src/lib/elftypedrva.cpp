#include "elftypedrva.h"

#include "assemblyprogram.h"
#include "elfformat.h"

namespace corvapatch {

bool X86TypedRva::ComputeRelativeTarget(const uint8_t *op)
{
    set_relative_target(ReadLittle32(op) + 4);
    return true;
}

bool X86TypedRva::EmitInstruction(AssemblyProgram *program, uint32_t targetRva)
{
    Label *label = program->GetRel32Label(targetRva);
    return label && program->PushRel32(label);
}

} // namespace corvapatch
