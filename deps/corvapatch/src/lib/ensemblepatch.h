#pragma once

#include <cstddef>
#include <cstdint>

namespace corvapatch {

class SinkStream;
class SourceStream;

// An ensemble patch, from offset 0: varint32 magic (C3 DE D5 03 on disk), varint32 version, varint32 ComputeCrc
// of the old file and of the new file, varint32 size of the final diff's old data (a hint for one reservation),
// then one LZMA2 block holding a stream set in top-level form with at least these four streams:
constexpr uint32_t kEnsemblePatchMagic = 0x756F43;
constexpr uint32_t kEnsemblePatchVersion = 20110216;

enum EnsemblePatchStream : uint32_t {
    PATCH_STREAM_DESCRIPTIONS = 0, // count, count element kinds, then each element's offset and length
    PATCH_STREAM_PARAMETER_CORRECTION = 1, // byte diff of the predicted parameter set
    PATCH_STREAM_ELEMENT_CORRECTION = 2, // byte diff of the transformed element set
    PATCH_STREAM_FINAL_CORRECTION = 3, // byte diff from the old file and reassembled elements to the new file
    PATCH_STREAM_COUNT = 4
};

struct EnsemblePatchHeader
{
    uint32_t magic = 0;
    uint32_t version = 0;
    uint32_t sourceCrc = 0;
    uint32_t targetCrc = 0;
    uint32_t finalInputSize = 0;
};

// Applies the patch at patch's cursor to old's remaining bytes (old does not move) and appends the new file to
// output, which should be empty. Returns a Status (status.h); 1 only when the result matched the target crc.
// Never throws: running out of memory anywhere ends in a status.
// maxSize bounds the new file: a final correction that declares more fails (2) before it is decoded, and the
// corrected elements are held to MaxDisAndDiffIntermediateSize(maxSize) (lzmafile.h).
[[nodiscard]] int ApplyEnsemblePatchStreams(SourceStream *old, SourceStream *patch, SinkStream *output,
                                            size_t maxSize = SIZE_MAX);

// The same on files (byte-string paths). The new file is written under a hidden temporary name beside newPath
// and renamed over it only when the patch applied and the result matched its crc, so a failure leaves a file
// already at newPath untouched. 3: the patch cannot be mapped; 4: the old file cannot be mapped (only looked at
// once the patch's header passed) or the new file could not be put in place.
[[nodiscard]] int ApplyEnsemblePatchFiles(const char *oldPath, const char *patchPath, const char *newPath,
                                          size_t maxSize = SIZE_MAX);

} // namespace corvapatch
