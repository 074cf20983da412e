#include "encodedprogram.h"

#include "status.h"

namespace corvapatch {

bool EncodedProgram::SetAbs32Rva(int32_t, uint32_t) { return false; }
bool EncodedProgram::SetRel32Rva(int32_t, uint32_t) { return false; }
void EncodedProgram::FillRvaGaps() { }
bool EncodedProgram::AppendOrigin(uint32_t) { return false; }
bool EncodedProgram::AppendCopy(uint32_t, const uint8_t *) { return false; }
bool EncodedProgram::AppendRel32(int32_t) { return false; }
bool EncodedProgram::AppendAbs32(int32_t) { return false; }
bool EncodedProgram::AppendRel32Arm(uint16_t, int32_t) { return false; }
bool EncodedProgram::AppendPeRelocs(int) { return false; }
bool EncodedProgram::AppendElfRelocs() { return false; }
bool EncodedProgram::AppendElfArmRelocs() { return false; }
void EncodedProgram::PrintSummary() const { }
bool EncodedProgram::WriteTo(SinkStreamSet *) const { return false; }
bool EncodedProgram::ReadFrom(SourceStreamSet *) { return false; }
bool EncodedProgram::AssembleTo(SinkStream *) { return false; }

int WriteEncodedProgram(EncodedProgram *, SinkStreamSet *) { return Status::STREAM_ERROR; }
int ReadEncodedProgram(SourceStreamSet *, EncodedProgram **out) { *out = nullptr; return Status::DESERIALIZATION_FAILED; }
int Assemble(EncodedProgram *, SinkStream *) { return Status::ASSEMBLY_FAILED; }
void DeleteEncodedProgram(EncodedProgram *program) { delete program; }

} // namespace corvapatch
