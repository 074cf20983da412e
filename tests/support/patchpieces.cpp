#include "patchpieces.h"

#include "binarydiff.h"
#include "encodedprogram.h"
#include "sinkstream.h"
#include "sinkstreamset.h"
#include "sourcestream.h"
#include "status.h"

namespace patchwriter {

using namespace corvapatch;

Bytes BytesOf(const SinkStream &sink)
{
    return sink.Length() ? Bytes(sink.Buffer(), sink.Buffer() + sink.Length()) : Bytes();
}

Bytes StreamSetBytes(const std::vector<Bytes> &streams, uint32_t count)
{
    SinkStreamSet set;
    if (!set.Init(count))
        return Bytes();
    for (size_t i = 0; i < streams.size() && i < count; ++i) {
        if (!set.stream(i)->Write(streams[i].data(), streams[i].size()))
            return Bytes();
    }
    SinkStream out;
    if (!set.CopyTo(&out))
        return Bytes();
    return BytesOf(out);
}

Bytes ByteDiff(const Bytes &old, const Bytes &newData, int method)
{
    SourceStream oldStream, newStream;
    oldStream.Init(old.data(), old.size());
    newStream.Init(newData.data(), newData.size());
    SinkStream diff;
    if (!GenerateDiff(&oldStream, &newStream, &diff, false, method))
        return Bytes();
    return BytesOf(diff);
}

Bytes EncodedProgramBytes(EncodedProgram *program)
{
    SinkStreamSet set;
    SinkStream out;
    if (WriteEncodedProgram(program, &set) != Status::OK || !set.CopyTo(&out))
        return Bytes();
    return BytesOf(out);
}

} // namespace patchwriter
