#include "assemblyprogram.h"

#include "encodedprogram.h"
#include "status.h"

namespace corvapatch {

AssemblyProgram::AssemblyProgram(int kind) : m_kind(kind) { }
AssemblyProgram::~AssemblyProgram() { }
bool AssemblyProgram::PushOrigin(uint32_t) { return false; }
bool AssemblyProgram::PushPeRelocs() { return false; }
bool AssemblyProgram::PushElfRelocs() { return false; }
bool AssemblyProgram::PushElfArmRelocs() { return false; }
bool AssemblyProgram::PushByte(uint8_t) { return false; }
bool AssemblyProgram::PushBytes(const uint8_t *, uint32_t) { return false; }
bool AssemblyProgram::PushRel32(Label *) { return false; }
bool AssemblyProgram::PushAbs32(Label *) { return false; }
bool AssemblyProgram::PushRel32Arm(uint16_t, Label *, const uint8_t *, uint16_t) { return false; }
bool AssemblyProgram::PushInstruction(Instruction *instruction) { delete instruction; return false; }
Label *AssemblyProgram::GetAbs32Label(uint32_t) { return nullptr; }
Label *AssemblyProgram::GetRel32Label(uint32_t) { return nullptr; }
Label *AssemblyProgram::FindOrMakeLabel(RvaToLabel *, uint32_t) { return nullptr; }
void AssemblyProgram::NumberLabels() { }
void AssemblyProgram::ClearLabelIndexes() { }
void AssemblyProgram::FillLabelIndexes() { }
bool AssemblyProgram::TrimLabels() { return false; }
EncodedProgram *AssemblyProgram::Encode() const { return nullptr; }
Label *AssemblyProgram::InstructionAbs32Label(const Instruction *) { return nullptr; }
Label *AssemblyProgram::InstructionRel32Label(const Instruction *) { return nullptr; }
void AssemblyProgram::PrintLabelCounts(const RvaToLabel &) const { }
void AssemblyProgram::PrintRel32LabelCounts() const { }

int TrimAssemblyProgram(AssemblyProgram *program) { return program->TrimLabels() ? Status::OK : Status::TRIM_FAILED; }
int EncodeAssemblyProgram(AssemblyProgram *, EncodedProgram **out) { *out = nullptr; return Status::GENERAL_ERROR; }
void DeleteAssemblyProgram(AssemblyProgram *program) { delete program; }

} // namespace corvapatch
