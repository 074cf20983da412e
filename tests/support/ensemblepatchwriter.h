#pragma once

#include "lzma2blockwriter.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace patchwriter {

// One executable element of an ensemble patch: its kind as written in the descriptions (1 to 7), and where it
// lies in the old and in the new file.
struct Element
{
    uint32_t kind;
    uint32_t oldOffset;
    uint32_t oldLength;
    uint32_t newOffset;
    uint32_t newLength;
};

// An ensemble patch in parts, as they are joined into the file. Tests change one part to break exactly one thing.
struct EnsemblePatch
{
    uint32_t magic = 0x756F43;
    uint32_t version = 20110216;
    uint32_t sourceCrc = 0;
    uint32_t targetCrc = 0;
    uint32_t finalInputSize = 0;
    // The payload set: its count and its streams (descriptions, parameter, element and final correction).
    uint32_t streamCount = 10;
    std::vector<Bytes> streams;
    // The payload block compressed with the engine's encoder rather than stored.
    bool compress = false;

    // The header's five varints and the payload block. Empty when the payload set cannot be written.
    Bytes Serialize() const;
};

// How the labels of a new element are numbered before it is encoded. The applier assembles whatever indexes the
// new encoded program holds, so the writer may choose them.
enum class LabelNumbering {
    // In the new element's own address order, as the disassembler numbers them (and as the old element is).
    INDEPENDENT,
    // A label takes the index of its counterpart in the old element (see MatchLabelIndexes), so the element
    // correction holds little more than what changed.
    MATCHED,
};

// Makes the patch that turns old into newData, transforming every element as the applier does (parse, trim,
// encode and write on the old and on the new element, so that the element correction turns one into the other;
// the new element's labels numbered as asked). Returns the engine's status of the step that failed, or 1 with
// *patch filled in.
[[nodiscard]] int MakeEnsemblePatch(const Bytes &old, const Bytes &newData, const std::vector<Element> &elements,
                                    EnsemblePatch *patch, LabelNumbering numbering = LabelNumbering::MATCHED);

// The linear sets of all elements' transformed forms that the element correction turns one into the other: the old
// file's as the applier makes it, the new file's numbered as asked. 1, or the status of the step that failed.
[[nodiscard]] int TransformedElements(const Bytes &old, const Bytes &newData, const std::vector<Element> &elements,
                                      LabelNumbering numbering, Bytes *oldLinear, Bytes *newLinear);

// The patch's building blocks, for patches made by hand.
// The descriptions stream: the count, every kind, then every element's old offset and length.
Bytes Descriptions(const std::vector<Element> &elements);
// The linear parameter set the applier predicts for a number of elements (each element adds one 00 byte).
Bytes PredictedParameters(size_t elements);

} // namespace patchwriter
