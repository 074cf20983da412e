#include "patcherx86_32.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "sinkstream.h"
#include "sinkstreamset.h"
#include "sourcestream.h"
#include "sourcestreamset.h"
#include "status.h"

namespace corvapatch {

PatcherX86_32::PatcherX86_32(const uint8_t *oldStart, uint32_t oldLength)
    : m_oldStart(oldStart)
    , m_oldLength(oldLength)
{
}

int PatcherX86_32::ReadParameters(SourceStream *stream)
{
    if (!stream->ReadVarint32(&m_offset) || !stream->ReadVarint32(&m_length))
        return Status::BAD_PARAMETERS;
    if (m_offset > m_oldLength || m_length > m_oldLength - m_offset)
        return Status::BAD_PARAMETERS;
    return Status::OK;
}

int PatcherX86_32::PredictParameters(SinkStreamSet *)
{
    return Status::OK;
}

int PatcherX86_32::Transform(SourceStreamSet *correctedParameters, SinkStreamSet *transformedElement)
{
    if (const int status = CheckCorrectedParameters(correctedParameters); status != Status::OK)
        return status;
    return TransformBytes(m_oldStart + m_offset, m_length, transformedElement);
}

int PatcherX86_32::CheckCorrectedParameters(SourceStreamSet *correctedParameters)
{
    return correctedParameters->Empty() ? Status::OK : Status::GENERAL_ERROR;
}

int PatcherX86_32::TransformBytes(const uint8_t *start, uint32_t length, SinkStreamSet *transformedElement,
                                  const std::function<void(const uint8_t *end)> &literalsEncoded)
{
    EncodedProgram *encoded = nullptr;
    if (const int status = ParseAndEncodeExecutable(start, length, &encoded, literalsEncoded); status != Status::OK)
        return status;
    const int written = WriteEncodedProgramReleasing(encoded, transformedElement);
    DeleteEncodedProgram(encoded);
    return written;
}

int PatcherX86_32::Reassemble(SourceStreamSet *transformedElement, SinkStream *output)
{
    EncodedProgram *encoded = nullptr;
    // The corrected elements outlive the program: its literal bytes are read where they lie.
    if (ReadEncodedProgramInPlace(transformedElement, &encoded) != Status::OK)
        return Status::DESERIALIZATION_FAILED;
    const int assembled = Assemble(encoded, output);
    DeleteEncodedProgram(encoded);
    return assembled;
}

} // namespace corvapatch
