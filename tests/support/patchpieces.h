#pragma once

#include "lzma2blockwriter.h"

#include <cstdint>
#include <vector>

namespace corvapatch {
class EncodedProgram;
class SinkStream;
}

namespace patchwriter {

Bytes BytesOf(const corvapatch::SinkStream &sink);

// A stream set in top-level form as SinkStreamSet::CopyTo writes it: the set has the given count (at most 10)
// and holds streams[i] for i below it (missing ones empty). Empty on failure.
Bytes StreamSetBytes(const std::vector<Bytes> &streams, uint32_t count = 10);

// A byte diff without its header, method 0 unless asked otherwise, from old to newData. Empty on failure.
Bytes ByteDiff(const Bytes &old, const Bytes &newData, int method = 0);

// The program serialised by WriteEncodedProgram into a fresh set, in top-level form. Empty on failure.
Bytes EncodedProgramBytes(corvapatch::EncodedProgram *program);

} // namespace patchwriter
