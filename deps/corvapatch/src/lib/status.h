#pragma once

namespace corvapatch {

// Results of the patch engine's whole-file operations. Plain ints: callers outside the engine (the patch task)
// receive them as such. 1 is success; every other value names the step that failed.
struct Status
{
    enum : int {
        OK = 1,
        GENERAL_ERROR = 2,
        PATCH_OPEN_FAILED = 3,
        FILE_ACCESS_FAILED = 4,
        BAD_MAGIC = 5,
        BAD_VERSION = 6,
        BAD_HEADER = 7,
        CRC_MISMATCH = 8,
        BAD_PARAMETERS = 12,
        STREAM_ERROR = 20,
        STREAM_NOT_CONSUMED = 21,
        DESERIALIZATION_FAILED = 23,
        INPUT_NOT_RECOGNISED = 24,
        DISASSEMBLY_FAILED = 25,
        ASSEMBLY_FAILED = 26,
        TRIM_FAILED = 28,
    };
};

} // namespace corvapatch
