#include "fileunpacktaskspecification_zip.h"

#include "support/hostilebodies.h"
#include "support/unpackchecks.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <memory>
#include <vector>

namespace {

// gzip of "hello, gzip\n" (no name, mtime 0): header, deflate data, CRC-32 86 1f 82 a4, length 12.
const QByteArray kHello = QByteArray::fromHex("1f8b0800000000000203cb48cdc9c9d75148afca2ce00200861f82a40c000000");
// gzip of nothing.
const QByteArray kEmpty = QByteArray::fromHex("1f8b080000000000020303000000000000000000");

// A gzip stream built with zlib's own writer, for inputs too large to write out here.
QByteArray gzipped(const QByteArray &plain)
{
    z_stream stream = {};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    QByteArray out(int(deflateBound(&stream, uLong(plain.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.constData()));
    stream.avail_in = uInt(plain.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return out;
}

std::unique_ptr<SlowFileOpSpecification> makeTask(RollbackDataList *rollback, const QString &source,
                                                  const QString &target)
{
    return std::make_unique<FileUnpackTaskSpecification_zip>(rollback, source, target, nullptr, 0.8);
}

// The task with its output capped at max bytes.
UnpackTaskFactory capped(qint64 max)
{
    return [max](RollbackDataList *rollback, const QString &source, const QString &target) {
        auto task = std::make_unique<FileUnpackTaskSpecification_zip>(rollback, source, target, nullptr, 0.8);
        task->setMaxOutputSize(max);
        return std::unique_ptr<SlowFileOpSpecification>(std::move(task));
    };
}

const char kFailure[] = "Could not unzip '%1' to '%2'";

} // namespace

// Each case runs onto a new target and onto an earlier file there. The whole sandbox is compared
// afterwards: a failure leaves the earlier file as it was and no partial output beside it.
TEST(FileUnpackZipTask, UnpacksCompleteStreamsAndRejectsDamagedOnes)
{
    const QByteArray large = largePlain();
    const QByteArray largePacked = gzipped(large);
    const std::vector<UnpackCase> cases = {
        {"valid stream", kHello, true, "hello, gzip\n"},
        {"valid stream of 40000 bytes", largePacked, true, large},
        {"empty stream", kEmpty, true, ""},
        {"empty file", "", true, ""},
        {"data that is not gzip", "plain text, copied as it is", true, "plain text, copied as it is"},
        {"header only", kHello.left(10), false, {}},
        {"cut in the deflate data", kHello.left(16), false, {}},
        {"cut in the CRC", kHello.left(24), false, {}},
        {"length field missing", kHello.left(28), false, {}},
        {"large stream cut in half", largePacked.left(largePacked.size() / 2), false, {}},
        {"wrong CRC", withByte(kHello, 24, '\x87'), false, {}},
        {"wrong length", withByte(kHello, 28, '\x0d'), false, {}},
        {"invalid deflate block type", withByte(kHello, 10, '\x07'), false, {}},
    };
    checkUnpackCases(makeTask, cases, "tmp/packed file", "inst/unpacked file", kFailure);
}

// A few KiB of gzip can decode to gigabytes: the unpack stops at the size the output may have.
TEST(FileUnpackZipTask, StopsAtTheMaximumOutputSize)
{
    checkUnpackCases(capped(12),
                     {{"output of exactly the maximum", kHello, true, "hello, gzip\n"},
                      {"empty stream", kEmpty, true, ""}},
                     "tmp/packed file", "inst/unpacked file", kFailure);
    checkUnpackCases(capped(11),
                     {{"one byte above the maximum", kHello, false, {}},
                      {"data that is not gzip, above the maximum", "plain text, copied as it is", false, {}}},
                     "tmp/packed file", "inst/unpacked file", kFailure);
    checkUnpackCases(capped(1024 * 1024),
                     {{"64 MiB of zeros", hostilebodies::gzipOfZeros(64 * 1024 * 1024), false, {}}},
                     "tmp/packed file", "inst/unpacked file", kFailure);
}

TEST(FileUnpackZipTask, FailsOnPathsThatCannotBeUsedLeavingNothing)
{
    const std::vector<UnpackPathCase> cases = {
        {"missing source", "tmp/missing", "inst/existing"},
        {"source is a directory", "tmp", "inst/new"},
        {"missing target directory", "tmp/packed", "inst/nowhere/new"},
        {"file where the target directory should be", "tmp/packed", "inst/existing/new"},
        {"target is a directory", "tmp/packed", "inst"},
    };
    checkUnpackPathCases(makeTask, cases, kHello, kFailure);
}
