// Reads an encoded program from a serialised stream set and assembles it. A program that reads must also
// survive being written and read once more.
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
    SourceStreamSet set;
    if (!set.Init(data, size))
        return 0;
    EncodedProgram *program = nullptr;
    if (ReadEncodedProgram(&set, &program) != Status::OK)
        return 0;

    SinkStreamSet written;
    SinkStream serialised;
    if (WriteEncodedProgram(program, &written) != Status::OK || !written.CopyTo(&serialised))
        std::abort();
    SourceStreamSet again;
    EncodedProgram *reread = nullptr;
    if (!again.Init(serialised.Buffer(), serialised.Length()) || ReadEncodedProgram(&again, &reread) != Status::OK)
        std::abort();
    DeleteEncodedProgram(reread);

    SinkStream out;
    (void)Assemble(program, &out);
    DeleteEncodedProgram(program);
    return 0;
}
