#include "binarydiff.h"

#include "crc.h"
#include "diffmatcher.h"
#include "logerror.h"
#include "lzmaioout.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "suffixsort.h"

#include <memory>
#include <new>
#include <vector>

namespace corvapatch {

namespace {

constexpr size_t kMaxInput = size_t(1) << 31;

struct DiffParts
{
    SinkStream control;
    SinkStream diff;
    SinkStream extra;
};

bool WriteTriple(SinkStream *control, int64_t copyLength, int64_t extraLength, int64_t seek)
{
    return control->WriteVarint32Signed(static_cast<int32_t>(copyLength)) &&
        control->WriteVarint32Signed(static_cast<int32_t>(extraLength)) &&
        control->WriteVarint32Signed(static_cast<int32_t>(seek));
}

bool AppendDifference(const uint8_t *newData, const uint8_t *old, size_t n, SinkStream *diff)
{
    if (!diff->Reserve(n))
        return false;
    uint8_t *out = diff->Tail();
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(newData[i] - old[i]);
    return diff->Extend(n);
}

// Turns the runs into triples: a leading triple with no copy carries the literal bytes before the first run and
// the seek to it; each run's triple then carries the literal bytes up to the next run and the seek to that run.
bool BuildParts(const uint8_t *old, int32_t oldSize, const uint8_t *newData, int32_t newSize,
                const std::vector<DiffCopy> &copies, DiffParts *parts)
{
    int64_t copied = 0;
    for (const DiffCopy &c : copies) {
        if (c.oldStart < 0 || c.length <= 0 || c.length > oldSize - c.oldStart) {
            LogError("error in old_stream size");
            return false;
        }
        copied += c.length;
    }
    if (!parts->diff.Reserve(size_t(copied)) || !parts->extra.Reserve(size_t(newSize - copied)))
        return false;

    const int64_t firstNew = copies.empty() ? newSize : copies.front().newStart;
    const int64_t firstOld = copies.empty() ? 0 : copies.front().oldStart;
    if ((firstNew > 0 || firstOld != 0) &&
        (!WriteTriple(&parts->control, 0, firstNew, firstOld) || !parts->extra.Write(newData, size_t(firstNew))))
        return false;
    int64_t produced = firstNew;
    for (size_t i = 0; i < copies.size(); ++i) {
        const DiffCopy &c = copies[i];
        const int64_t newEnd = int64_t(c.newStart) + c.length;
        const int64_t oldEnd = int64_t(c.oldStart) + c.length;
        const int64_t nextNew = i + 1 < copies.size() ? copies[i + 1].newStart : newSize;
        const int64_t nextOld = i + 1 < copies.size() ? copies[i + 1].oldStart : oldEnd;
        if (c.newStart != produced || nextNew < newEnd) {
            LogError("error in new_stream size");
            return false;
        }
        if (!WriteTriple(&parts->control, c.length, nextNew - newEnd, nextOld - oldEnd) ||
            !AppendDifference(newData + c.newStart, old + c.oldStart, size_t(c.length), &parts->diff) ||
            !parts->extra.Write(newData + newEnd, size_t(nextNew - newEnd)))
            return false;
        produced = nextNew;
    }
    if (produced != newSize) {
        LogError("error in new_stream size");
        return false;
    }
    return true;
}

bool WriteRawBody(DiffParts *parts, SinkStream *out)
{
    return out->WriteSizeVarint32(parts->control.Length()) && out->WriteSizeVarint32(parts->diff.Length()) &&
        out->WriteSizeVarint32(parts->extra.Length()) && out->Append(&parts->control) && out->Append(&parts->diff) &&
        out->Append(&parts->extra);
}

} // namespace

bool GenerateDiff(SourceStream *old, SourceStream *newData, SinkStream *patch, bool withHeader, int method)
{
    if (method < DIFF_METHOD_RAW || method > DIFF_METHOD_PACKED) {
        LogError("Invalid compression method");
        return false;
    }
    if (old->Remaining() >= kMaxInput) {
        LogError(" old stream too large");
        return false;
    }
    if (newData->Remaining() >= kMaxInput) {
        LogError(" new stream too large");
        return false;
    }
    // A default cursor covers no bytes through null pointers; the sort and the matcher want real ones.
    static const uint8_t kNothing = 0;
    const uint8_t *oldBytes = old->Remaining() ? old->Current() : &kNothing;
    const uint8_t *newBytes = newData->Remaining() ? newData->Current() : &kNothing;
    const auto oldSize = static_cast<int32_t>(old->Remaining());
    const auto newSize = static_cast<int32_t>(newData->Remaining());

    std::vector<DiffCopy> copies;
    {
        std::unique_ptr<int32_t[]> sa(new (std::nothrow) int32_t[size_t(oldSize) + 1]);
        if (!sa || SuffixSortBytes(oldBytes, sa.get(), oldSize) != 0 ||
            !FindDiffCopies(oldBytes, oldSize, sa.get(), newBytes, newSize, &copies)) {
            LogError("could not match old stream");
            return false;
        }
    }
    DiffParts parts;
    if (!BuildParts(oldBytes, oldSize, newBytes, newSize, copies, &parts))
        return false;

    if (withHeader &&
        (!patch->Write(kDiffMagic, kDiffMagicLength) || !patch->WriteVarint32(ComputeCrc(newBytes, size_t(newSize)))))
        return false;
    const uint8_t methodByte = static_cast<uint8_t>(method);
    if (!patch->Write(&methodByte, 1) || !patch->WriteSizeVarint32(size_t(newSize)))
        return false;
    switch (method) {
    case DIFF_METHOD_RAW:
        return WriteRawBody(&parts, patch);
    case DIFF_METHOD_SPLIT:
        return CompressLzma2Buffer(parts.control.Buffer(), parts.control.Length(), patch) &&
            CompressLzma2Buffer(parts.diff.Buffer(), parts.diff.Length(), patch) &&
            CompressLzma2Buffer(parts.extra.Buffer(), parts.extra.Length(), patch);
    default: {
        SinkStream body;
        return WriteRawBody(&parts, &body) && CompressLzma2Buffer(body.Buffer(), body.Length(), patch);
    }
    }
}

} // namespace corvapatch
