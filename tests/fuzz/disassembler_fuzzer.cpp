// ParseExecutable on arbitrary bytes, then the rest of the program path of an ensemble patch: trimming,
// encoding, serialisation, reading back and assembly. The status must be one of the three ParseExecutable
// gives, and a program it accepts must encode, serialise and read back.
#include "assemblyprogram.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "sinkstream.h"
#include "sinkstreamset.h"
#include "sourcestreamset.h"
#include "status.h"

#include <cstdint>
#include <cstdlib>

using namespace corvapatch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    AssemblyProgram *program = nullptr;
    const int status = ParseExecutable(data, size, &program);
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
