#include "lzmaioin.h"

#include "lzma2coder.h"

#include "logerror.h"

#include <unistd.h>

#include <string>

namespace corvapatch {

namespace {

// The property byte and a varint32.
constexpr size_t kMaxBlockHeader = 6;

bool ReadBlockHeader(SourceStream *source, uint8_t *property, uint32_t *size, size_t maxSize)
{
    if (!source->Read(property, 1)) {
        LogError("Error read LZMA2 properties");
        return false;
    }
    if (!source->ReadVarint32(size)) {
        LogError("Error read LZMA2 unpack size");
        return false;
    }
    if (*size > maxSize) {
        LogError("LZMA2 unpack size too large " + std::to_string(*size));
        return false;
    }
    return true;
}

void LogDecodeError(int result)
{
    LogError("Error uncompressing data " + std::to_string(result));
}

// The block at source's cursor, decoded into the room that place(room) gives (nullptr when it cannot); its
// length in *produced. usable: whether the destination can take anything at all, checked after the header.
template <typename Place>
bool ReadBlock(SourceStream *source, size_t maxSize, bool usable, const Place &place, bool zeroed, size_t *produced)
{
    uint8_t property = 0;
    uint32_t size = 0;
    if (!ReadBlockHeader(source, &property, &size, maxSize))
        return false;
    if (!usable) {
        LogError("unable to allocate sink space");
        return false;
    }

    // The size comes from the input: reserve only what the stream's chunks declare, so a lying size costs
    // nothing. When the two differ the decoding below cannot end at exactly `size` and fails.
    uint64_t declared = 0;
    size_t packed = 0;
    const int scan = ScanLzma2Chunks(source->Current(), source->Remaining(), &declared, &packed);
    if (scan != LZMA2_OK) {
        LogDecodeError(scan);
        return false;
    }
    const size_t room = declared < size ? static_cast<size_t>(declared) : size;
    uint8_t *out = place(room);
    if (!out && room > 0) {
        LogError("unable to allocate sink space");
        return false;
    }

    size_t outLength = room;
    size_t inLength = source->Remaining();
    const int result = DecodeLzma2(out, &outLength, source->Current(), &inLength, property, zeroed);
    if (result != LZMA2_OK || outLength != size) {
        LogDecodeError(result);
        return false;
    }
    *produced = outLength;
    return source->Skip(inLength);
}

} // namespace

bool ReadLzma2Block(SourceStream *source, SinkStream *dest, size_t maxSize)
{
    const auto place = [dest](size_t room) { return dest->Reserve(room) ? dest->Tail() : nullptr; };
    size_t produced = 0;
    return ReadBlock(source, maxSize, !dest->Failed(), place, false, &produced) && dest->Extend(produced);
}

bool ReadLzma2BlockToPages(SourceStream *source, ZeroedPages *dest, size_t maxSize)
{
    const auto place = [dest](size_t room) { return dest->Allocate(room) ? dest->Data() : nullptr; };
    size_t produced = 0;
    return ReadBlock(source, maxSize, true, place, true, &produced);
}

bool PeekLzma2Block(const SourceStream &source, uint8_t *out, size_t *length)
{
    SourceStream cursor = source;
    uint8_t property = 0;
    uint32_t size = 0;
    if (!cursor.Read(&property, 1) || !cursor.ReadVarint32(&size)) {
        *length = 0;
        return false;
    }
    if (size < *length)
        *length = size;
    return DecodeLzma2Prefix(out, length, cursor.Current(), cursor.Remaining(), property) == LZMA2_OK;
}

bool ReadLzma2BlockFromFile(int fd, uint64_t offset, const Lzma2Writer &write, size_t maxSize)
{
    uint8_t head[kMaxBlockHeader];
    const ssize_t got = pread(fd, head, sizeof head, static_cast<off_t>(offset));
    SourceStream source;
    source.Init(head, got > 0 ? static_cast<size_t>(got) : 0);
    uint8_t property = 0;
    uint32_t size = 0;
    if (!ReadBlockHeader(&source, &property, &size, maxSize))
        return false;
    const uint64_t streamStart = offset + (static_cast<size_t>(got) - source.Remaining());

    // As above: the chunks' declared sizes bound the dictionary, so a lying size costs nothing.
    uint64_t declared = 0;
    uint64_t packed = 0;
    const int scan = ScanLzma2ChunksInFile(fd, streamStart, &declared, &packed);
    if (scan != LZMA2_OK) {
        LogDecodeError(scan);
        return false;
    }
    const uint64_t room = declared < size ? declared : size;
    uint64_t produced = 0;
    const int result = DecodeLzma2File(fd, streamStart, packed, property, room, write, &produced);
    if (result == LZMA2_ERROR_WRITE)
        return false;
    if (result != LZMA2_OK || produced != size) {
        LogDecodeError(result);
        return false;
    }
    return true;
}

} // namespace corvapatch
