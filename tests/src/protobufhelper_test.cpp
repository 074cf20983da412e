#include "protobufhelper.h"

#include <gtest/gtest.h>

// The runtime on this machine is newer than the oldest accepted one; the check must pass, not abort.
TEST(ProtobufHelper, VersionCheckAcceptsInstalledRuntime)
{
    initProtobuf();
    SUCCEED();
}
