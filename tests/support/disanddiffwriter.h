#pragma once

#include "lzma2blockwriter.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvapatch {
class EncodedProgram;
}

namespace patchwriter {

// An LZMA container file of directive 2 whose block holds the given outer set streams (count = their number)
// and whose header carries crc. Empty on failure.
Bytes DisAndDiffContainerOfStreams(const std::vector<Bytes> &streams, uint32_t crc, bool compress = false);

// The directive-2 container of content: each program serialised into a stream of its own, then the byte diff
// from the programs' joined assembly to content. The programs are not changed (their assembly is taken from
// the serialised form, as the reader does). Empty on failure.
Bytes DisAndDiffContainer(const std::vector<corvapatch::EncodedProgram *> &programs, const Bytes &content,
                          bool compress = false);

// The directive-2 container the packer makes of an executable file: the whole file parsed, its labels trimmed
// and encoded as one program, then the diff to the file; compressed. blockSize and assemblySize (when given) get
// what the block unpacks to and what the program assembles to. Empty when the file is not an executable.
Bytes DisAndDiffContainerOfExecutable(const Bytes &file, size_t *blockSize = nullptr, size_t *assemblySize = nullptr);

// The programs' joined assembly, read back from their serialised forms as the container's reader does.
bool AssembleSerialisedPrograms(const std::vector<Bytes> &programs, Bytes *assembly);

} // namespace patchwriter
