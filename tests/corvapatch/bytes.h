#pragma once

#include "sinkstream.h"

#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(const corvapatch::SinkStream &sink)
{
    return sink.Length() ? Bytes(sink.Buffer(), sink.Buffer() + sink.Length()) : Bytes();
}
