#include "ensembleapplier.h"

#include "binarydiff.h"
#include "crc.h"
#include "executabletype.h"
#include "growablebuffer.h"
#include "lzmafile.h"
#include "patcherx86_32.h"
#include "sinkstreamset.h"
#include "sourcestream.h"
#include "sourcestreamset.h"
#include "status.h"
#include "streamsetheader.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <vector>

namespace corvapatch {

namespace {

// An encoded program turns each of its bytes into at most this many assembled bytes: its largest output per
// input is a 2-byte absolute reference (op and index) that becomes 4 bytes of value and up to 12 bytes of
// relocation table (an entry, padding and a block header of its own).
constexpr uint64_t kMaxAssembledBytesPerEncodedByte = 8;

// A corrected parameter set that can be used: the set's header (at most 5 + 5 + 9 * 5 bytes with every varint
// at its longest) and one nested empty set of at most 5 bytes per element.
constexpr size_t kMaxCorrectedParametersPerElement = 5;
constexpr size_t kCorrectedParametersSlack = 64;

// How much of an old element is encoded before its pages are given back: a few calls for a large element.
constexpr size_t kDropStep = size_t(1) << 20;

// Whether two of the places share a byte.
bool Overlapping(std::vector<ElementPlace> places)
{
    std::sort(places.begin(), places.end(),
              [](const ElementPlace &a, const ElementPlace &b) { return a.offset < b.offset; });
    for (size_t i = 1; i < places.size(); ++i) {
        const ElementPlace &before = places[i - 1];
        if (places[i].offset - before.offset < before.length)
            return true;
    }
    return false;
}

} // namespace

void EnsembleApplier::TransformAhead(const uint8_t *prefix, size_t length)
{
    if (!m_earlyElements.empty())
        return;
    SourceStream header;
    header.Init(prefix, length);
    uint32_t version = 0;
    uint32_t count = 0;
    if (!header.ReadVarint32(&version) || version != kStreamSetVersion || !header.ReadVarint32(&count) ||
        count < PATCH_STREAM_COUNT || count > kStreamSetMaxStreams)
        return;
    uint32_t descriptionsLength = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t streamLength = 0;
        if (!header.ReadVarint32(&streamLength))
            return;
        if (i == PATCH_STREAM_DESCRIPTIONS)
            descriptionsLength = streamLength;
    }
    SourceStream descriptions;
    if (!header.ReadSubstream(descriptionsLength, &descriptions))
        return;
    EnsembleApplier scratch;
    if (scratch.InitBase(m_oldStart, m_oldLength) != Status::OK ||
        scratch.ReadTransformationDescriptions(&descriptions) != Status::OK)
        return;
    for (const ElementPlace &place : scratch.m_places) {
        auto element = std::make_unique<EarlyElement>();
        element->place = place;
        // The encoded element holds its own copy of what was encoded; the old pages behind it go in steps.
        const uint8_t *kept = m_oldStart + place.offset;
        const auto literalsEncoded = [this, &kept](const uint8_t *end) {
            if (end > kept && size_t(end - kept) >= kDropStep) {
                m_dropOldPages(kept, size_t(end - kept));
                kept = end;
            }
        };
        // A throw is left for the element's own transformation to meet again in its turn.
        try {
            element->status = PatcherX86_32::TransformBytes(
                m_oldStart + place.offset, place.length, &element->transformed,
                m_dropOldPages ? std::function<void(const uint8_t *)>(literalsEncoded) : nullptr);
            element->usable = true;
        } catch (const std::exception &) {
            element->usable = false;
        }
        m_earlyElements.push_back(std::move(element));
    }
}

void EnsembleApplier::DropOldPages()
{
    if (m_dropOldPages)
        m_dropOldPages(m_oldStart, m_oldLength);
}

EnsembleApplier::EarlyElement *EnsembleApplier::TakeEarly(const ElementPlace &place)
{
    for (const std::unique_ptr<EarlyElement> &element : m_earlyElements) {
        if (element->usable && !element->taken && element->place.offset == place.offset &&
            element->place.length == place.length) {
            element->taken = true;
            return element.get();
        }
    }
    return nullptr;
}

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
    // The kinds are only checked: the element's format is detected again when it is disassembled, and a patcher
    // is made only for an element whose parameters were read, so a list of kinds alone allocates nothing.
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t kind = 0;
        if (!stream->ReadVarint32(&kind) || kind < WIN_32_X86 || kind > MACHO_X64)
            return Status::BAD_HEADER;
    }
    // Elements hold at least one byte each and do not overlap, so together they fit in the old file: their
    // number and the bytes disassembled are bounded by it. The running total refuses the first element that
    // cannot fit before the list grows further; the overlap test follows once all are known.
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        auto patcher = std::make_unique<PatcherX86_32>(m_oldStart, m_oldLength);
        if (const int status = patcher->ReadParameters(stream); status != Status::OK)
            return status;
        total += patcher->length();
        if (patcher->length() == 0 || total > m_oldLength)
            return Status::BAD_PARAMETERS;
        m_places.push_back({patcher->offset(), patcher->length()});
        m_patchers.push_back(std::move(patcher));
    }
    if (Overlapping(m_places))
        return Status::BAD_PARAMETERS;
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
    // Every element's corrected parameters must be empty, so a set that can be used is the prediction itself,
    // at most with longer varints: more is refused before it is produced.
    m_correctedParametersStorage.SetLimit(kMaxCorrectedParametersPerElement * m_patchers.size() +
                                          kCorrectedParametersSlack);
    return CorrectStreamSet(prediction, correction, corrected, &m_correctedParametersStorage, nullptr);
}

