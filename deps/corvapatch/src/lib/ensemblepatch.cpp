#include "ensemblepatch.h"

#include "ensembleapplier.h"
#include "helperthread.h"
#include "lzmaioin.h"
#include "mappedfile.h"
#include "replacefile.h"
#include "sinkstream.h"
#include "sinkstreamset.h"
#include "sourcestream.h"
#include "sourcestreamset.h"
#include "status.h"
#include "zeroedpages.h"

#include <exception>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace corvapatch {

namespace {

// Enough of a payload's start for the descriptions of hundreds of elements.
constexpr size_t kPayloadPrefixLength = 4096;

// Gives the heap's free pages back to the system. The transformation frees tens of megabytes in pieces that
// the allocator keeps for reuse, while the next steps allocate buffers of their own.
void ReleaseFreeMemory()
{
#ifdef __GLIBC__
    (void)malloc_trim(0);
#endif
}

// Everything after the header: the payload's four streams in turn, ending in the new file appended to output.
// What is no longer needed is given back as soon as it is not: the old file's pages and the heap's free pages
// once its elements are transformed (the final correction reads back only what it copies), and the element
// correction's pages once it is applied.
int ApplyPayload(EnsembleApplier *applier, SourceStreamSet *payload, ZeroedPages *payloadPages, SinkStream *output)
{
    // A set of fewer streams than the patch needs is as unreadable as missing descriptions; its absent streams
    // are never touched. A set that did not parse has empty streams and fails at the descriptions the same way.
    if (payload->count() < PATCH_STREAM_COUNT)
        return Status::BAD_HEADER;
    if (const int status = applier->ReadTransformationDescriptions(payload->stream(PATCH_STREAM_DESCRIPTIONS));
        status != Status::OK)
        return status;

    SinkStreamSet predicted;
    if (const int status = applier->PredictAllParameters(&predicted); status != Status::OK)
        return status;
    SourceStreamSet parameters;
    if (const int status =
            applier->SubpatchParameters(&predicted, payload->stream(PATCH_STREAM_PARAMETER_CORRECTION), &parameters);
        status != Status::OK)
        return status;

    SinkStreamSet transformed;
    if (const int status = applier->TransformElements(&parameters, &transformed); status != Status::OK)
        return status;
    applier->DropOldPages();
    ReleaseFreeMemory();
    SourceStream *elementCorrection = payload->stream(PATCH_STREAM_ELEMENT_CORRECTION);
    const uint8_t *correctionStart = elementCorrection->Current();
    const size_t correctionLength = elementCorrection->Remaining();
    SourceStreamSet elements;
    if (const int status = applier->SubpatchElements(&transformed, elementCorrection, &elements);
        status != Status::OK)
        return status;
    payloadPages->Release(correctionStart, correctionLength);

    SinkStream reassembled;
    if (const int status = applier->ReassembleElements(&elements, &reassembled); status != Status::OK)
        return status;
    SourceStream reassembledCursor;
    reassembledCursor.Init(reassembled);
    return applier->ApplyFinalCorrection(&reassembledCursor, payload->stream(PATCH_STREAM_FINAL_CORRECTION),
                                         output);
}

int ApplyStreams(SourceStream *old, SourceStream *patch, SinkStream *output, size_t maxSize,
                 const EnsembleApplier::OldPagesDropper &dropOld)
{
    EnsembleApplier applier;
    applier.SetMaxOutputSize(maxSize);
    applier.SetOldPagesDropper(dropOld);
    if (const int status = applier.ReadHeader(patch); status != Status::OK)
        return status;
    if (const int status = applier.InitBase(old->Current(), old->Remaining()); status != Status::OK)
        return status;
    // The old file's crc, the payload's decoding and the transformation of the elements its first bytes describe
    // do not depend on each other: a second thread takes the crc and then decodes while this one transforms. The
    // statuses stay in their order: a crc mismatch first, then a payload that does not decode.
    int baseStatus = Status::OK;
    bool decoded = false;
    // Most of a payload is zeros (the corrections of what did not change): only its other pages take memory.
    ZeroedPages payloadBytes;
    const SourceStream payloadStart = *patch; // the decoding moves patch's cursor
    const auto checkAndDecode = [&applier, &baseStatus, &decoded, patch, &payloadBytes] {
        try {
            baseStatus = applier.ValidateBase();
            decoded = baseStatus == Status::OK && ReadLzma2BlockToPages(patch, &payloadBytes);
        } catch (const std::exception &) {
            decoded = false; // as when it ran on the calling thread: a stream error
        }
    };
    HelperThread helper(checkAndDecode);
    if (helper.Started()) {
        uint8_t prefix[kPayloadPrefixLength];
        size_t prefixLength = sizeof prefix;
        // Work ahead only: when it cannot be done, each element is transformed in its turn.
        try {
            if (PeekLzma2Block(payloadStart, prefix, &prefixLength))
                applier.TransformAhead(prefix, prefixLength);
        } catch (const std::exception &) {
        }
        helper.Join();
    } else {
        checkAndDecode(); // no thread to be had: in turn, nothing ahead
    }
    if (baseStatus != Status::OK)
        return baseStatus;
    if (!decoded)
        return Status::STREAM_ERROR;
    SourceStreamSet payload;
    // The result is not needed on its own: a set that did not parse leaves no readable descriptions.
    (void)payload.Init(payloadBytes.Data(), payloadBytes.Length());
    return ApplyPayload(&applier, &payload, &payloadBytes, output);
}

} // namespace

int ApplyEnsemblePatchStreams(SourceStream *old, SourceStream *patch, SinkStream *output, size_t maxSize)
{
    // The engine's own containers never throw, but the disassembly's maps and the programs' allocations may;
    // running out of memory is then a stream error like a failed sink.
    try {
        return ApplyStreams(old, patch, output, maxSize, {});
    } catch (const std::exception &) {
        return Status::STREAM_ERROR;
    }
}

int ApplyEnsemblePatchFiles(const char *oldPath, const char *patchPath, const char *newPath, size_t maxSize)
{
    try {
        SinkStream output;
        {
            MappedFile patchFile(patchPath, 0, 0);
            if (!patchFile.IsValid())
                return Status::PATCH_OPEN_FAILED;
            SourceStream patch;
            patch.Init(patchFile.Data(), patchFile.ViewLength());
            {
                // The header alone first, so that the old file is not opened for something that is no patch.
                EnsembleApplier scratch;
                SourceStream header = patch;
                if (const int status = scratch.ReadHeader(&header); status != Status::OK)
                    return status;
            }
            MappedFile oldFile(oldPath, 0, 0);
            if (!oldFile.IsValid())
                return Status::FILE_ACCESS_FAILED;
            SourceStream old;
            old.Init(oldFile.Data(), oldFile.ViewLength());
            const auto dropOld = [&oldFile](const uint8_t *from, size_t length) {
                oldFile.DropResidentPages(size_t(from - oldFile.Data()), length);
            };
            if (const int status = ApplyStreams(&old, &patch, &output, maxSize, dropOld); status != Status::OK)
                return status;
        }
        return ReplaceFile(newPath, output.Buffer(), output.Length()) ? Status::OK : Status::FILE_ACCESS_FAILED;
    } catch (const std::exception &) {
        return Status::STREAM_ERROR;
    }
}

} // namespace corvapatch
