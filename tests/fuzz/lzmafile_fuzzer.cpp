// The container reader on arbitrary bytes: the whole path from the header through the LZMA2 block and the
// crc check to the stream-set parsing of the executable-aware form.
#include "crc.h"
#include "lzmafile.h"
#include "lzmaioin.h"
#include "sinkstream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    corvapatch::SinkStream output;
    if (corvapatch::DecompressLzmaBuffer(data, size, &output)) {
        // Accepted content must be what the header's crc promised; anything else is a reader fault.
        corvapatch::SourceStream header;
        header.Init(data, size);
        uint32_t magic = 0, crc = 0;
        if (!header.ReadVarint32(&magic) || !header.ReadVarint32(&crc) ||
            corvapatch::ComputeCrc(output.Buffer(), output.Length()) != crc)
            std::abort();
    }

    // The block reader alone, at the start of the input, appending to a non-empty sink.
    corvapatch::SourceStream source;
    source.Init(data, size);
    corvapatch::SinkStream dest;
    if (!dest.Write("x", 1))
        std::abort();
    const bool ok = corvapatch::ReadLzma2Block(&source, &dest);
    if (!ok && dest.Length() != 1)
        std::abort(); // a failed block must not change the sink's length
    if (source.Remaining() > size)
        std::abort();
    return 0;
}
