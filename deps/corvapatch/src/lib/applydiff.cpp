#include "binarydiff.h"

#include "crc.h"
#include "logerror.h"
#include "lzmaioin.h"
#include "sinkstream.h"
#include "sourcestream.h"

#include <cstring>

namespace corvapatch {

namespace {

// What a compressed block of a diff may unpack to, for a diff of newSize bytes. The diff and extra areas hold at
// most one byte per new byte; the control area at most three varints (15 bytes) per run, and every run of a
// real diff adds at least one byte. So no real diff comes near 18 bytes per new byte plus 64 KiB, while a
// diff that declares a small result cannot make its blocks unpack to gigabytes.
constexpr uint64_t kMaxBlockBytesPerNewByte = 18;
constexpr uint64_t kBlockSlack = 64 * 1024;

size_t MaxBlockSize(uint32_t newSize)
{
    const uint64_t bound = kMaxBlockBytesPerNewByte * newSize + kBlockSlack;
    return bound < SIZE_MAX ? static_cast<size_t>(bound) : SIZE_MAX;
}

struct DiffAreas
{
    SourceStream control;
    SourceStream diff;
    SourceStream extra;
};

// A method-0 body. Each area is taken with ReadSubstream, which compares its length with what is left, so the
// three lengths are never added up and cannot pass the end by wrapping.
bool ReadRawBody(SourceStream *in, DiffAreas *areas)
{
    uint32_t controlLength = 0;
    uint32_t diffLength = 0;
    uint32_t extraLength = 0;
    return in->ReadVarint32(&controlLength) && in->ReadVarint32(&diffLength) && in->ReadVarint32(&extraLength) &&
        in->ReadSubstream(controlLength, &areas->control) && in->ReadSubstream(diffLength, &areas->diff) &&
        in->ReadSubstream(extraLength, &areas->extra);
}

// The old data: the bytes of its pieces one after another, read where they are. At most kMaxOldPieces.
struct OldData
{
    const SourceStream *pieces;
    size_t count;
};

bool AppendCopy(const uint8_t *old, const uint8_t *diff, size_t n, SinkStream *output)
{
    if (output->Capacity() - output->Length() < n)
        return false;
    uint8_t *out = output->Tail();
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(diff[i] + old[i]);
    return output->Extend(n);
}

// n bytes from position at of old, which the caller has checked hold them; a copy may run across pieces.
bool AppendOldCopy(const OldData &old, size_t at, const uint8_t *diff, size_t n, SinkStream *output)
{
    for (size_t i = 0; i < old.count && n > 0; ++i) {
        const size_t length = old.pieces[i].Remaining();
        if (at >= length) {
            at -= length;
            continue;
        }
        const size_t here = n < length - at ? n : length - at;
        if (!AppendCopy(old.pieces[i].Current() + at, diff, here, output))
            return false;
        diff += here;
        n -= here;
        at = 0;
    }
    return n == 0;
}

bool ApplyAreas(const OldData &old, DiffAreas *areas, uint32_t newSize, SinkStream *output)
{
    // Every output byte comes from the diff or the extra area, so a larger declared size cannot be reached;
    // refusing it here keeps the reservation to what the patch itself holds.
    if (newSize > uint64_t(areas->diff.Remaining()) + areas->extra.Remaining()) {
        LogError("Corrupt patch");
        return false;
    }
    int64_t oldSize = 0;
    for (size_t i = 0; i < old.count; ++i)
        oldSize += static_cast<int64_t>(old.pieces[i].Remaining());
    const size_t start = output->Length();
    if (!output->Reserve(newSize))
        return false;

    // 64 bits: a control area of at most 2^32 bytes holds under 2^31 triples, each moving the position by less
    // than 2^32, so the sum cannot overflow.
    int64_t oldPos = 0;
    for (size_t produced = 0; produced < newSize; produced = output->Length() - start) {
        int32_t copyLength = 0;
        int32_t extraLength = 0;
        int32_t seek = 0;
        if (!areas->control.ReadVarint32Signed(&copyLength) || !areas->control.ReadVarint32Signed(&extraLength) ||
            !areas->control.ReadVarint32Signed(&seek)) {
            LogError("Corrupt patch reading control");
            return false;
        }
        if (copyLength < 0 || extraLength < 0) {
            LogError("Corrupt patch");
            return false;
        }
        // An empty copy reads no old byte, so its position does not matter.
        if (copyLength > 0 && (oldPos < 0 || oldPos > oldSize || copyLength > oldSize - oldPos))
            return false;
        if (uint32_t(copyLength) > newSize - produced || size_t(copyLength) > areas->diff.Remaining()) {
            LogError("Corrupt patch");
            return false;
        }
        if (copyLength > 0 &&
            !AppendOldCopy(old, size_t(oldPos), areas->diff.Current(), size_t(copyLength), output))
            return false;
        if (uint32_t(extraLength) > newSize - produced - uint32_t(copyLength) ||
            size_t(extraLength) > areas->extra.Remaining()) {
            LogError("Corrupt patch");
            return false;
        }
        if (!output->Write(areas->extra.Current(), size_t(extraLength)))
            return false;
        if (!areas->diff.Skip(size_t(copyLength)) || !areas->extra.Skip(size_t(extraLength)))
            return false;
        oldPos += int64_t(copyLength) + seek;
    }
    return true;
}

bool ApplyDiffTo(const OldData &old, SourceStream *patch, SinkStream *output, bool withHeader)
{
    uint32_t crc = 0;
    if (withHeader) {
        char magic[kDiffMagicLength];
        if (!patch->Read(magic, sizeof magic))
            return false;
        if (std::memcmp(magic, kDiffMagic, kDiffMagicLength) != 0) {
            LogError("Corrupt patch header");
            return false;
        }
        if (!patch->ReadVarint32(&crc)) {
            LogError("Could not read crc");
            return false;
        }
    }
    uint8_t method = 0;
    if (!patch->Read(&method, 1))
        return false;
    if (method > DIFF_METHOD_PACKED) {
        LogError("Invalid compression method");
        return false;
    }
    uint32_t newSize = 0;
    if (!patch->ReadVarint32(&newSize))
        return false;
    // A size the output may not take is refused before any block is decoded.
    if (newSize > output->Room()) {
        LogError("Corrupt patch");
        return false;
    }
    const size_t maxBlock = MaxBlockSize(newSize);

    // The areas point into these sinks for methods 1 and 2, so they live until the end.
    SinkStream control, diff, extra, packed;
    SourceStream packedBody;
    DiffAreas areas;
    switch (method) {
    case DIFF_METHOD_RAW:
        if (!ReadRawBody(patch, &areas))
            return false;
        break;
    case DIFF_METHOD_SPLIT:
        if (!ReadLzma2Block(patch, &control, maxBlock) || !ReadLzma2Block(patch, &diff, maxBlock) ||
            !ReadLzma2Block(patch, &extra, maxBlock))
            return false;
        areas.control.Init(control);
        areas.diff.Init(diff);
        areas.extra.Init(extra);
        break;
    default:
        if (!ReadLzma2Block(patch, &packed, maxBlock))
            return false;
        packedBody.Init(packed);
        if (!ReadRawBody(&packedBody, &areas))
            return false;
        break;
    }

    const size_t start = output->Length();
    if (!ApplyAreas(old, &areas, newSize, output))
        return false;
    if (withHeader && ComputeCrc(output->Buffer() + start, newSize) != crc) {
        LogError("crc mismatch");
        return false;
    }
    return true;
}

} // namespace

bool ApplyDiff(SourceStream *old, SourceStream *patch, SinkStream *output, bool withHeader)
{
    return ApplyDiffTo({old, 1}, patch, output, withHeader);
}

bool ApplyDiffToJoined(const SourceStream *pieces, size_t count, SourceStream *patch, SinkStream *output)
{
    return ApplyDiffTo({pieces, count}, patch, output, false);
}

} // namespace corvapatch
