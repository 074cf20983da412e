// Small inputs that once cost gigabytes or minutes, and a runner that feeds each to the engine the way the updater
// does, so benchmarks/hostile_inputs.sh can time them as whole processes.
//   hostile_inputs make <dir> <executable> <large-executable>
//   hostile_inputs patch <old> <patch> <new> [cap]      ApplyEnsemblePatchFiles; prints the status
//   hostile_inputs parse <file>                         ParseExecutable; prints the status
//   hostile_inputs unpack <container> <out> [cap] [plain]   DecompressLzmaFile; prints 1 or 0
#include "assemblyprogram.h"
#include "crc.h"
#include "disanddiffwriter.h"
#include "disassembler.h"
#include "elfbuilder.h"
#include "encodedprogram.h"
#include "ensemblepatch.h"
#include "ensemblepatchwriter.h"
#include "lzmafile.h"
#include "patchpieces.h"
#include "sinkstream.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using patchwriter::EnsemblePatch;

Bytes ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteBytes(const std::string &path, const Bytes &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

void Append(Bytes *to, const Bytes &bytes)
{
    to->insert(to->end(), bytes.begin(), bytes.end());
}

Bytes Varint(uint32_t value)
{
    corvapatch::SinkStream sink;
    if (!sink.WriteVarint32(value))
        return {};
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

// A patch for old whose payload holds these streams; the payload compressed.
Bytes PatchOf(const Bytes &old, const std::vector<Bytes> &streams)
{
    EnsemblePatch patch;
    patch.sourceCrc = corvapatch::ComputeCrc(old.data(), old.size());
    patch.streams = streams;
    patch.compress = true;
    return patch.Serialize();
}

// Descriptions of count elements of one kind, each the whole old file.
Bytes WholeFileElements(uint32_t count, uint32_t kind, uint32_t length)
{
    Bytes descriptions = Varint(count);
    descriptions.insert(descriptions.end(), count, uint8_t(kind));
    const Bytes offset = Varint(0);
    const Bytes size = Varint(length);
    for (uint32_t i = 0; i < count; ++i) {
        Append(&descriptions, offset);
        Append(&descriptions, size);
    }
    return descriptions;
}

// Row 1: 16 Mi element kinds and no parameters.
Bytes KindsOnly(const Bytes &old)
{
    Bytes descriptions = Varint(16u << 20);
    descriptions.insert(descriptions.end(), 16u << 20, 0x05);
    return PatchOf(old, {descriptions, {}, {}, {}});
}

// Rows 2 and 3: count elements, each the whole old file, with the parameter correction that keeps the
// prediction, so every element reaches its disassembly.
Bytes WholeFileTimes(const Bytes &old, uint32_t count, uint32_t kind)
{
    const Bytes predicted = patchwriter::PredictedParameters(count);
    return PatchOf(
        old,
        {WholeFileElements(count, kind, uint32_t(old.size())), patchwriter::ByteDiff(predicted, predicted), {}, {}});
}

// Row 4: no elements; the final correction is a diff in three blocks (method 1) whose extra area is 1 GiB of
// zeros, so the new file is those zeros.
Bytes GibibyteOfZeros(const Bytes &old)
{
    const uint32_t size = 1u << 30;
    const Bytes kEmptySet = {0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes keep = patchwriter::ByteDiff(kEmptySet, kEmptySet);
    Bytes final = {1};
    Append(&final, Varint(size));
    // control: one run of no copy, size extra bytes, no seek (signed varints: 0, 2 * size, 0)
    corvapatch::SinkStream control;
    if (!control.WriteVarint32Signed(0) || !control.WriteVarint32Signed(int32_t(size)) ||
        !control.WriteVarint32Signed(0))
        return {};
    Append(&final, patchwriter::StoredLzma2Block(Bytes(control.Buffer(), control.Buffer() + control.Length())));
    Append(&final, patchwriter::StoredLzma2Block({}));
    Append(&final, patchwriter::ZerosLzma2Block(size));
    EnsemblePatch patch;
    patch.sourceCrc = corvapatch::ComputeCrc(old.data(), old.size());
    uint32_t crc = corvapatch::ComputeCrc(nullptr, 0);
    const Bytes zeros(1 << 20, 0);
    for (uint32_t i = 0; i < size / zeros.size(); ++i)
        crc = corvapatch::ExtendCrc(crc, zeros.data(), zeros.size());
    patch.targetCrc = crc;
    patch.streams = {{0x00}, keep, keep, final};
    return patch.Serialize();
}

// Row 5: an x86 shared object whose one relocation table (16 absolute references into .data) is described by
// 20,000 more section headers, all before .data's in the table.
Bytes RepeatedRelocationSections()
{
    Bytes relocations;
    Bytes data(64, 0);
    for (uint32_t i = 0; i < 16; ++i) {
        Append(&relocations, Elf32Rel(0x1100 + 4 * i, 8));
        Put32(&data, 4 * i, 0x1100);
    }
    ElfBuilder builder(false, 3);
    builder.segment(1, 0, 0x1000, 0x200, 0x2000).section(9, 0x80, 0x1080, relocations, 8);
    for (int i = 0; i < 20000; ++i)
        builder.sectionHeader(9, 0x80, 0x1080, relocations.size(), 8);
    builder.section(1, 0x100, 0x1100, data);
    return builder.build();
}

// x86 code of calls to its own start, n bytes.
Bytes Calls(size_t n)
{
    Bytes code;
    while (code.size() + 5 <= n) {
        const uint32_t displacement = uint32_t(-int32_t(code.size() + 5));
        code.push_back(0xE8);
        for (int b = 0; b < 4; ++b)
            code.push_back(uint8_t(displacement >> (8 * b)));
    }
    code.resize(n, 0x90);
    return code;
}

// Row 6: an x86 executable whose 128 KiB of calls are described by 1,000 program-bits sections.
Bytes RepeatedProgramBitsSections()
{
    const Bytes code = Calls(128 * 1024);
    ElfBuilder builder(false, 3);
    builder.fileType(2).segment(1, 0, 0x1000, 0x100 + code.size(), 0x100 + code.size()).section(1, 0x100, 0x1100, code);
    for (int i = 0; i < 1000; ++i)
        builder.sectionHeader(1, 0x100, 0x1100, code.size());
    return builder.build();
}

// Row 7: an x86-64 Mach-O executable whose 96 KiB of calls are described by 10,000 code sections.
Bytes RepeatedCodeSections()
{
    const uint32_t sections = 10000;
    const uint32_t commandSize = 72 + 80 * sections;
    const uint32_t codeOffset = (32 + commandSize + 0xFFF) & ~0xFFFu;
    const Bytes code = Calls(96 * 1024);
    Bytes image(codeOffset + code.size(), 0);
    std::memcpy(&image[codeOffset], code.data(), code.size());
    Put32(&image, 0, 0xFEEDFACF);
    Put32(&image, 4, 0x1000007);
    Put32(&image, 12, 2);
    Put32(&image, 16, 1);
    Put32(&image, 20, commandSize);
    Put32(&image, 32, 25);
    Put32(&image, 36, commandSize);
    Put64(&image, 32 + 24, 0x100000000);
    Put64(&image, 32 + 32, image.size());
    Put64(&image, 32 + 48, image.size());
    Put32(&image, 32 + 64, sections);
    for (uint32_t i = 0; i < sections; ++i) {
        const uint64_t s = 32 + 72 + uint64_t(80) * i;
        Put64(&image, s + 32, 0x100000000 + codeOffset);
        Put64(&image, s + 40, code.size());
        Put32(&image, s + 48, codeOffset);
        Put32(&image, s + 64, 0x80000400);
    }
    return image;
}

// Row 8: an x86 executable with 65,535 program headers (the loadable one last) over 1 MiB of calls.
Bytes ManyProgramHeaders()
{
    const Bytes code = Calls(1 << 20);
    const uint64_t codeOffset = 52 + 32 * 65535;
    ElfBuilder builder(false, 3);
    builder.fileType(2);
    for (int i = 0; i < 65534; ++i)
        builder.segment(4, 0, 0, 0, 0); // notes that map nothing
    builder.segment(1, 0, 0x1000, codeOffset + code.size(), codeOffset + code.size());
    builder.section(1, codeOffset, 0x1000 + codeOffset, code);
    return builder.build();
}

// An x86 executable of 1 MiB of calls whose 65,535 section headers (string tables, which the walk does not
// parse) lie alternately at the start and at the end of the code: the walk's cursor follows each one, so the
// code travels again as literal bytes after every second header.
Bytes SectionsBackAndForth()
{
    const Bytes code = Calls(1 << 20);
    ElfBuilder builder(false, 3);
    builder.fileType(2).segment(1, 0, 0x1000, 0x100 + code.size(), 0x100 + code.size()).section(1, 0x100, 0x1100, code);
    for (int i = 0; i < 65533; ++i)
        builder.sectionHeader(3, i % 2 ? 0x100 + code.size() : 0x100, 0, 0);
    return builder.build();
}

// Row 8: a PE32 executable with 65,535 sections: ".text" of 64 KiB of calls, then 65,534 of 16 bytes each.
Bytes ManySections()
{
    const uint32_t count = 65535;
    const uint32_t headers = 0x40 + 24 + 224 + 40 * count;
    const uint32_t textOffset = (headers + 0x1FF) & ~0x1FFu;
    const Bytes code = Calls(64 * 1024);
    const uint32_t restOffset = textOffset + uint32_t(code.size());
    Bytes image(restOffset + 16 * (count - 1), 0x90);
    std::memset(image.data(), 0, textOffset);
    image[0] = 'M';
    image[1] = 'Z';
    Put32(&image, 60, 0x40);
    std::memcpy(&image[0x40], "PE\0\0", 4);
    Put16(&image, 0x44, 0x14C);
    Put16(&image, 0x46, uint16_t(count));
    Put16(&image, 0x54, 224);
    const uint32_t optional = 0x58;
    Put16(&image, optional, 0x10B);
    Put32(&image, optional + 28, 0x400000); // ImageBase
    Put32(&image, optional + 56, 0x1000 + 16 * count + uint32_t(code.size())); // SizeOfImage
    Put32(&image, optional + 92, 16); // NumberOfRvaAndSizes
    std::memcpy(&image[textOffset], code.data(), code.size());
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t h = optional + 224 + 40 * i;
        const bool text = i == 0;
        if (text)
            std::memcpy(&image[h], ".text", 5);
        else
            std::memcpy(&image[h], ".data", 5);
        Put32(&image, h + 8, text ? uint32_t(code.size()) : 16); // VirtualSize
        Put32(&image, h + 12, text ? 0x1000 : 0x1000 + uint32_t(code.size()) + 16 * i); // VirtualAddress
        Put32(&image, h + 16, text ? uint32_t(code.size()) : 16); // SizeOfRawData
        Put32(&image, h + 20, text ? textOffset : restOffset + 16 * (i - 1)); // PointerToRawData
    }
    return image;
}

// Row 9: a packed product ini in the executable form: one program of 16,000,000 absolute references to one
// label (64 MB assembled) and a diff to a one-byte file.
Bytes PackedIniOfReferences()
{
    corvapatch::EncodedProgram program;
    if (!program.SetAbs32Rva(0, 0x1000))
        return {};
    for (int i = 0; i < 16000000; ++i) {
        if (!program.AppendAbs32(0))
            return {};
    }
    // Method 0, new size 1; control (0, 1, 0); no diff bytes; extra "x".
    const Bytes diff = {0x00, 0x01, 0x03, 0x00, 0x01, 0x00, 0x02, 0x00, 'x'};
    const uint8_t x = 'x';
    return patchwriter::DisAndDiffContainerOfStreams({patchwriter::EncodedProgramBytes(&program), diff},
                                                     corvapatch::ComputeCrc(&x, 1), true);
}

int Make(const std::string &dir, const std::string &executable, const std::string &large)
{
    const Bytes small = ReadFile(executable);
    const Bytes big = ReadFile(large);
    if (small.empty() || big.empty())
        return 2;
    const Bytes backAndForth = SectionsBackAndForth();
    const struct
    {
        const char *name;
        Bytes bytes;
    } files[] = {
        {"old.elf", small},
        {"old-large.elf", big},
        {"kinds.patch", KindsOnly(small)},
        {"million.patch", WholeFileTimes(small, 1000000, 5)},
        {"overlapping.patch", WholeFileTimes(big, 200, 5)},
        {"zeros.patch", GibibyteOfZeros(small)},
        {"relocation-sections.elf", RepeatedRelocationSections()},
        {"progbits-sections.elf", RepeatedProgramBitsSections()},
        {"code-sections.macho", RepeatedCodeSections()},
        {"program-headers.elf", ManyProgramHeaders()},
        {"sections.pe", ManySections()},
        {"sections-back-and-forth.elf", backAndForth},
        {"sections-back-and-forth.patch", WholeFileTimes(backAndForth, 1, 2)},
        {"ini.lzma2", PackedIniOfReferences()},
    };
    for (const auto &f : files) {
        if (f.bytes.empty() || !WriteBytes(dir + "/" + f.name, f.bytes)) {
            std::cerr << "could not make " << f.name << "\n";
            return 1;
        }
    }
    return 0;
}

size_t CapArgument(int argc, char **argv, int index)
{
    return argc > index ? size_t(std::strtoull(argv[index], nullptr, 10)) : SIZE_MAX;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "make" && argc == 5)
        return Make(argv[2], argv[3], argv[4]);
    if (mode == "patch" && argc >= 5) {
        std::cout << corvapatch::ApplyEnsemblePatchFiles(argv[2], argv[3], argv[4], CapArgument(argc, argv, 5)) << "\n";
        return 0;
    }
    if (mode == "parse" && argc == 3) {
        const Bytes image = ReadFile(argv[2]);
        corvapatch::AssemblyProgram *program = nullptr;
        std::cout << corvapatch::ParseExecutable(image.data(), image.size(), &program) << "\n";
        corvapatch::DeleteAssemblyProgram(program);
        return 0;
    }
    if (mode == "unpack" && argc >= 4) {
        const bool plain = argc > 5 && std::string(argv[5]) == "plain";
        std::cout << corvapatch::DecompressLzmaFile(argv[2], argv[3], CapArgument(argc, argv, 4),
                                                    plain ? corvapatch::LZMA_FORMS_PLAIN_ONLY
                                                          : corvapatch::LZMA_FORMS_ALL)
                  << "\n";
        return 0;
    }
    std::cerr << "usage: hostile_inputs make <dir> <executable> <large-executable> | patch <old> <patch> <new> [cap]"
                 " | parse <file> | unpack <container> <out> [cap] [plain]\n";
    return 2;
}
