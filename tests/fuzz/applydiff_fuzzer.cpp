// ApplyDiff on arbitrary bytes. Input: one flag byte (bit 0: the diff has the header), a 16-bit little-endian old
// length (cut to what follows), the old data, then the diff. Whatever ApplyDiff accepts must also be what a
// diff generated from the same old data to its output reproduces.
#include "binarydiff.h"
#include "sinkstream.h"
#include "sourcestream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

using namespace corvapatch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const bool withHeader = data[0] & 1;
    const size_t oldLength = std::min<size_t>(data[1] | size_t(data[2]) << 8, size - 3);
    SourceStream old;
    old.Init(data + 3, oldLength);
    SourceStream patch;
    patch.Init(data + 3 + oldLength, size - 3 - oldLength);

    SinkStream output;
    if (!ApplyDiff(&old, &patch, &output, withHeader))
        return 0;
    if (output.Failed() || old.Remaining() != oldLength)
        std::abort();

    SourceStream newData;
    newData.Init(output);
    SinkStream regenerated;
    if (!GenerateDiff(&old, &newData, &regenerated, withHeader, DIFF_METHOD_RAW))
        std::abort();
    SourceStream again;
    again.Init(regenerated);
    SinkStream reproduced;
    if (!ApplyDiff(&old, &again, &reproduced, withHeader) || reproduced.Length() != output.Length() ||
        (output.Length() && std::memcmp(reproduced.Buffer(), output.Buffer(), output.Length()) != 0))
        std::abort();
    return 0;
}
