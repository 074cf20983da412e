#pragma once

#include "mappedfile.h"
#include "sinkstream.h"

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// The LZMA container file, from offset 0: varint32 magic (E9 AE A8 3F on disk), varint32 ComputeCrc of the
// whole output, varint32 directive, then one LZMA2 block; bytes after the block are ignored.
constexpr uint32_t kLzmaFileMagic = 0x07EA1769;

enum PreprocessDirective : uint32_t {
    DIRECTIVE_PLAIN = 1, // the block's content is the file
    DIRECTIVE_DIS_AND_DIFF = 2, // the block holds encoded programs and a byte diff that rebuilds the file
};

// Which directives a caller takes. A file that never holds an executable (the product ini) takes only the plain
// form, so a container in the executable form cannot make it decode programs before the file is checked.
enum LzmaFileForms : int {
    LZMA_FORMS_ALL = 0,
    LZMA_FORMS_PLAIN_ONLY = 1, // directive 2 fails with "preprocessing dirrective not allowed"
};

struct LzmaFileHeader
{
    uint32_t magic = 0;
    uint32_t crc = 0;
    uint32_t directive = 0;
};

// Unpacks the container at inPath into outPath (byte-string paths). True only when the content matched the
// container's crc and the output file was written completely. The output is written to a hidden file beside
// outPath (created exclusively) that is renamed over outPath only after the crc matched; on failure it is removed
// and outPath is untouched. Directive 1 streams: the input is read and the output written in bounded pieces, so
// memory does not grow with the file. Every failure is logged; nothing throws. Content larger than
// maxSize fails before it is decoded (directive 2: the diff's declared result), so a small container cannot make
// the decoder write more than maxSize; directive 2's block and assembly are held to
// MaxDisAndDiffIntermediateSize(maxSize).
[[nodiscard]] bool DecompressLzmaFile(const char *inPath, const char *outPath, size_t maxSize = SIZE_MAX,
                                      LzmaFileForms forms = LZMA_FORMS_ALL);

// The same on a container in memory: appends the checked content to output (which should be empty).
[[nodiscard]] bool DecompressLzmaBuffer(const uint8_t *data, size_t n, SinkStream *output, size_t maxSize = SIZE_MAX,
                                        LzmaFileForms forms = LZMA_FORMS_ALL);

// The executable form's block holds each executable's encoded program and a byte diff whose copy area is as
// long as the file, and the programs assemble to about the executables' own bytes. Real containers stay below
// 3 bytes of block per byte of file (measured on ELF, PE and Mach-O programs and libraries); 8 per byte plus
// 1 MiB leaves room for any real one while a container that declares a small file cannot unpack its block or
// its assembly to gigabytes.
constexpr size_t kMaxDisAndDiffBytesPerFileByte = 8;
constexpr size_t kDisAndDiffSlack = 1024 * 1024;
// The bound of the block and of the assembly of a directive-2 container whose file may take maxSize bytes.
[[nodiscard]] size_t MaxDisAndDiffIntermediateSize(size_t maxSize);

// Writers; nothing in the updater calls them. The header's magic and crc (the caller writes the directive).
[[nodiscard]] bool WriteLzmaFileHeader(SinkStream *sink, uint32_t crc);
// A whole container of directive 1 holding the mapped input as one block.
[[nodiscard]] bool WritePlainLzmaFile(const MappedFile &input, SinkStream *sink, uint32_t crc);
// Packs the file at inPath into a container at outPath.
[[nodiscard]] bool CompressLzmaFile(const char *inPath, const char *outPath);

} // namespace corvapatch
