#pragma once

namespace corvapatch {

class SinkStream;
class SinkStreamSet;
class SourceStream;
class SourceStreamSet;

// One element of an ensemble patch: how its slice of the old file is turned into a form that diffs well, and
// how the corrected form is turned back into bytes. Every operation returns a Status (status.h).
class TransformationPatcher
{
public:
    virtual ~TransformationPatcher() = default;
    // Reads the element's own description (where it lies in the old file).
    [[nodiscard]] virtual int ReadParameters(SourceStream *stream) = 0;
    // Writes what the patch maker is assumed to have known about the element's parameters.
    [[nodiscard]] virtual int PredictParameters(SinkStreamSet *prediction) = 0;
    // Turns the element's old bytes into its transformed form, given the corrected parameters.
    [[nodiscard]] virtual int Transform(SourceStreamSet *correctedParameters, SinkStreamSet *transformedElement) = 0;
    // Appends the bytes the corrected transformed form stands for.
    [[nodiscard]] virtual int Reassemble(SourceStreamSet *transformedElement, SinkStream *output) = 0;
};

} // namespace corvapatch