int EnsembleApplier::TransformElements(SourceStreamSet *parameters, SinkStreamSet *transformed)
{
    for (size_t i = 0; i < m_patchers.size(); ++i) {
        SourceStreamSet single;
        if (!parameters->ReadSet(&single))
            return Status::STREAM_ERROR;
        SinkStreamSet element;
        SinkStreamSet *form = &element;
        int status = Status::OK;
        if (EarlyElement *early = TakeEarly(m_places[i])) {
            status = PatcherX86_32::CheckCorrectedParameters(&single);
            if (status == Status::OK)
                status = early->status;
            form = &early->transformed;
        } else {
            status = m_patchers[i]->Transform(&single, &element);
        }
        if (status != Status::OK)
            return status;
        if (!single.Empty())
            return Status::STREAM_NOT_CONSUMED;
        if (!transformed->WriteSet(form))
            return Status::STREAM_ERROR;
    }
    return parameters->Empty() ? Status::OK : Status::STREAM_NOT_CONSUMED;
}

int EnsembleApplier::SubpatchElements(SinkStreamSet *transformed, SourceStream *correction,
                                      SourceStreamSet *corrected)
{
    m_correctedElementsStorage.SetLimit(MaxDisAndDiffIntermediateSize(m_maxOutputSize));
    return CorrectStreamSet(transformed, correction, corrected, &m_correctedElementsStorage, &m_spare);
}

int EnsembleApplier::ReassembleElements(SourceStreamSet *elements, SinkStream *basic)
{
    // The reassembled elements are the new file's executables: with a cap on the new file they are held to the
    // same bound as the corrected programs they come from. The old file and they together stay below the 32 bits
    // a buffer holds, as when they were one buffer.
    const size_t maxElements = MaxDisAndDiffIntermediateSize(m_maxOutputSize);
    const size_t heldBelow =
        m_oldLength < GrowableBuffer::kFailedCapacity ? GrowableBuffer::kFailedCapacity - 1 - m_oldLength : 0;
    basic->SetLimit(std::min(maxElements, heldBelow));
    basic->Recycle(&m_spare);
    // The size is only a hint from the patch: reserve no more than the old file and the corrected elements can
    // assemble to, so a lying size costs nothing. A real patch's size is always below that bound.
    const uint64_t room = maxElements > SIZE_MAX - m_oldLength ? SIZE_MAX : m_oldLength + maxElements;
    const uint64_t bound =
        uint64_t(m_oldLength) + kMaxAssembledBytesPerEncodedByte * uint64_t(m_correctedElementsStorage.Length());
    const uint64_t reservation = std::min<uint64_t>({m_header.finalInputSize, bound, room});
    if (basic->Failed() || reservation > UINT32_MAX || m_oldLength >= GrowableBuffer::kFailedCapacity ||
        !basic->Reserve(static_cast<size_t>(reservation > m_oldLength ? reservation - m_oldLength : 0)))
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
    m_spare.Recycle(&m_correctedElementsStorage);
    m_correctedElementsStorage.Retire();
    return Status::OK;
}

int EnsembleApplier::ApplyFinalCorrection(SourceStream *elements, SourceStream *correction, SinkStream *output)
{
    output->Recycle(&m_spare);
    const size_t had = output->Length();
    output->SetLimit(m_maxOutputSize > SIZE_MAX - had ? SIZE_MAX : had + m_maxOutputSize);
    SourceStream basic[2];
    basic[0].Init(m_oldStart, m_oldLength);
    basic[1] = *elements;
    const bool applied = ApplyDiffToJoined(basic, 2, correction, output);
    output->SetLimit(SIZE_MAX);
    if (!applied)
        return Status::GENERAL_ERROR;
    return ComputeCrcInHalves(output->Buffer(), output->Length()) == m_header.targetCrc ? Status::OK
                                                                                 : Status::CRC_MISMATCH;
}

int EnsembleApplier::CorrectStreamSet(SinkStreamSet *prediction, SourceStream *correction,
                                      SourceStreamSet *corrected, SinkStream *storage, SinkStream *spare)
{
    // The prediction's serialised form is its header followed by its streams: the diff reads them where they
    // are instead of from one copy of them all.
    SinkStream header;
    if (!prediction->CopyHeaderTo(&header) || header.Failed())
        return Status::STREAM_ERROR;
    SourceStream pieces[kStreamSetMaxStreams + 1];
    pieces[0].Init(header);
    uint64_t total = header.Length();
    for (uint32_t i = 0; i < prediction->count(); ++i) {
        if (prediction->stream(i)->Failed())
            return Status::STREAM_ERROR;
        pieces[i + 1].Init(*prediction->stream(i));
        total += prediction->stream(i)->Length();
    }
    // As one buffer it could not be held.
    if (total >= GrowableBuffer::kFailedCapacity)
        return Status::STREAM_ERROR;
    const bool applied = ApplyDiffToJoined(pieces, prediction->count() + 1, correction, storage);
    for (uint32_t i = 0; i < prediction->count(); ++i) {
        if (spare)
            spare->Recycle(prediction->stream(i)); // keeps the largest
        prediction->stream(i)->Retire();
    }
    if (!applied)
        return Status::GENERAL_ERROR;
    return corrected->Init(storage->Buffer(), storage->Length()) ? Status::OK : Status::STREAM_ERROR;
}

} // namespace corvapatch
