// ParseExecutable on arbitrary bytes, then the rest of the program path of an ensemble patch: trimming,
// encoding, serialisation, reading back and assembly. The status must be one of the three ParseExecutable
// gives, and a program it accepts must encode, serialise and read back. The applier's path, which encodes in
// two walks without keeping the instructions, must give the same status and the same streams, also when every
// section is scanned in two halves at once.
#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassembler_elf.h"
#include "encodedprogram.h"
#include "sinkstream.h"
#include "sinkstreamset.h"
#include "sourcestreamset.h"
#include "status.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace corvapatch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    EncodedProgram *walkedTwice = nullptr;
    const int twoWalks = ParseAndEncodeExecutable(data, size, &walkedTwice);
    SinkStream walkedStreams;
    if (twoWalks == Status::OK) {
        SinkStreamSet sinks;
        if (!walkedTwice || WriteEncodedProgram(walkedTwice, &sinks) != Status::OK || !sinks.CopyTo(&walkedStreams))
            std::abort();
        DeleteEncodedProgram(walkedTwice);
    } else if (walkedTwice) {
        std::abort();
    }

    // Split scans: sections of 16 bytes or more are scanned from their start and their middle at once.
    const size_t whole = DisassemblerElf64::ScanSplitSize();
    DisassemblerElf64::SetScanSplitSize(16);
    EncodedProgram *splitScan = nullptr;
    const int split = ParseAndEncodeExecutable(data, size, &splitScan);
    DisassemblerElf64::SetScanSplitSize(whole);
    if (split != twoWalks)
        std::abort();
    if (split == Status::OK) {
        SinkStreamSet sinks;
        SinkStream streams;
        if (!splitScan || WriteEncodedProgram(splitScan, &sinks) != Status::OK || !sinks.CopyTo(&streams) ||
            streams.Length() != walkedStreams.Length() ||
            std::memcmp(streams.Buffer(), walkedStreams.Buffer(), streams.Length()) != 0)
            std::abort();
    }
    DeleteEncodedProgram(splitScan);

    AssemblyProgram *program = nullptr;
    const int status = ParseExecutable(data, size, &program);
    if (status != twoWalks)
        std::abort();
    if (status == Status::INPUT_NOT_RECOGNISED || status == Status::DISASSEMBLY_FAILED) {
        if (program)
            std::abort();
        return 0;
    }
    if (status != Status::OK || !program)
        std::abort();

    EncodedProgram *encoded = nullptr;
    if (TrimAssemblyProgram(program) != Status::OK || EncodeAssemblyProgram(program, &encoded) != Status::OK)
        std::abort();
    SinkStreamSet sinks;
    SinkStream serialised;
    if (WriteEncodedProgram(encoded, &sinks) != Status::OK || !sinks.CopyTo(&serialised))
        std::abort();
    if (serialised.Length() != walkedStreams.Length() ||
        std::memcmp(serialised.Buffer(), walkedStreams.Buffer(), serialised.Length()) != 0)
        std::abort();
    SourceStreamSet sources;
    EncodedProgram *read = nullptr;
    if (!sources.Init(serialised.Buffer(), serialised.Length()) || ReadEncodedProgram(&sources, &read) != Status::OK)
        std::abort();
    // A damaged file can give a program that does not assemble (two relocation tables, say); that is a
    // failure status, not a fault.
    SinkStream assembled;
    (void)Assemble(read, &assembled);

    DeleteEncodedProgram(read);
    DeleteEncodedProgram(encoded);
    DeleteAssemblyProgram(program);
    return 0;
}
