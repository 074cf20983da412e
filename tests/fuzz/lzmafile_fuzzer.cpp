// The container reader on arbitrary bytes: the whole path from the header through the LZMA2 block and the
// crc check to the stream-set parsing of the executable-aware form. The file reader, which streams the plain
// form, must give the same verdict and bytes as the reader in memory, and leave nothing behind when it fails.
#include "crc.h"
#include "lzmafile.h"
#include "lzmaioin.h"
#include "sinkstream.h"
#include "writefile.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A directory of this process's own for the file reader's input and output.
const std::string &WorkDir()
{
    static const std::string dir = [] {
        char name[] = "/tmp/lzmafile_fuzzer.XXXXXX";
        if (!mkdtemp(name))
            std::abort();
        return std::string(name);
    }();
    return dir;
}

std::vector<uint8_t> ReadWhole(const std::string &path)
{
    std::vector<uint8_t> bytes;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        std::abort();
    uint8_t buffer[65536];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
    close(fd);
    return bytes;
}

size_t EntriesIn(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        std::abort();
    size_t count = 0;
    while (const dirent *entry = readdir(d))
        count += std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0;
    closedir(d);
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    corvapatch::SinkStream output;
    const bool accepted = corvapatch::DecompressLzmaBuffer(data, size, &output);
    if (accepted) {
        // Accepted content must be what the header's crc promised; anything else is a reader fault.
        corvapatch::SourceStream header;
        header.Init(data, size);
        uint32_t magic = 0, crc = 0;
        if (!header.ReadVarint32(&magic) || !header.ReadVarint32(&crc) ||
            corvapatch::ComputeCrc(output.Buffer(), output.Length()) != crc)
            std::abort();
    }

    const std::string in = WorkDir() + "/in";
    const std::string out = WorkDir() + "/out";
    if (corvapatch::WriteFile(in.c_str(), data, size) != size)
        std::abort();
    if (corvapatch::DecompressLzmaFile(in.c_str(), out.c_str()) != accepted)
        std::abort();
    if (accepted) {
        const std::vector<uint8_t> written = ReadWhole(out);
        if (written.size() != output.Length() ||
            (!written.empty() && std::memcmp(written.data(), output.Buffer(), written.size()) != 0))
            std::abort();
        unlink(out.c_str());
    }
    if (EntriesIn(WorkDir()) != 1)
        std::abort(); // a failed unpack left a file
    unlink(in.c_str());

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
