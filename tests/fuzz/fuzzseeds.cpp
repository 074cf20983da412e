// Writes the seed corpora of the fuzzers: fuzzseeds <directory> creates <directory>/<fuzzer>/ with a few small
// valid and nearly valid inputs each, built with the engine's own writers and the test-only patch writers.
#include "ensemblefuzzold.h"

#include "binarydiff.h"
#include "crc.h"
#include "encodedprogram.h"
#include "executabletype.h"
#include "lzmafile.h"
#include "lzmaioout.h"
#include "sinkstream.h"
#include "sinkstreamset.h"
#include "sourcestream.h"
#include "status.h"

#include "disanddiffwriter.h"
#include "ensemblepatchwriter.h"
#include "patchpieces.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace corvapatch;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const SinkStream &sink)
{
    return sink.Length() ? Bytes(sink.Buffer(), sink.Buffer() + sink.Length()) : Bytes();
}

// A committed test executable (tests/corvapatch/fixtures); empty when it cannot be read.
Bytes readFixture(const std::string &file)
{
    std::ifstream in(std::string(CORVALINK_EXE_FIXTURES) + "/" + file, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool save(const std::string &dir, const std::string &name, const Bytes &bytes)
{
    FILE *file = std::fopen((dir + "/" + name).c_str(), "wb");
    if (!file)
        return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

Bytes container(uint32_t directive, const Bytes &content, uint32_t crc)
{
    SinkStream file;
    if (!WriteLzmaFileHeader(&file, crc) || !file.WriteVarint32(directive) ||
        !CompressLzma2Buffer(content.data(), content.size(), &file))
        return Bytes();
    return bytesOf(file);
}

Bytes plainContainer(const Bytes &content)
{
    return container(DIRECTIVE_PLAIN, content, ComputeCrc(content.data(), content.size()));
}

Bytes streamSet(const std::vector<Bytes> &streams, uint32_t count)
{
    SinkStreamSet set;
    if (!set.Init(count))
        return Bytes();
    for (size_t i = 0; i < streams.size() && i < count; ++i) {
        if (!set.stream(i)->Write(streams[i].data(), streams[i].size()))
            return Bytes();
    }
    SinkStream out;
    if (!set.CopyTo(&out))
        return Bytes();
    return bytesOf(out);
}

Bytes nestedSet()
{
    SinkStreamSet inner;
    SinkStreamSet outer;
    SinkStream out;
    if (!inner.stream(0)->Write("A", 1) || !inner.stream(2)->Write("BC", 2) || !outer.WriteSet(&inner) ||
        !outer.CopyTo(&out))
        return Bytes();
    return bytesOf(out);
}

// Directive 2 with two encoded programs: a copy run, and a relative and an absolute reference.
Bytes disAndDiffPrograms(const Bytes &content)
{
    EncodedProgram copy, references;
    if (!copy.AppendCopy(5, content.data()) || !references.AppendOrigin(0x1000) ||
        !references.SetRel32Rva(0, 0x1010) || !references.SetAbs32Rva(0, 0x2000) || !references.AppendRel32(0) ||
        !references.AppendAbs32(0) || !references.AppendCopy(1, content.data()))
        return Bytes();
    return patchwriter::DisAndDiffContainer({&copy, &references}, content);
}

bool lzmafileSeeds(const std::string &dir)
{
    const std::string text = "The quick brown fox jumps over the lazy dog. The quick brown fox jumps again.\n";
    const Bytes abcFile = {0xE9, 0xAE, 0xA8, 0x3F, 0xBD, 0xFC, 0xEE, 0xD6, 0x0C, 0x01,
                           0x00, 0x03, 0x01, 0x00, 0x02, 'a',  'b',  'c',  0x00};
    Bytes binary;
    for (int i = 0; i < 600; ++i)
        binary.push_back(static_cast<uint8_t>((i * 31) ^ (i >> 3)));
    const Bytes twoStreams = streamSet({{0x01, 0x02}, {0x00}}, 2);
    return save(dir, "abc-uncompressed-chunk", abcFile) && save(dir, "empty", plainContainer({})) &&
        save(dir, "text", plainContainer(Bytes(text.begin(), text.end()))) &&
        save(dir, "binary", plainContainer(binary)) &&
        save(dir, "dis-and-diff", container(DIRECTIVE_DIS_AND_DIFF, twoStreams, 0)) &&
        save(dir, "dis-and-diff-programs", disAndDiffPrograms(Bytes(text.begin(), text.end())));
}

bool streamsetSeeds(const std::string &dir)
{
    return save(dir, "empty-ten", streamSet({}, 10)) && save(dir, "count-zero", streamSet({}, 0)) &&
        save(dir, "three", streamSet({{0xAA, 0xBB}, {}, {0xCC}}, 3)) && save(dir, "nested", nestedSet());
}

// applydiff_fuzzer input: flag byte (bit 0: header), 16-bit little-endian old length, old data, diff.
Bytes diffInput(const Bytes &old, const Bytes &newData, bool withHeader, int method)
{
    SourceStream oldStream, newStream;
    oldStream.Init(old.data(), old.size());
    newStream.Init(newData.data(), newData.size());
    SinkStream diff;
    if (!GenerateDiff(&oldStream, &newStream, &diff, withHeader, method))
        return Bytes();
    Bytes input = {static_cast<uint8_t>(withHeader), static_cast<uint8_t>(old.size()),
                   static_cast<uint8_t>(old.size() >> 8)};
    input.insert(input.end(), old.begin(), old.end());
    const Bytes body = bytesOf(diff);
    input.insert(input.end(), body.begin(), body.end());
    return input;
}

bool applydiffSeeds(const std::string &dir)
{
    const std::string text = "The quick brown fox jumps over the lazy dog. The quick brown fox jumps again.\n";
    const Bytes old(text.begin(), text.end());
    Bytes edited = old;
    edited[4] = 'Q';
    edited.insert(edited.begin() + 40, {'r', 'e', 'd', ' '});
    edited.erase(edited.begin() + 60, edited.begin() + 66);
    // Hand-written: (0,0,4); (2,1,-5) adds 01 01 to "EF" and appends "x"; (2,0,0) adds 00 20 to "BC".
    const Bytes negativeSeek = {0x00, 0x06, 0x00, 'A',  'B',  'C',  'D',  'E',  'F',  0x00, 0x05, 0x09, 0x04, 0x01,
                                0x00, 0x00, 0x08, 0x04, 0x02, 0x09, 0x04, 0x00, 0x00, 0x01, 0x01, 0x00, 0x20, 0x78};
    for (int method : {DIFF_METHOD_RAW, DIFF_METHOD_SPLIT, DIFF_METHOD_PACKED}) {
        for (bool withHeader : {false, true}) {
            const std::string suffix = "-m" + std::to_string(method) + (withHeader ? "-header" : "");
            if (!save(dir, "edited" + suffix, diffInput(old, edited, withHeader, method)) ||
                !save(dir, "empty-old" + suffix, diffInput({}, edited, withHeader, method)))
                return false;
        }
    }
    return save(dir, "negative-seek", negativeSeek);
}

// Patches for the fuzzer's fixed old file: without elements (stored and compressed payloads), and with its
// executable as an element that turns into the changed build of the same library, so the element is
// disassembled, corrected and reassembled.
bool ensemblepatchSeeds(const std::string &dir)
{
    const Bytes old = EnsembleFuzzOldFile();
    Bytes edited = old;
    edited[kEnsembleFuzzExecutableLength + 10] = 'Q';
    edited.insert(edited.begin() + kEnsembleFuzzExecutableLength + 200, {'n', 'e', 'w'});
    patchwriter::EnsemblePatch plain;
    if (patchwriter::MakeEnsemblePatch(old, edited, {}, &plain) != Status::OK)
        return false;
    patchwriter::EnsemblePatch compressed = plain;
    compressed.compress = true;

    const Bytes changed = readFixture("elf/x86-pic-changed.so");
    if (changed.empty())
        return false;
    Bytes newFile = changed;
    newFile.insert(newFile.end(), edited.begin() + kEnsembleFuzzExecutableLength, edited.end());
    patchwriter::EnsemblePatch element;
    if (patchwriter::MakeEnsemblePatch(old, newFile,
                                       {{EXE_ELF_32_X86, 0, kEnsembleFuzzExecutableLength, 0,
                                         static_cast<uint32_t>(changed.size())}},
                                       &element) != Status::OK)
        return false;
    patchwriter::EnsemblePatch compressedElement = element;
    compressedElement.compress = true;
    return save(dir, "plain", plain.Serialize()) && save(dir, "compressed", compressed.Serialize()) &&
        save(dir, "element", element.Serialize()) && save(dir, "compressed-element", compressedElement.Serialize());
}

// Hand-encoded Versions answers: licenseAgreementId (tag 08), channels (tag 12: name 0A, version_number 10,
// version_string 1A), licenseAgreementIdMin (tag 18).
bool versionsSeeds(const std::string &dir)
{
    const Bytes minimal = {0x08, 0x07};
    const Bytes threeChannels = {0x08, 0x07, 0x12, 0x0D, 0x0A, 0x06, 's',  't',  'a',  'b',  'l', 'e',
                                 0x10, 0x0A, 0x1A, 0x01, '1',  0x12, 0x0B, 0x0A, 0x04, 'b',  'e', 't',
                                 'a',  0x10, 0x0B, 0x1A, 0x01, '2',  0x12, 0x0C, 0x0A, 0x05, 'a', 'l',
                                 'p',  'h',  'a',  0x10, 0x0C, 0x1A, 0x01, '3',  0x18, 0x05};
    const Bytes missingNumber = {0x08, 0x07, 0x12, 0x08, 0x0A, 0x06, 's', 't', 'a', 'b', 'l', 'e'};
    return save(dir, "minimal", minimal) && save(dir, "three-channels", threeChannels) &&
        save(dir, "missing-number", missingNumber);
}

Bytes encodedProgram(void (*build)(EncodedProgram *program))
{
    EncodedProgram program;
    build(&program);
    SinkStreamSet set;
    SinkStream out;
    if (WriteEncodedProgram(&program, &set) != 1 || !set.CopyTo(&out))
        return Bytes();
    return bytesOf(out);
}

// Programs built through the Append operations: literal bytes, labels, each relocation table, ARM branches.
bool encodedprogramSeeds(const std::string &dir)
{
    const Bytes copy = encodedProgram([](EncodedProgram *p) {
        (void)p->AppendCopy(3, reinterpret_cast<const uint8_t *>("ABC"));
        (void)p->AppendCopy(1, reinterpret_cast<const uint8_t *>("D"));
    });
    const Bytes labels = encodedProgram([](EncodedProgram *p) {
        p->set_image_base(0x400000);
        (void)p->SetAbs32Rva(0, 0x1800);
        (void)p->SetAbs32Rva(1, 0x2000);
        (void)p->SetRel32Rva(0, 0x1010);
        (void)p->AppendOrigin(0x1000);
        (void)p->AppendCopy(1, reinterpret_cast<const uint8_t *>("\xE8"));
        (void)p->AppendRel32(0);
        (void)p->AppendAbs32(1);
        (void)p->AppendAbs32(0);
    });
    const Bytes peRelocs = encodedProgram([](EncodedProgram *p) {
        (void)p->SetAbs32Rva(0, 0x1000);
        (void)p->AppendOrigin(0x1004);
        (void)p->AppendAbs32(0);
        (void)p->AppendAbs32(0);
        (void)p->AppendOrigin(0x2010);
        (void)p->AppendAbs32(0);
        (void)p->AppendPeRelocs(WIN_32_X86);
        (void)p->AppendCopy(2, reinterpret_cast<const uint8_t *>("ZZ"));
    });
    const Bytes elfRelocs = encodedProgram([](EncodedProgram *p) {
        (void)p->SetAbs32Rva(0, 0x10);
        (void)p->AppendElfRelocs();
        (void)p->AppendOrigin(0x20);
        (void)p->AppendAbs32(0);
        (void)p->AppendPeRelocs(WIN_32_X64);
    });
    const Bytes arm = encodedProgram([](EncodedProgram *p) {
        (void)p->SetRel32Rva(0, 0x1048);
        (void)p->SetAbs32Rva(0, 0x10);
        (void)p->AppendOrigin(0x1000);
        (void)p->AppendRel32Arm(0x30EB, 0);
        (void)p->AppendRel32Arm(0x201C, 0);
        (void)p->AppendRel32Arm(0x1000, 0);
        (void)p->AppendRel32Arm(0x4400, 0);
        (void)p->AppendRel32Arm(0x5000, 0);
        (void)p->AppendAbs32(0);
        (void)p->AppendElfArmRelocs();
    });
    return save(dir, "copy", copy) && save(dir, "labels", labels) && save(dir, "pe-relocs", peRelocs) &&
        save(dir, "elf-relocs", elfRelocs) && save(dir, "arm", arm) &&
        save(dir, "empty-program", encodedProgram([](EncodedProgram *) {}));
}

// The committed test executables (tests/corvapatch/fixtures): ELF of each machine and link mode, PE and Mach-O.
bool disassemblerSeeds(const std::string &dir)
{
    const char *const files[] = {"elf/x86-static", "elf/x86-pic.so", "elf/x86-textrel.so", "elf/x64-static",
                                 "elf/x64-pic.so", "elf/arm-static", "elf/arm-pic.so", "elf/thumb-static",
                                 "elf/thumb-pic.so", "pe/x86.exe", "pe/x86.dll", "pe/x64.exe", "pe/x64.dll",
                                 "macho/x64-exe", "macho/x64.dylib", "macho/x86-exe"};
    for (const char *file : files) {
        const Bytes bytes = readFixture(file);
        std::string name = file;
        name[name.find('/')] = '-';
        if (bytes.empty() || !save(dir, name, bytes))
            return false;
    }
    return true;
}

// Raw LZMA2 streams behind a property byte and the output room (two bytes, in units of 16 bytes): liblzma's
// own streams through the engine's block writer, one with room to spare and one with a byte too little.
bool lzma2decoderSeeds(const std::string &dir)
{
    Bytes text;
    for (int i = 0; i < 300; ++i)
        text.push_back(uint8_t("hello hello, zeros follow "[i % 26]));
    text.resize(4000, 0);
    for (int i = 0; i < 200; ++i)
        text.push_back(uint8_t(i * 37));
    const Bytes inputs[] = {Bytes{'a'}, text, Bytes(70000, 0)};
    int n = 0;
    for (const Bytes &input : inputs) {
        SinkStream block;
        if (!CompressLzma2Buffer(input.data(), input.size(), &block))
            return false;
        SourceStream cursor;
        cursor.Init(block.Buffer(), block.Length());
        uint8_t property = 0;
        uint32_t unpacked = 0;
        if (!cursor.Read(&property, 1) || !cursor.ReadVarint32(&unpacked))
            return false;
        for (const size_t room : {size_t(unpacked + 15) / 16, size_t(unpacked) / 16}) {
            Bytes seed = {property, uint8_t(room), uint8_t(room >> 8)};
            seed.insert(seed.end(), cursor.Current(), cursor.Current() + cursor.Remaining());
            if (!save(dir, "stream" + std::to_string(n++), seed))
                return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus-directory>\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    struct Seeds
    {
        const char *fuzzer;
        bool (*write)(const std::string &dir);
    };
    const Seeds all[] = {{"lzmafile_fuzzer", lzmafileSeeds},
                         {"lzma2decoder_fuzzer", lzma2decoderSeeds},
                         {"streamset_fuzzer", streamsetSeeds},
                         {"applydiff_fuzzer", applydiffSeeds},
                         {"ensemblepatch_fuzzer", ensemblepatchSeeds},
                         {"versions_fuzzer", versionsSeeds},
                         {"encodedprogram_fuzzer", encodedprogramSeeds},
                         {"disassembler_fuzzer", disassemblerSeeds}};
    mkdir(root.c_str(), 0755);
    for (const Seeds &seeds : all) {
        const std::string dir = root + "/" + seeds.fuzzer;
        mkdir(dir.c_str(), 0755);
        if (!seeds.write(dir)) {
            std::fprintf(stderr, "could not write the seeds of %s\n", seeds.fuzzer);
            return 1;
        }
    }
    return 0;
}
