#include "lzmafile.h"

#include "binarydiff.h"
#include "crc.h"
#include "encodedprogram.h"
#include "lzmaioin.h"
#include "lzmaioout.h"
#include "replacefile.h"
#include "sourcestream.h"
#include "sourcestreamset.h"
#include "status.h"
#include "varint.h"
#include "writefile.h"

#include "logerror.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <optional>
#include <string>

namespace corvapatch {

namespace {

// Reading an encoded program allocates it with a throwing new; running out of memory there, or anywhere else,
// is reported like a sink that could not grow.
constexpr char kOutOfMemory[] = "unable to allocate sink space";

// Reads the three header fields at the cursor and checks the magic; the caller checks the directive.
bool ReadContainerHeader(SourceStream *cursor, LzmaFileHeader *header)
{
    if (!cursor->ReadVarint32(&header->magic) || !cursor->ReadVarint32(&header->crc) ||
        !cursor->ReadVarint32(&header->directive)) {
        LogError("could not read lzma header");
        return false;
    }
    if (header->magic != kLzmaFileMagic) {
        LogError("not lzma file");
        return false;
    }
    return true;
}

bool FormAllowed(const LzmaFileHeader &header, LzmaFileForms forms)
{
    if (forms == LZMA_FORMS_PLAIN_ONLY && header.directive == DIRECTIVE_DIS_AND_DIFF) {
        LogError("preprocessing dirrective not allowed");
        return false;
    }
    return true;
}

// Directive 2: the block holds a stream set whose streams 0..n-2 are encoded programs and whose last stream is
// a byte diff from their joined assembly to the file. The cap bounds the file; the block (the programs and the
// diff) and the programs' assembly are larger than the file they make, so each gets its own bound from the cap.
bool DecodeDisAndDiff(SourceStream *cursor, SinkStream *output, size_t maxSize)
{
    const size_t maxIntermediate = MaxDisAndDiffIntermediateSize(maxSize);
    SinkStream block;
    if (!ReadLzma2Block(cursor, &block, maxIntermediate)) {
        LogError("could not decompress file");
        return false;
    }
    SourceStreamSet set;
    if (!set.Init(block.Buffer(), block.Length())) {
        LogError("could not init dif_and_dis set");
        return false;
    }
    if (set.count() < 2) {
        LogError("dis_and_diff too small");
        return false;
    }
    const uint32_t programs = set.count() - 1;
    SinkStream assembly;
    assembly.SetLimit(maxIntermediate);
    for (uint32_t i = 0; i < programs; ++i) {
        SourceStreamSet programSource;
        if (!programSource.Init(*set.stream(i))) {
            LogError("could not init program_source set");
            return false;
        }
        EncodedProgram *program = nullptr;
        if (ReadEncodedProgram(&programSource, &program) != Status::OK) {
            LogError("could not read encoded program");
            return false;
        }
        const int assembled = Assemble(program, &assembly);
        DeleteEncodedProgram(program);
        if (assembled != Status::OK) {
            LogError("could not assemble program");
            return false;
        }
    }
    SourceStream assembled;
    assembled.Init(assembly);
    const size_t had = output->Length();
    output->SetLimit(maxSize > SIZE_MAX - had ? SIZE_MAX : had + maxSize);
    const bool applied = ApplyDiff(&assembled, set.stream(programs), output, false);
    output->SetLimit(SIZE_MAX);
    if (!applied) {
        LogError("could not apply diff");
        return false;
    }
    return true;
}

bool Decompress(const uint8_t *data, size_t n, SinkStream *output, size_t maxSize, LzmaFileForms forms)
{
    SourceStream cursor;
    cursor.Init(data, n);
    LzmaFileHeader header;
    if (!ReadContainerHeader(&cursor, &header) || !FormAllowed(header, forms))
        return false;
    switch (header.directive) {
    case DIRECTIVE_PLAIN:
        if (!ReadLzma2Block(&cursor, output, maxSize)) {
            LogError("could not decompress file");
            return false;
        }
        break;
    case DIRECTIVE_DIS_AND_DIFF:
        if (!DecodeDisAndDiff(&cursor, output, maxSize))
            return false;
        break;
    default:
        LogError("Unknown preprocessing dirrective");
        return false;
    }
    if (ComputeCrc(output->Buffer(), output->Length()) != header.crc) {
        LogError("crc mismatch");
        return false;
    }
    return true;
}

struct InputFile
{
    explicit InputFile(int descriptor)
        : fd(descriptor)
    {
    }
    ~InputFile()
    {
        if (fd >= 0)
            close(fd);
    }
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    const int fd;
};

// The three header fields never take more than this many bytes.
constexpr size_t kMaxContainerHeader = 3 * kMaxVarint32Length;

// Directive 2 is decoded in memory from the mapped file; its output replaces outPath once checked.
bool DecompressMapped(const char *inPath, const char *outPath, size_t maxSize, LzmaFileForms forms)
{
    SinkStream output;
    {
        MappedFile input(inPath, 0, 0);
        if (!input.IsValid()) {
            LogError("could not open lzma file");
            return false;
        }
        if (!Decompress(input.Data(), input.ViewLength(), &output, maxSize, forms))
            return false;
    }
    if (!ReplaceFile(outPath, output.Buffer(), output.Length())) {
        LogError("could not write output file");
        return false;
    }
    return true;
}

// Directive 1 streams: the block is decoded in bounded pieces straight into a hidden file beside outPath, with
// the crc kept as it goes; the file replaces outPath only when the crc matches and is removed otherwise.
bool DecompressPlainStreaming(int fd, uint64_t blockOffset, uint32_t expectedCrc, const char *outPath,
                              size_t maxSize)
{
    // Made with the first output, so a block that fails before any reports its own message, as in memory.
    std::optional<FileReplacement> replacement;
    uint32_t crc = ComputeCrc(nullptr, 0);
    bool writeFailed = false;
    const auto write = [&](const uint8_t *data, size_t n) {
        if (!replacement)
            replacement.emplace(outPath);
        crc = ExtendCrc(crc, data, n);
        writeFailed = !replacement->Write(data, n);
        return !writeFailed;
    };
    if (!ReadLzma2BlockFromFile(fd, blockOffset, write, maxSize)) {
        LogError(writeFailed ? "could not write output file" : "could not decompress file");
        return false;
    }
    if (crc != expectedCrc) {
        LogError("crc mismatch");
        return false;
    }
    if (!replacement)
        replacement.emplace(outPath); // empty content
    // Not flushed to disk here: a killed process loses nothing already written, and the file is checked again
    // before it is installed.
    if (!replacement->Commit(false)) {
        LogError("could not write output file");
        return false;
    }
    return true;
}

bool DecompressOpenFile(int fd, const char *inPath, const char *outPath, size_t maxSize, LzmaFileForms forms)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        LogError("could not open lzma file");
        return false;
    }
    uint8_t head[kMaxContainerHeader];
    const ssize_t got = pread(fd, head, sizeof head, 0);
    SourceStream cursor;
    cursor.Init(head, got > 0 ? static_cast<size_t>(got) : 0);
    LzmaFileHeader header;
    if (!ReadContainerHeader(&cursor, &header) || !FormAllowed(header, forms))
        return false;
    switch (header.directive) {
    case DIRECTIVE_PLAIN:
        return DecompressPlainStreaming(fd, static_cast<size_t>(got) - cursor.Remaining(), header.crc, outPath,
                                        maxSize);
    case DIRECTIVE_DIS_AND_DIFF:
        return DecompressMapped(inPath, outPath, maxSize, forms);
    default:
        LogError("Unknown preprocessing dirrective");
        return false;
    }
}

} // namespace

