#include "ensemblepatchwriter.h"

#include "patchpieces.h"

#include "assemblyprogram.h"
#include "crc.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "sinkstream.h"
#include "sinkstreamset.h"
#include "sourcestream.h"
#include "sourcestreamset.h"
#include "status.h"

namespace patchwriter {

using namespace corvapatch;

namespace {

// The element's encoded program, nested into transformed as the applier's transformation does it.
int TransformElement(const uint8_t *start, uint32_t length, SinkStreamSet *transformed)
{
    AssemblyProgram *program = nullptr;
    if (const int status = ParseExecutable(start, length, &program); status != Status::OK)
        return status;
    if (const int status = TrimAssemblyProgram(program); status != Status::OK) {
        DeleteAssemblyProgram(program);
        return status;
    }
    EncodedProgram *encoded = nullptr;
    const int encodeStatus = EncodeAssemblyProgram(program, &encoded);
    DeleteAssemblyProgram(program);
    if (encodeStatus != Status::OK)
        return encodeStatus;
    SinkStreamSet element;
    const int written = WriteEncodedProgram(encoded, &element);
    DeleteEncodedProgram(encoded);
    if (written != Status::OK)
        return written;
    return transformed->WriteSet(&element) ? Status::OK : Status::STREAM_ERROR;
}

// The linear set of all elements' transformed forms, taken from old or from the new file.
int TransformAll(const Bytes &file, const std::vector<Element> &elements, bool fromNew, Bytes *linear)
{
    SinkStreamSet transformed;
    for (const Element &e : elements) {
        const uint32_t offset = fromNew ? e.newOffset : e.oldOffset;
        const uint32_t length = fromNew ? e.newLength : e.oldLength;
        if (offset > file.size() || length > file.size() - offset)
            return Status::BAD_PARAMETERS;
        if (const int status = TransformElement(file.data() + offset, length, &transformed); status != Status::OK)
            return status;
    }
    SinkStream out;
    if (!transformed.CopyTo(&out))
        return Status::STREAM_ERROR;
    *linear = BytesOf(out);
    return Status::OK;
}

// The final correction's old data: old followed by every element reassembled from its linear transformed form,
// read back the way the applier reads its corrected elements.
int Reassemble(const Bytes &old, const Bytes &linearElements, size_t count, Bytes *basic)
{
    SourceStreamSet elements;
    if (!elements.Init(linearElements.data(), linearElements.size()))
        return Status::STREAM_ERROR;
    SinkStream out;
    if (!out.Write(old.data(), old.size()))
        return Status::STREAM_ERROR;
    for (size_t i = 0; i < count; ++i) {
        SourceStreamSet single;
        if (!elements.ReadSet(&single))
            return Status::STREAM_ERROR;
        EncodedProgram *program = nullptr;
        if (const int status = ReadEncodedProgram(&single, &program); status != Status::OK)
            return status;
        const int assembled = Assemble(program, &out);
        DeleteEncodedProgram(program);
        if (assembled != Status::OK)
            return assembled;
    }
    *basic = BytesOf(out);
    return Status::OK;
}

} // namespace

Bytes EnsemblePatch::Serialize() const
{
    const Bytes payload = StreamSetBytes(streams, streamCount);
    if (payload.empty())
        return Bytes();
    const Bytes block = compress ? CompressedLzma2Block(payload) : StoredLzma2Block(payload);
    SinkStream file;
    if (!file.WriteVarint32(magic) || !file.WriteVarint32(version) || !file.WriteVarint32(sourceCrc) ||
        !file.WriteVarint32(targetCrc) || !file.WriteVarint32(finalInputSize) ||
        !file.Write(block.data(), block.size()))
        return Bytes();
    return BytesOf(file);
}

Bytes Descriptions(const std::vector<Element> &elements)
{
    SinkStream out;
    bool ok = out.WriteSizeVarint32(elements.size());
    for (const Element &e : elements)
        ok = ok && out.WriteVarint32(e.kind);
    for (const Element &e : elements)
        ok = ok && out.WriteVarint32(e.oldOffset) && out.WriteVarint32(e.oldLength);
    return ok ? BytesOf(out) : Bytes();
}

Bytes PredictedParameters(size_t elements)
{
    SinkStreamSet predicted;
    for (size_t i = 0; i < elements; ++i) {
        SinkStreamSet single;
        if (!predicted.WriteSet(&single))
            return Bytes();
    }
    SinkStream out;
    if (!predicted.CopyTo(&out))
        return Bytes();
    return BytesOf(out);
}

int MakeEnsemblePatch(const Bytes &old, const Bytes &newData, const std::vector<Element> &elements,
                      EnsemblePatch *patch)
{
    Bytes oldElements, newElements, basic;
    if (const int status = TransformAll(old, elements, false, &oldElements); status != Status::OK)
        return status;
    if (const int status = TransformAll(newData, elements, true, &newElements); status != Status::OK)
        return status;
    if (const int status = Reassemble(old, newElements, elements.size(), &basic); status != Status::OK)
        return status;

    // Elements have no parameters, so the corrected parameters are the prediction itself.
    const Bytes parameters = PredictedParameters(elements.size());
    const Bytes streams[] = {Descriptions(elements), ByteDiff(parameters, parameters),
                             ByteDiff(oldElements, newElements), ByteDiff(basic, newData)};
    for (const Bytes &stream : streams) {
        if (stream.empty())
            return Status::STREAM_ERROR;
    }
    patch->sourceCrc = ComputeCrc(old.data(), old.size());
    patch->targetCrc = ComputeCrc(newData.data(), newData.size());
    patch->finalInputSize = static_cast<uint32_t>(basic.size());
    patch->streams.assign(std::begin(streams), std::end(streams));
    return Status::OK;
}

} // namespace patchwriter
