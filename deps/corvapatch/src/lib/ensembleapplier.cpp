#include "ensembleapplier.h"

#include "binarydiff.h"
#include "crc.h"
#include "executabletype.h"
#include "patcherx86_32.h"
#include "sinkstreamset.h"
#include "sourcestream.h"
#include "sourcestreamset.h"
#include "status.h"

namespace corvapatch {

namespace {

// An encoded program turns each of its bytes into at most this many assembled bytes: its largest output per
// input is a 2-byte absolute reference (op and index) that becomes 4 bytes of value and up to 12 bytes of
// relocation table (an entry, padding and a block header of its own).
constexpr uint64_t kMaxAssembledBytesPerEncodedByte = 8;

} // namespace

int EnsembleApplier::ReadHeader(SourceStream *patch)
{
    if (!patch->ReadVarint32(&m_header.magic) || m_header.magic != kEnsemblePatchMagic)
        return Status::BAD_MAGIC;
    if (!patch->ReadVarint32(&m_header.version) || m_header.version != kEnsemblePatchVersion)
        return Status::BAD_VERSION;
    if (!patch->ReadVarint32(&m_header.sourceCrc) || !patch->ReadVarint32(&m_header.targetCrc) ||
        !patch->ReadVarint32(&m_header.finalInputSize))
        return Status::BAD_HEADER;
    return Status::OK;
}

int EnsembleApplier::InitBase(const uint8_t *start, size_t length)
{
    // Element bounds and the final input are 32-bit; a longer old file could not be held anyway.
    if (length > UINT32_MAX)
        return Status::STREAM_ERROR;
    m_oldStart = start;
    m_oldLength = static_cast<uint32_t>(length);
    return Status::OK;
}

int EnsembleApplier::ValidateBase()
{
    return ComputeCrc(m_oldStart, m_oldLength) == m_header.sourceCrc ? Status::OK : Status::CRC_MISMATCH;
}

int EnsembleApplier::ReadTransformationDescriptions(SourceStream *stream)
{
    uint32_t count = 0;
    if (!stream->ReadVarint32(&count))
        return Status::BAD_HEADER;
    // No reservation from the count: each kind takes a byte, so the list grows only as far as the input goes.
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t kind = 0;
        if (!stream->ReadVarint32(&kind) || kind < WIN_32_X86 || kind > MACHO_X64)
            return Status::BAD_HEADER;
        // The kind is not kept: the element's format is detected again when it is disassembled.
        m_patchers.push_back(std::make_unique<PatcherX86_32>(m_oldStart, m_oldLength));
    }
    for (const std::unique_ptr<TransformationPatcher> &patcher : m_patchers) {
        if (const int status = patcher->ReadParameters(stream); status != Status::OK)
            return status;
    }
    return stream->Empty() ? Status::OK : Status::BAD_HEADER;
}

int EnsembleApplier::PredictAllParameters(SinkStreamSet *predicted)
{
    for (const std::unique_ptr<TransformationPatcher> &patcher : m_patchers) {
        SinkStreamSet single;
        if (const int status = patcher->PredictParameters(&single); status != Status::OK)
            return status;
        if (!predicted->WriteSet(&single))
            return Status::STREAM_ERROR;
    }
    return Status::OK;
}

int EnsembleApplier::SubpatchParameters(SinkStreamSet *prediction, SourceStream *correction,
                                        SourceStreamSet *corrected)
{
    return CorrectStreamSet(prediction, correction, corrected, &m_correctedParametersStorage);
}

int EnsembleApplier::TransformElements(SourceStreamSet *parameters, SinkStreamSet *transformed)
{
    for (const std::unique_ptr<TransformationPatcher> &patcher : m_patchers) {
        SourceStreamSet single;
        if (!parameters->ReadSet(&single))
            return Status::STREAM_ERROR;
        SinkStreamSet element;
        if (const int status = patcher->Transform(&single, &element); status != Status::OK)
            return status;
        if (!single.Empty())
            return Status::STREAM_NOT_CONSUMED;
        if (!transformed->WriteSet(&element))
            return Status::STREAM_ERROR;
    }
    return parameters->Empty() ? Status::OK : Status::STREAM_NOT_CONSUMED;
}

int EnsembleApplier::SubpatchElements(SinkStreamSet *transformed, SourceStream *correction,
                                      SourceStreamSet *corrected)
{
    return CorrectStreamSet(transformed, correction, corrected, &m_correctedElementsStorage);
}

int EnsembleApplier::ReassembleElements(SourceStreamSet *elements, SinkStream *basic)
{
    // The size is only a hint from the patch: reserve no more than the old file and the corrected elements can
    // assemble to, so a lying size costs nothing. A real patch's size is always below that bound.
    const uint64_t bound =
        uint64_t(m_oldLength) + kMaxAssembledBytesPerEncodedByte * uint64_t(m_correctedElementsStorage.Length());
    const uint64_t reservation = m_header.finalInputSize < bound ? m_header.finalInputSize : bound;
    if (basic->Failed() || reservation > UINT32_MAX || !basic->Reserve(static_cast<size_t>(reservation)) ||
        !basic->Write(m_oldStart, m_oldLength))
        return Status::STREAM_ERROR;
    for (const std::unique_ptr<TransformationPatcher> &patcher : m_patchers) {
        SourceStreamSet single;
        if (!elements->ReadSet(&single))
            return Status::STREAM_ERROR;
        if (const int status = patcher->Reassemble(&single, basic); status != Status::OK)
            return status;
        if (!single.Empty())
            return Status::STREAM_NOT_CONSUMED;
    }
    if (!elements->Empty())
        return Status::STREAM_NOT_CONSUMED;
    // The corrected elements are read to their end; the set's cursors are not used again.
    *elements = SourceStreamSet();
    m_correctedElementsStorage.Retire();
    return Status::OK;
}

int EnsembleApplier::ApplyFinalCorrection(SourceStream *basic, SourceStream *correction, SinkStream *output)
{
    if (!ApplyDiff(basic, correction, output, false))
        return Status::GENERAL_ERROR;
    return ComputeCrc(output->Buffer(), output->Length()) == m_header.targetCrc ? Status::OK
                                                                                 : Status::CRC_MISMATCH;
}

int EnsembleApplier::CorrectStreamSet(SinkStreamSet *prediction, SourceStream *correction,
                                      SourceStreamSet *corrected, SinkStream *storage)
{
    SinkStream linear;
    if (!prediction->CopyTo(&linear))
        return Status::STREAM_ERROR;
    SourceStream predicted;
    predicted.Init(linear);
    if (!ApplyDiff(&predicted, correction, storage, false))
        return Status::GENERAL_ERROR;
    return corrected->Init(storage->Buffer(), storage->Length()) ? Status::OK : Status::STREAM_ERROR;
}

} // namespace corvapatch