size_t MaxDisAndDiffIntermediateSize(size_t maxSize)
{
    if (maxSize > (SIZE_MAX - kDisAndDiffSlack) / kMaxDisAndDiffBytesPerFileByte)
        return SIZE_MAX;
    return kMaxDisAndDiffBytesPerFileByte * maxSize + kDisAndDiffSlack;
}

bool DecompressLzmaBuffer(const uint8_t *data, size_t n, SinkStream *output, size_t maxSize, LzmaFileForms forms)
{
    try {
        return Decompress(data, n, output, maxSize, forms);
    } catch (const std::exception &) {
        LogError(kOutOfMemory);
        return false;
    }
}

bool DecompressLzmaFile(const char *inPath, const char *outPath, size_t maxSize, LzmaFileForms forms)
{
    try {
        const InputFile input(open(inPath, O_RDONLY | O_CLOEXEC));
        if (input.fd < 0) {
            LogError("could not open lzma file");
            return false;
        }
        return DecompressOpenFile(input.fd, inPath, outPath, maxSize, forms);
    } catch (const std::exception &) {
        LogError(kOutOfMemory);
        return false;
    }
}

bool WriteLzmaFileHeader(SinkStream *sink, uint32_t crc)
{
    if (!sink->WriteVarint32(kLzmaFileMagic)) {
        LogError("could not write magic");
        return false;
    }
    if (!sink->WriteVarint32(crc)) {
        LogError("could not write crc");
        return false;
    }
    return true;
}

bool WritePlainLzmaFile(const MappedFile &input, SinkStream *sink, uint32_t crc)
{
    if (!WriteLzmaFileHeader(sink, crc))
        return false;
    if (!sink->WriteVarint32(DIRECTIVE_PLAIN)) {
        LogError("could not write preprocess directive");
        return false;
    }
    if (!CompressLzma2Buffer(input.Data(), input.ViewLength(), sink)) {
        LogError("could not compress file");
        return false;
    }
    return true;
}

bool CompressLzmaFile(const char *inPath, const char *outPath)
{
    MappedFile input(inPath, 0, 0);
    if (!input.IsValid()) {
        LogError("could not open file");
        return false;
    }
    const uint32_t crc = ComputeCrc(input.Data(), input.ViewLength());
    // Without disassemblers no input is recognised as an executable, so every file takes the plain form.
    SinkStream container;
    if (!WritePlainLzmaFile(input, &container, crc))
        return false;
    if (WriteFile(outPath, container.Buffer(), container.Length()) != container.Length()) {
        LogError("could not write output file");
        return false;
    }
    return true;
}

} // namespace corvapatch
