#include "elftypedrva.h"

#include "assemblyprogram.h"

namespace corvapatch {

bool X86TypedRva::EmitInstruction(AssemblyProgram *program, uint32_t targetRva) const
{
    Label *label = program->GetRel32Label(targetRva);
    return label && program->PushRel32(label);
}

} // namespace corvapatch
