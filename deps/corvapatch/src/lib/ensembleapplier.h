#pragma once

#include "ensemblepatch.h"
#include "sinkstream.h"
#include "sinkstreamset.h"
#include "transformationpatcher.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace corvapatch {

class SourceStream;
class SourceStreamSet;

// Where an element lies in the old file.
struct ElementPlace
{
    uint32_t offset;
    uint32_t length;
};

// The state of one ensemble patch application. The steps run in the order declared; each returns a Status
// (status.h) and a failure ends the application. The corrected sets point into this object's storage, so they
// are valid only while it lives.
class EnsembleApplier
{
public:
    EnsembleApplier() = default;
    EnsembleApplier(const EnsembleApplier &) = delete;
    EnsembleApplier &operator=(const EnsembleApplier &) = delete;

    // The new file may take at most maxSize bytes: the final correction may not declare more, and the corrected
    // elements (encoded programs of the new file's executables) are held to the bound the LZMA container's
    // executable form uses for its programs. No cap unless set.
    void SetMaxOutputSize(size_t maxSize) { m_maxOutputSize = maxSize; }
    // When the old file is a mapping whose pages can be given back (and read again from the file when touched):
    // drop(from, length) gives back the resident pages of that range. Elements transformed ahead then give back
    // the part already encoded as they go, so that the old element and its encoded copy are not held whole at
    // once.
    using OldPagesDropper = std::function<void(const uint8_t *from, size_t length)>;
    void SetOldPagesDropper(OldPagesDropper drop) { m_dropOldPages = std::move(drop); }
    // Gives back every resident page of the old file, when a dropper is set: after the transformation only the
    // final correction reads the old file again, and only what it copies.
    void DropOldPages();

    // Magic (5), version (6), the two crcs and the final input size (7).
    [[nodiscard]] int ReadHeader(SourceStream *patch);
    // The old file's bytes, which must outlive the applier. More than 32 bits of length cannot be patched (20).
    [[nodiscard]] int InitBase(const uint8_t *start, size_t length);
    // The old file against the header's source crc (8).
    [[nodiscard]] int ValidateBase();
    // Optional, after InitBase: transforms the elements that the descriptions at the start of the payload
    // describe, so that another thread can decode the rest of the payload meanwhile. prefix holds the payload's
    // first bytes. Nothing is done unless they hold the whole descriptions stream and it reads as
    // ReadTransformationDescriptions reads it. TransformElements takes the form made ahead for an element at the
    // same place: the form it would have made, with the status it would have had.
    void TransformAhead(const uint8_t *prefix, size_t length);
    // Creates one patcher per described element and lets each read its parameters; nothing may follow (7).
    [[nodiscard]] int ReadTransformationDescriptions(SourceStream *stream);
    // The set of every element's predicted parameters, each element nested in turn.
    [[nodiscard]] int PredictAllParameters(SinkStreamSet *predicted);
    [[nodiscard]] int SubpatchParameters(SinkStreamSet *prediction, SourceStream *correction,
                                         SourceStreamSet *corrected);
    // Each element's transformed form, nested in turn into transformed.
    [[nodiscard]] int TransformElements(SourceStreamSet *parameters, SinkStreamSet *transformed);
    [[nodiscard]] int SubpatchElements(SinkStreamSet *transformed, SourceStream *correction,
                                       SourceStreamSet *corrected);
    // Every element's reassembled bytes. The old file followed by them is the final correction's old data; the
    // old file is not copied in front of them.
    [[nodiscard]] int ReassembleElements(SourceStreamSet *elements, SinkStream *basic);
    // The new file made from the old file followed by the reassembled elements, checked against the header's
    // target crc (8).
    [[nodiscard]] int ApplyFinalCorrection(SourceStream *elements, SourceStream *correction, SinkStream *output);

    const EnsemblePatchHeader &header() const { return m_header; }

private:
    // Linearises prediction, applies the correction diff to it into storage and parses the result as a set.
    // storage's limit bounds what the correction may produce. The largest of prediction's streams is then
    // left to spare, when there is one.
    [[nodiscard]] static int CorrectStreamSet(SinkStreamSet *prediction, SourceStream *correction,
                                              SourceStreamSet *corrected, SinkStream *storage, SinkStream *spare);

    // An element transformed ahead of time; not usable when its transformation threw.
    struct EarlyElement
    {
        ElementPlace place;
        bool usable = false;
        bool taken = false;
        int status = 0;
        SinkStreamSet transformed;
    };
    // The unused early element at place; nullptr when there is none.
    EarlyElement *TakeEarly(const ElementPlace &place);

    const uint8_t *m_oldStart = nullptr;
    uint32_t m_oldLength = 0;
    EnsemblePatchHeader m_header;
    size_t m_maxOutputSize = SIZE_MAX;
    OldPagesDropper m_dropOldPages;
    std::vector<std::unique_ptr<TransformationPatcher>> m_patchers;
    std::vector<ElementPlace> m_places; // of every patcher, in the same order
    std::vector<std::unique_ptr<EarlyElement>> m_earlyElements;
    SinkStream m_correctedParametersStorage;
    SinkStream m_correctedElementsStorage;
    // An allocation one step no longer needs, whose pages the next step's output takes over instead of fresh ones:
    // the transformed elements' largest stream for the reassembled elements, then the corrected elements for
    // the new file.
    SinkStream m_spare;
};

} // namespace corvapatch
