#pragma once

#include <cstddef>
#include <cstdint>

namespace corvapatch {

class SinkStream;
class SourceStream;

// The "CVDIFF10" byte diff: copy-and-add runs against the old data plus literal runs. Layout: with the optional
// header the 8 magic bytes and the varint32 crc of the new data, then the method byte, the varint32 new size and
// the body. A method-0 body is three varint32 lengths (control, diff, extra) and those three areas; the control
// area is a series of signed varint32 triples (copy length, extra length, seek).
enum DiffMethod : uint8_t {
    DIFF_METHOD_RAW = 0, // the method-0 body as it is
    DIFF_METHOD_SPLIT = 1, // the control, diff and extra areas as three LZMA2 blocks
    DIFF_METHOD_PACKED = 2 // one LZMA2 block holding a method-0 body
};

constexpr char kDiffMagic[] = "CVDIFF10";
constexpr size_t kDiffMagicLength = 8;

// Appends the new data made from old's remaining bytes (old does not move) by the diff at patch's cursor, which
// advances past the diff. withHeader: the diff starts with the magic and crc, and the crc is checked. Returns
// false for any malformed diff or failed write, leaving in output whatever was appended until then.
[[nodiscard]] bool ApplyDiff(SourceStream *old, SourceStream *patch, SinkStream *output, bool withHeader);
// ApplyDiff without the header, whose old data is the remaining bytes of count pieces one after another (none
// moves): the same diff as against the pieces joined in one buffer, without joining them. Their total length
// must fit 63 bits, as that of pieces in memory does.
[[nodiscard]] bool ApplyDiffToJoined(const SourceStream *pieces, size_t count, SourceStream *patch,
                                     SinkStream *output);

// Appends to patch a diff that turns old's remaining bytes into newData's remaining bytes (neither moves), with
// the header when withHeader is set, in the given method. Fails for inputs of 2^31 bytes or more, an unknown
// method, or when memory runs out.
[[nodiscard]] bool GenerateDiff(SourceStream *old, SourceStream *newData, SinkStream *patch, bool withHeader,
                                int method);

} // namespace corvapatch
