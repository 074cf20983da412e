#pragma once

#include "transformationpatcher.h"

#include <cstdint>
#include <functional>

namespace corvapatch {

// The patcher of every executable element: the element's bytes are disassembled into an encoded program,
// which is what the element correction applies to; reassembly assembles the corrected program.
class PatcherX86_32 : public TransformationPatcher
{
public:
    // The whole old file; the element's place in it comes from ReadParameters.
    PatcherX86_32(const uint8_t *oldStart, uint32_t oldLength);
    PatcherX86_32(const PatcherX86_32 &) = delete;
    PatcherX86_32 &operator=(const PatcherX86_32 &) = delete;

    int ReadParameters(SourceStream *stream) override;
    int PredictParameters(SinkStreamSet *prediction) override;
    int Transform(SourceStreamSet *correctedParameters, SinkStreamSet *transformedElement) override;
    int Reassemble(SourceStreamSet *transformedElement, SinkStream *output) override;
    // Transform in two parts: the check of the corrected parameters (an element has none), then what it makes
    // of the element's bytes, which may also be done ahead of time.
    [[nodiscard]] static int CheckCorrectedParameters(SourceStreamSet *correctedParameters);
    [[nodiscard]] static int TransformBytes(const uint8_t *start, uint32_t length, SinkStreamSet *transformedElement,
                                            const std::function<void(const uint8_t *end)> &literalsEncoded = {});

    // The element's place in the old file, once ReadParameters succeeded.
    uint32_t offset() const { return m_offset; }
    uint32_t length() const { return m_length; }

private:
    const uint8_t *m_oldStart;
    uint32_t m_oldLength;
    uint32_t m_offset = 0;
    uint32_t m_length = 0;
};

} // namespace corvapatch
