// Whole-process driver for timing the byte diff on files, so that its figures can be set beside other delta
// tools run on the same pairs:
//   bytediff generate OLD NEW PATCH [METHOD]   writes a diff without the header (method 0, 1 or 2)
//   bytediff apply OLD PATCH NEW               applies a diff without the header
//   bytediff pair SIZE SEED OLD NEW            writes a reproducible pair of similar files of about SIZE bytes
#include "binarydiff.h"
#include "mappedfile.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "writefile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace corvapatch;

namespace {

bool Map(const char *path, MappedFile *file, SourceStream *stream)
{
    if (!file->Open(path, 0, 1)) {
        std::fprintf(stderr, "cannot map %s (an empty file cannot be mapped)\n", path);
        return false;
    }
    stream->Init(file->Data(), file->ViewLength());
    return true;
}

bool Write(const char *path, const uint8_t *data, size_t n)
{
    if (WriteFile(path, data, n) != n) {
        std::fprintf(stderr, "cannot write %s\n", path);
        return false;
    }
    return true;
}

int Generate(const char *oldPath, const char *newPath, const char *patchPath, int method)
{
    MappedFile oldFile, newFile;
    SourceStream old, newData;
    if (!Map(oldPath, &oldFile, &old) || !Map(newPath, &newFile, &newData))
        return 1;
    SinkStream patch;
    if (!GenerateDiff(&old, &newData, &patch, false, method)) {
        std::fprintf(stderr, "could not generate the diff\n");
        return 1;
    }
    return Write(patchPath, patch.Buffer(), patch.Length()) ? 0 : 1;
}

int Apply(const char *oldPath, const char *patchPath, const char *newPath)
{
    MappedFile oldFile, patchFile;
    SourceStream old, patch;
    if (!Map(oldPath, &oldFile, &old) || !Map(patchPath, &patchFile, &patch))
        return 1;
    SinkStream newData;
    if (!ApplyDiff(&old, &patch, &newData, false)) {
        std::fprintf(stderr, "could not apply the diff\n");
        return 1;
    }
    return Write(newPath, newData.Buffer(), newData.Length()) ? 0 : 1;
}

// Old: a stream of "instructions" drawn from a skewed vocabulary, string tables and tables of 32-bit addresses,
// roughly as compressible as a program. New: the same after a release's worth of edits: words inserted and
// deleted, spans rewritten, blocks moved, and every address after an insertion point moved by its length.
void MakePair(size_t size, uint32_t seed, std::vector<uint8_t> *old, std::vector<uint8_t> *newData)
{
    std::mt19937 rng(seed);
    std::vector<std::vector<uint8_t>> vocabulary(4096);
    for (auto &word : vocabulary) {
        word.resize(2 + rng() % 10);
        for (uint8_t &b : word)
            b = static_cast<uint8_t>(rng() % 97 < 40 ? rng() % 16 : rng());
    }
    std::geometric_distribution<size_t> pick(0.002);
    auto address = [](std::vector<uint8_t> *out, uint32_t value) {
        for (int k = 0; k < 4; ++k)
            out->push_back(static_cast<uint8_t>(value >> (8 * k)));
    };
    old->clear();
    while (old->size() < size) {
        const uint32_t kind = rng() % 100;
        if (kind < 90) {
            const auto &word = vocabulary[pick(rng) % vocabulary.size()];
            old->insert(old->end(), word.begin(), word.end());
        } else if (kind < 95) {
            for (int i = 0; i < 16; ++i)
                address(old, 0x08048000u + static_cast<uint32_t>(rng() % size));
        } else {
            for (int i = 0, n = 8 + rng() % 40; i < n; ++i)
                old->push_back(static_cast<uint8_t>('a' + rng() % 26));
            old->push_back(0);
        }
    }
    old->resize(size);

    // The edits are applied in one pass over the old data, at sorted positions.
    std::vector<uint8_t> &out = *newData;
    out.clear();
    out.reserve(size + size / 8);
    std::vector<size_t> points(size / 20000 + 1);
    for (size_t &p : points)
        p = rng() % size;
    std::sort(points.begin(), points.end());
    size_t pos = 0;
    for (size_t p : points) {
        if (p < pos)
            continue;
        out.insert(out.end(), old->begin() + pos, old->begin() + p);
        pos = p;
        const size_t n = 1 + rng() % 2000;
        switch (rng() % 4) {
        case 0:
            for (size_t i = 0; i < n; ++i)
                out.push_back(static_cast<uint8_t>(rng()));
            break;
        case 1:
            pos += std::min(n, size - pos);
            break;
        case 2:
            for (const size_t end = std::min(size, pos + n); pos < end; ++pos)
                out.push_back(rng() % 8 ? (*old)[pos] : static_cast<uint8_t>(rng()));
            break;
        default: {
            const size_t from = rng() % size;
            out.insert(out.end(), old->begin() + from, old->begin() + from + std::min(n * 8, size - from));
        }
        }
    }
    out.insert(out.end(), old->begin() + pos, old->end());
    // Relocation: every 4-byte aligned value that looks like an address in the second half moves by 0x40.
    for (size_t i = out.size() / 2 & ~size_t(3); i + 4 <= out.size(); i += 4) {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k)
            v |= uint32_t(out[i + k]) << (8 * k);
        if (v >= 0x08048000u && v < 0x08048000u + size) {
            v += 0x40;
            for (int k = 0; k < 4; ++k)
                out[i + k] = static_cast<uint8_t>(v >> (8 * k));
        }
    }
}

int Pair(const char *sizeText, const char *seedText, const char *oldPath, const char *newPath)
{
    const size_t size = std::strtoull(sizeText, nullptr, 10);
    if (size == 0) {
        std::fprintf(stderr, "size must be positive\n");
        return 1;
    }
    std::vector<uint8_t> old, newData;
    MakePair(size, static_cast<uint32_t>(std::strtoul(seedText, nullptr, 10)), &old, &newData);
    return Write(oldPath, old.data(), old.size()) && Write(newPath, newData.data(), newData.size()) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "generate" && (argc == 5 || argc == 6))
        return Generate(argv[2], argv[3], argv[4], argc == 6 ? std::atoi(argv[5]) : DIFF_METHOD_RAW);
    if (command == "apply" && argc == 5)
        return Apply(argv[2], argv[3], argv[4]);
    if (command == "pair" && argc == 6)
        return Pair(argv[2], argv[3], argv[4], argv[5]);
    std::fprintf(stderr, "usage: %s generate OLD NEW PATCH [METHOD] | apply OLD PATCH NEW | pair SIZE SEED OLD NEW\n",
                 argv[0]);
    return 2;
}
