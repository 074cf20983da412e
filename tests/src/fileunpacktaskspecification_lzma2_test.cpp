#include "fileunpacktaskspecification_lzma2.h"

#include "support/hostilebodies.h"
#include "support/sandbox.h"
#include "support/unpackchecks.h"

#include "lzmafile.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// A container of "abc": magic E9 AE A8 3F, crc 0xCADBBE3D as varint32 (BD FC EE D6 0C), directive 1,
// then the block: property 0, unpacked size 3, one uncompressed LZMA2 chunk (01, size-1 = 00 02,
// "abc") and the end marker 00.
QByteArray abcContainer(const char *size = "03", const char *property = "00", const char *directive = "01")
{
    return QByteArray::fromHex(QByteArray("e9aea83f") + "bdfceed60c" + directive + property + size + "010002616263" +
                               "00");
}

// A container made by the packer, for content too large to write out here.
QByteArray packed(const Sandbox &box, const QByteArray &plain)
{
    const QString in = box.path("fixture/plain");
    const QString out = box.path("fixture/packed");
    EXPECT_TRUE(Sandbox::writeFile(in, plain));
    EXPECT_TRUE(corvapatch::CompressLzmaFile(QFile::encodeName(in).constData(), QFile::encodeName(out).constData()));
    const QByteArray bytes = Sandbox::readFile(out);
    QDir(box.path("fixture")).removeRecursively();
    return bytes;
}

std::unique_ptr<SlowFileOpSpecification> makeTask(RollbackDataList *rollback, const QString &source,
                                                  const QString &target)
{
    return std::make_unique<FileUnpackTaskSpecification_lzma2>(rollback, source, target, nullptr, 0.8);
}

// The task with its output capped at max bytes.
UnpackTaskFactory capped(qint64 max)
{
    return [max](RollbackDataList *rollback, const QString &source, const QString &target) {
        auto task = std::make_unique<FileUnpackTaskSpecification_lzma2>(rollback, source, target, nullptr, 0.8);
        task->setMaxOutputSize(max);
        return std::unique_ptr<SlowFileOpSpecification>(std::move(task));
    };
}

const char kFailure[] = "Could not unpack '%1' to '%2'";

} // namespace

// Each case runs onto a new target and onto an earlier file there; the whole sandbox is compared.
TEST(FileUnpackLzmaTask, UnpacksValidContainersAndRejectsMalformedOnes)
{
    Sandbox fixtures;
    const QByteArray large = largePlain();
    const QByteArray largePacked = packed(fixtures, large);
    const std::vector<UnpackCase> cases = {
        {"container of abc", abcContainer(), true, "abc"},
        {"bytes after the block are ignored", abcContainer() + "trailing", true, "abc"},
        {"packed 40000 bytes", largePacked, true, large},
        {"empty file", "", false, {}},
        {"magic only", QByteArray::fromHex("e9aea83f"), false, {}},
        {"wrong magic", withByte(abcContainer(), 0, '\xe8'), false, {}},
        {"wrong crc", withByte(abcContainer(), 4, '\xbc'), false, {}},
        {"unknown directive", abcContainer("03", "00", "03"), false, {}},
        {"property 41", abcContainer("03", "29"), false, {}},
        {"block one byte short of its size", abcContainer("04"), false, {}},
        {"block cut before its end marker", abcContainer().chopped(1), false, {}},
        {"packed container cut in half", largePacked.left(largePacked.size() / 2), false, {}},
    };
    checkUnpackCases(makeTask, cases, "tmp/file._lzma2_", "inst/file", kFailure);
}

// A container of a few KiB can stand for gigabytes: content above the cap fails before it is decoded.
TEST(FileUnpackLzmaTask, StopsAtTheMaximumOutputSize)
{
    checkUnpackCases(capped(3), {{"content of exactly the maximum", abcContainer(), true, "abc"}}, "tmp/file._lzma2_",
                     "inst/file", kFailure);
    checkUnpackCases(capped(2), {{"one byte above the maximum", abcContainer(), false, {}}}, "tmp/file._lzma2_",
                     "inst/file", kFailure);
    checkUnpackCases(capped(1024 * 1024),
                     {{"64 MiB of zeros", hostilebodies::lzmaContainerOfZeros(64 * 1024 * 1024), false, {}}},
                     "tmp/file._lzma2_", "inst/file", kFailure);
}

TEST(FileUnpackLzmaTask, FailsOnPathsThatCannotBeUsedLeavingNothing)
{
    const std::vector<UnpackPathCase> cases = {
        {"missing container", "tmp/missing", "inst/existing"},
        {"missing target directory", "tmp/packed", "inst/nowhere/new"},
        {"file where the target directory should be", "tmp/packed", "inst/existing/new"},
        {"target is a directory", "tmp/packed", "inst"},
    };
    checkUnpackPathCases(makeTask, cases, abcContainer(), kFailure);
}
