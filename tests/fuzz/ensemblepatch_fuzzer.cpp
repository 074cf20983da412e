// Ensemble patch application on arbitrary patch bytes against one fixed old file that starts with a real
// executable: the header, the payload block, the descriptions, the element's disassembly, both corrected sets,
// the reassembly and the final diff.
#include "ensemblefuzzold.h"

#include "crc.h"
#include "ensemblepatch.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "status.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::vector<uint8_t> old = EnsembleFuzzOldFile();
    if (old.size() < kEnsembleFuzzExecutableLength)
        std::abort(); // the executable fixture is missing: the run would not reach a real element
    corvapatch::SourceStream oldStream, patch;
    oldStream.Init(old.data(), old.size());
    patch.Init(data, size);
    corvapatch::SinkStream output;
    const int status = corvapatch::ApplyEnsemblePatchStreams(&oldStream, &patch, &output);
    if (oldStream.Remaining() != old.size())
        std::abort(); // the old data is only read
    if (status == corvapatch::Status::OK) {
        // Success means the result is what the header's target crc promised.
        corvapatch::SourceStream header;
        header.Init(data, size);
        uint32_t magic = 0, version = 0, sourceCrc = 0, targetCrc = 0;
        if (!header.ReadVarint32(&magic) || !header.ReadVarint32(&version) || !header.ReadVarint32(&sourceCrc) ||
            !header.ReadVarint32(&targetCrc) ||
            corvapatch::ComputeCrc(output.Buffer(), output.Length()) != targetCrc)
            std::abort();
    }
    return 0;
}
