// Whole-process driver for timing ensemble patch application, so that its figures can be set beside other delta
// tools on the same pairs:
//   ensemblepatch make OLD NEW PATCH    writes an ensemble patch (compressed payload); when a disassembler
//                                       accepts both files, the whole executable is one element
//   ensemblepatch apply OLD PATCH NEW   applies it through the file entry point the updater calls
//   ensemblepatch streams OLD NEW [independent]
//                                       prints the size of each payload stream of that patch, raw and compressed
//                                       on its own, and of a correction of each encoded-program stream of the
//                                       first element alone (with "independent", the new labels numbered in
//                                       their own address order instead of matched with the old ones)
#include "disassembler.h"
#include "ensemblepatch.h"
#include "mappedfile.h"
#include "sourcestream.h"
#include "sourcestreamset.h"
#include "status.h"
#include "writefile.h"

#include "ensemblepatchwriter.h"
#include "lzma2blockwriter.h"
#include "patchpieces.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace corvapatch;

namespace {

bool Read(const char *path, std::vector<uint8_t> *content)
{
    MappedFile file(path, 0, 1);
    if (!file.IsValid()) {
        std::fprintf(stderr, "cannot map %s (an empty file cannot be mapped)\n", path);
        return false;
    }
    content->assign(file.Data(), file.Data() + file.ViewLength());
    return true;
}

// One element over each file's executable, when both are executables of one kind.
std::vector<patchwriter::Element> ExecutableElements(const std::vector<uint8_t> &old, const std::vector<uint8_t> &newData)
{
    int oldKind = 0, newKind = 0;
    size_t oldLength = 0, newLength = 0;
    if (DetectExecutableType(old.data(), old.size(), &oldKind, &oldLength) != Status::OK ||
        DetectExecutableType(newData.data(), newData.size(), &newKind, &newLength) != Status::OK ||
        oldKind != newKind)
        return {};
    return {{static_cast<uint32_t>(oldKind), 0, static_cast<uint32_t>(oldLength), 0,
             static_cast<uint32_t>(newLength)}};
}

int Make(const char *oldPath, const char *newPath, const char *patchPath)
{
    std::vector<uint8_t> old, newData;
    if (!Read(oldPath, &old) || !Read(newPath, &newData))
        return 1;
    const std::vector<patchwriter::Element> elements = ExecutableElements(old, newData);
    patchwriter::EnsemblePatch patch;
    if (const int status = patchwriter::MakeEnsemblePatch(old, newData, elements, &patch); status != Status::OK) {
        std::fprintf(stderr, "could not make the patch: status %d\n", status);
        return 1;
    }
    patch.compress = true;
    const std::vector<uint8_t> bytes = patch.Serialize();
    if (bytes.empty() || WriteFile(patchPath, bytes.data(), bytes.size()) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", patchPath);
        return 1;
    }
    std::printf("elements: %zu\n", elements.size());
    return 0;
}

// The first element's encoded-program streams, from a linear set of transformed elements.
bool ElementStreams(const std::vector<uint8_t> &linear, std::vector<std::vector<uint8_t>> *streams)
{
    SourceStreamSet all, element;
    if (!all.Init(linear.data(), linear.size()) || !all.ReadSet(&element))
        return false;
    streams->clear();
    for (size_t i = 0; element.stream(i); ++i) {
        const SourceStream *stream = element.stream(i);
        streams->emplace_back(stream->Current(), stream->Current() + stream->Remaining());
    }
    return true;
}

// What each encoded-program stream of the first element costs when corrected on its own.
int PrintElementStreams(const std::vector<uint8_t> &old, const std::vector<uint8_t> &newData,
                        const std::vector<patchwriter::Element> &elements, patchwriter::LabelNumbering numbering)
{
    std::vector<uint8_t> oldLinear, newLinear;
    if (patchwriter::TransformedElements(old, newData, elements, numbering, &oldLinear, &newLinear) != Status::OK)
        return 1;
    std::vector<std::vector<uint8_t>> oldStreams, newStreams;
    if (!ElementStreams(oldLinear, &oldStreams) || !ElementStreams(newLinear, &newStreams) ||
        oldStreams.size() != newStreams.size())
        return 1;
    const char *names[] = {"image base, origins", "ops", "copy bytes", "abs32 indexes", "rel32 indexes",
                           "abs32 addresses", "rel32 addresses", "copy counts"};
    std::printf("%-22s %12s %12s\n", "element stream", "new bytes", "correction");
    for (size_t i = 0; i < oldStreams.size() && i < 8; ++i)
        std::printf("%-22s %12zu %12zu\n", names[i], newStreams[i].size(),
                    patchwriter::CompressedLzma2Block(patchwriter::ByteDiff(oldStreams[i], newStreams[i])).size());
    return 0;
}

int Streams(const char *oldPath, const char *newPath, bool independent)
{
    std::vector<uint8_t> old, newData;
    if (!Read(oldPath, &old) || !Read(newPath, &newData))
        return 1;
    const std::vector<patchwriter::Element> elements = ExecutableElements(old, newData);
    patchwriter::EnsemblePatch patch;
    const auto numbering =
        independent ? patchwriter::LabelNumbering::INDEPENDENT : patchwriter::LabelNumbering::MATCHED;
    if (const int status = patchwriter::MakeEnsemblePatch(old, newData, elements, &patch, numbering);
        status != Status::OK) {
        std::fprintf(stderr, "could not make the patch: status %d\n", status);
        return 1;
    }
    const char *names[] = {"descriptions", "parameter correction", "element correction", "final correction"};
    std::printf("%-22s %12s %12s\n", "stream", "raw bytes", "compressed");
    for (size_t i = 0; i < patch.streams.size() && i < 4; ++i)
        std::printf("%-22s %12zu %12zu\n", names[i], patch.streams[i].size(),
                    patchwriter::CompressedLzma2Block(patch.streams[i]).size());
    patch.compress = true;
    std::printf("%-22s %12s %12zu\n", "whole patch", "", patch.Serialize().size());
    return elements.empty() ? 0 : PrintElementStreams(old, newData, elements, numbering);
}

int Apply(const char *oldPath, const char *patchPath, const char *newPath)
{
    const int status = ApplyEnsemblePatchFiles(oldPath, patchPath, newPath);
    if (status != Status::OK) {
        std::fprintf(stderr, "could not apply the patch: status %d\n", status);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "make" && argc == 5)
        return Make(argv[2], argv[3], argv[4]);
    if (command == "apply" && argc == 5)
        return Apply(argv[2], argv[3], argv[4]);
    if (command == "streams" && (argc == 4 || (argc == 5 && std::string(argv[4]) == "independent")))
        return Streams(argv[2], argv[3], argc == 5);
    std::fprintf(stderr, "usage: %s make OLD NEW PATCH | apply OLD PATCH NEW | streams OLD NEW [independent]\n", argv[0]);
    return 2;
}
