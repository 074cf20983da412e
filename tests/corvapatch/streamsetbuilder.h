#pragma once

#include "bytes.h"
#include "encodedprogram.h"
#include "sinkstreamset.h"
#include "sourcestreamset.h"
#include "status.h"

#include <vector>

// The serialised stream set of count streams holding these bytes (streams beyond the list stay empty).
inline Bytes serialisedSet(const std::vector<Bytes> &streams, uint32_t count = 10)
{
    corvapatch::SinkStreamSet set;
    if (!set.Init(count))
        return Bytes();
    for (size_t i = 0; i < streams.size(); ++i) {
        if (!set.stream(i) || !set.stream(i)->Write(streams[i].data(), streams[i].size()))
            return Bytes();
    }
    corvapatch::SinkStream out;
    return set.CopyTo(&out) ? bytesOf(out) : Bytes();
}

// What WriteEncodedProgram makes of program, serialised as one stream set; empty when the write fails.
inline Bytes serialisedProgram(corvapatch::EncodedProgram *program)
{
    corvapatch::SinkStreamSet set;
    corvapatch::SinkStream out;
    if (corvapatch::WriteEncodedProgram(program, &set) != corvapatch::Status::OK || !set.CopyTo(&out))
        return Bytes();
    return bytesOf(out);
}

// ReadEncodedProgram over a serialised stream set (INPUT_NOT_RECOGNISED when the set itself does not parse).
// The program points at nothing in bytes, so bytes may go away afterwards.
inline int readProgram(const Bytes &bytes, corvapatch::EncodedProgram **out)
{
    *out = nullptr;
    corvapatch::SourceStreamSet set;
    if (!set.Init(bytes.data(), bytes.size()))
        return corvapatch::Status::INPUT_NOT_RECOGNISED;
    return corvapatch::ReadEncodedProgram(&set, out);
}
