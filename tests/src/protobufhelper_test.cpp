#include "protobufhelper.h"

#include "support/logcapture.h"
#include "versioninfo.h"

#include <gtest/gtest.h>


// The runtime on this machine is newer than the oldest accepted one; the check must pass, not abort.
TEST(ProtobufHelper, VersionCheckAcceptsInstalledRuntime)
{
    initProtobuf();
    SUCCEED();
}

// An answer that lacks a required field makes the runtime complain; the complaint is a line of the updater's
// log, and nothing of it reaches standard error.
TEST(ProtobufHelper, RuntimeDiagnosticsGoToTheLogNotToStandardError)
{
    initProtobuf();
    testing::internal::CaptureStderr();
    LogCapture log;
    VersionInfo info;
    EXPECT_EQ(parseVersions("", 0, &info), PARSE_ERROR);
    const std::string stderrText = testing::internal::GetCapturedStderr();
    EXPECT_EQ(stderrText, "");
    ASSERT_EQ(log.messages().size(), 1) << log.lines().join("\n").toStdString();
    EXPECT_EQ(log.messages().first().type, QtCriticalMsg);
    EXPECT_TRUE(log.lines().first().startsWith("libprotobuf ")) << log.lines().first().toStdString();
    EXPECT_TRUE(log.contains("missing required fields: licenseAgreementId")) << log.lines().first().toStdString();
}
