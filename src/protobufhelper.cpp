#include "protobufhelper.h"

#include <google/protobuf/stubs/common.h>

namespace {
// Oldest runtime library the generated messages work with.
constexpr int kMinimumLibraryVersion = 3000000;
} // namespace

void initProtobuf()
{
    // Checked against the headers this file was compiled with: naming a fixed older version here
    // would make the runtime refuse every newer library. Aborts through the runtime on a mismatch.
    google::protobuf::internal::VerifyVersion(GOOGLE_PROTOBUF_VERSION, kMinimumLibraryVersion, "src/protobufhelper");
}

void shutdownProtobuf()
{
    google::protobuf::ShutdownProtobufLibrary();
}
