#include "lzmaioin.h"

#include "lzma2coder.h"

#include "logerror.h"

#include <string>

namespace corvapatch {

bool ReadLzma2Block(SourceStream *source, SinkStream *dest, size_t maxSize)
{
    uint8_t property = 0;
    if (!source->Read(&property, 1)) {
        LogError("Error read LZMA2 properties");
        return false;
    }
    uint32_t size = 0;
    if (!source->ReadVarint32(&size)) {
        LogError("Error read LZMA2 unpack size");
        return false;
    }
    if (size > maxSize) {
        LogError("LZMA2 unpack size too large " + std::to_string(size));
        return false;
    }
    if (dest->Failed()) {
        LogError("unable to allocate sink space");
        return false;
    }

    // The size comes from the input: reserve only what the stream's chunks declare, so a lying size costs
    // nothing. When the two differ the decoding below cannot end at exactly `size` and fails.
    uint64_t declared = 0;
    size_t packed = 0;
    const int scan = ScanLzma2Chunks(source->Current(), source->Remaining(), &declared, &packed);
    if (scan != LZMA2_OK) {
        LogError("Error uncompressing data " + std::to_string(scan));
        return false;
    }
    const size_t room = declared < size ? static_cast<size_t>(declared) : size;
    if (!dest->Reserve(room)) {
        LogError("unable to allocate sink space");
        return false;
    }

    size_t outLength = room;
    size_t inLength = source->Remaining();
    const int result = DecodeLzma2(dest->Tail(), &outLength, source->Current(), &inLength, property);
    if (result != LZMA2_OK || outLength != size) {
        LogError("Error uncompressing data " + std::to_string(result));
        return false;
    }
    return source->Skip(inLength) && dest->Extend(outLength);
}

} // namespace corvapatch
