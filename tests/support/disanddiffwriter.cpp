#include "disanddiffwriter.h"

#include "patchpieces.h"

#include "assemblyprogram.h"
#include "crc.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "lzmafile.h"
#include "sinkstream.h"
#include "sourcestreamset.h"
#include "status.h"

namespace patchwriter {

using namespace corvapatch;

Bytes DisAndDiffContainerOfStreams(const std::vector<Bytes> &streams, uint32_t crc, bool compress)
{
    const Bytes set = StreamSetBytes(streams, static_cast<uint32_t>(streams.size()));
    if (set.empty())
        return Bytes();
    const Bytes block = compress ? CompressedLzma2Block(set) : StoredLzma2Block(set);
    SinkStream file;
    if (!WriteLzmaFileHeader(&file, crc) || !file.WriteVarint32(DIRECTIVE_DIS_AND_DIFF) ||
        !file.Write(block.data(), block.size()))
        return Bytes();
    return BytesOf(file);
}

bool AssembleSerialisedPrograms(const std::vector<Bytes> &programs, Bytes *assembly)
{
    SinkStream out;
    for (const Bytes &bytes : programs) {
        SourceStreamSet set;
        if (!set.Init(bytes.data(), bytes.size()))
            return false;
        EncodedProgram *program = nullptr;
        if (ReadEncodedProgram(&set, &program) != Status::OK)
            return false;
        const int assembled = Assemble(program, &out);
        DeleteEncodedProgram(program);
        if (assembled != Status::OK)
            return false;
    }
    *assembly = BytesOf(out);
    return true;
}

Bytes DisAndDiffContainer(const std::vector<EncodedProgram *> &programs, const Bytes &content, bool compress)
{
    std::vector<Bytes> streams;
    for (EncodedProgram *program : programs) {
        streams.push_back(EncodedProgramBytes(program));
        if (streams.back().empty())
            return Bytes();
    }
    Bytes assembly;
    if (!AssembleSerialisedPrograms(streams, &assembly))
        return Bytes();
    streams.push_back(ByteDiff(assembly, content));
    if (streams.back().empty())
        return Bytes();
    return DisAndDiffContainerOfStreams(streams, ComputeCrc(content.data(), content.size()), compress);
}

Bytes DisAndDiffContainerOfExecutable(const Bytes &file, size_t *blockSize, size_t *assemblySize)
{
    AssemblyProgram *program = nullptr;
    if (ParseExecutable(file.data(), file.size(), &program) != Status::OK)
        return Bytes();
    EncodedProgram *encoded = nullptr;
    const bool encodedOk = TrimAssemblyProgram(program) == Status::OK &&
        EncodeAssemblyProgram(program, &encoded) == Status::OK;
    DeleteAssemblyProgram(program);
    if (!encodedOk)
        return Bytes();
    std::vector<Bytes> streams {EncodedProgramBytes(encoded)};
    DeleteEncodedProgram(encoded);
    Bytes assembly;
    if (streams.back().empty() || !AssembleSerialisedPrograms(streams, &assembly))
        return Bytes();
    streams.push_back(ByteDiff(assembly, file));
    if (streams.back().empty())
        return Bytes();
    if (blockSize)
        *blockSize = StreamSetBytes(streams, static_cast<uint32_t>(streams.size())).size();
    if (assemblySize)
        *assemblySize = assembly.size();
    return DisAndDiffContainerOfStreams(streams, ComputeCrc(file.data(), file.size()), true);
}

} // namespace patchwriter
