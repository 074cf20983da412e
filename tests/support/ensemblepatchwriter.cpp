#include "ensemblepatchwriter.h"

#include "labelmatcher.h"
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

// The element's assembly program as the applier's transformation builds it: parsed and trimmed.
int Disassemble(const Bytes &file, uint32_t offset, uint32_t length, AssemblyProgram **program)
{
    if (offset > file.size() || length > file.size() - offset)
        return Status::BAD_PARAMETERS;
    if (const int status = ParseExecutable(file.data() + offset, length, program); status != Status::OK)
        return status;
    if (const int status = TrimAssemblyProgram(*program); status != Status::OK) {
        DeleteAssemblyProgram(*program);
        *program = nullptr;
        return status;
    }
    return Status::OK;
}

// The program's encoded form, nested into transformed.
int WriteTransformed(AssemblyProgram *program, SinkStreamSet *transformed)
{
    EncodedProgram *encoded = nullptr;
    if (const int status = EncodeAssemblyProgram(program, &encoded); status != Status::OK)
        return status;
    SinkStreamSet element;
    const int written = WriteEncodedProgram(encoded, &element);
    DeleteEncodedProgram(encoded);
    if (written != Status::OK)
        return written;
    return transformed->WriteSet(&element) ? Status::OK : Status::STREAM_ERROR;
}

// Both transformed forms of one element: the old one exactly as the applier makes it, the new one with its labels
// numbered as asked.
int TransformElement(const Bytes &old, const Bytes &newData, const Element &e, LabelNumbering numbering,
                     SinkStreamSet *oldTransformed, SinkStreamSet *newTransformed)
{
    AssemblyProgram *oldProgram = nullptr;
    if (const int status = Disassemble(old, e.oldOffset, e.oldLength, &oldProgram); status != Status::OK)
        return status;
    AssemblyProgram *newProgram = nullptr;
    int status = WriteTransformed(oldProgram, oldTransformed);
    if (status == Status::OK)
        status = Disassemble(newData, e.newOffset, e.newLength, &newProgram);
    if (status == Status::OK) {
        if (numbering == LabelNumbering::MATCHED)
            MatchLabelIndexes(*oldProgram, newProgram);
        status = WriteTransformed(newProgram, newTransformed);
    }
    DeleteAssemblyProgram(newProgram);
    DeleteAssemblyProgram(oldProgram);
    return status;
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

int TransformedElements(const Bytes &old, const Bytes &newData, const std::vector<Element> &elements,
                        LabelNumbering numbering, Bytes *oldLinear, Bytes *newLinear)
{
    SinkStreamSet oldTransformed, newTransformed;
    for (const Element &e : elements) {
        if (const int status = TransformElement(old, newData, e, numbering, &oldTransformed, &newTransformed);
            status != Status::OK)
            return status;
    }
    SinkStream oldOut, newOut;
    if (!oldTransformed.CopyTo(&oldOut) || !newTransformed.CopyTo(&newOut))
        return Status::STREAM_ERROR;
    *oldLinear = BytesOf(oldOut);
    *newLinear = BytesOf(newOut);
    return Status::OK;
}

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
                      EnsemblePatch *patch, LabelNumbering numbering)
{
    Bytes oldElements, newElements, basic;
    if (const int status = TransformedElements(old, newData, elements, numbering, &oldElements, &newElements);
        status != Status::OK)
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
