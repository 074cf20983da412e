#include "filetaskspecification_patch.h"

#include "support/logcapture.h"
#include "support/patchfixture.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/taskrecorder.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

QByteArray ensemblePatch(const QByteArray &old, const QByteArray &newData)
{
    const QByteArray patch = ensemblePatchBytes(old, newData);
    EXPECT_FALSE(patch.isEmpty());
    return patch;
}

} // namespace

TEST(FilePatchTask, WritesTheNewFileOnlyWhenThePatchApplies)
{
    const QByteArray oldBytes = "the first version of the file\n";
    const QByteArray newBytes = "the second version of the file, a little longer\n";
    const QByteArray good = ensemblePatch(oldBytes, newBytes);
    patchwriter::EnsemblePatch nextVersion;
    ASSERT_EQ(patchwriter::MakeEnsemblePatch({'o', 'l', 'd'}, {'n', 'e', 'w'}, {}, &nextVersion), 1);
    nextVersion.version += 1;
    const patchwriter::Bytes nextVersionBytes = nextVersion.Serialize();
    const QByteArray wrongVersion(reinterpret_cast<const char *>(nextVersionBytes.data()), int(nextVersionBytes.size()));
    struct Case
    {
        const char *name;
        QByteArray old;
        QByteArray patch;
        bool oldExists;
        bool target; // a file is at the target before the run
        bool succeeds;
        QStringList logLines; // after "ApplyEnsemblePatch status =": the status and its text
    };
    const Case cases[] = {
        {"applies onto a new name", oldBytes, good, true, false, true, {"1"}},
        {"applies over an earlier file", oldBytes, good, true, true, true, {"1"}},
        {"not an ensemble patch", oldBytes, "PK\x03\x04 a zip, not a patch", true, true, false,
         {"5", "Not a corvapatch patch"}},
        {"a patch of another format version", "old", wrongVersion, true, true, false, {"6", "Wrong version patch"}},
        {"an empty patch", oldBytes, QByteArray(), true, false, false, {}},
        {"made for another old file", "another first version\n", good, true, true, false, {}},
        {"the old file is missing", oldBytes, good, false, true, false, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        const QString old = box.path("tmp/bin/tool_old");
        const QString patch = box.path("tmp/bin/tool._patch_");
        const QString target = box.path("inst/bin/tool");
        if (c.oldExists) {
            ASSERT_TRUE(Sandbox::writeFile(old, c.old));
        }
        ASSERT_TRUE(Sandbox::writeFile(patch, c.patch));
        ASSERT_TRUE(QDir().mkpath(box.path("inst/bin")));
        if (c.target) {
            ASSERT_TRUE(Sandbox::writeFile(target, "installed\n"));
        }
        const TreeSnapshot before = snapshotTree(box.path("."));

        RollbackDataList rollback;
        LogCapture log;
        FileTaskSpecification_patch task(&rollback, old, patch, target, nullptr, 0.8);
        TaskRecorder recorder(&task);
        task.execute();
        ASSERT_TRUE(waitForTaskEnd(&task));

        const QString statusLine = "ApplyEnsemblePatch status = ";
        QStringList lines = log.lines();
        const int at = lines.indexOf(QRegularExpression("^" + QRegularExpression::escape(statusLine) + ".*"));
        ASSERT_GE(at, 0) << lines.join('\n').toStdString();
        EXPECT_TRUE(lines[at].contains(old) && lines[at].contains(patch) && lines[at].contains(target));
        EXPECT_TRUE(lines.contains(QString("Patch result %1").arg(c.succeeds ? "true" : "false")));
        if (!c.logLines.isEmpty()) {
            EXPECT_TRUE(lines[at].startsWith(statusLine + c.logLines[0] + " ")) << lines[at].toStdString();
            if (c.logLines.size() > 1) {
                ASSERT_LT(at + 1, lines.size());
                EXPECT_EQ(lines[at + 1], c.logLines[1]);
            }
        }
        if (c.succeeds) {
            EXPECT_EQ(task.state(), TASK_FINISHED);
            EXPECT_EQ(Sandbox::readFile(target), newBytes);
            EXPECT_EQ(recorder.messages(), QStringList());
            EXPECT_EQ(describeRecords(rollback, box.path("inst/")), QStringList {"FILE_CREATE bin/tool"});
        } else {
            EXPECT_EQ(task.state(), TASK_CANCELED);
            EXPECT_EQ(recorder.messages(), QStringList {QString("Could not patch '%1' to '%2'").arg(old, target)});
            EXPECT_TRUE(rollback.isEmpty());
            // Nothing written, nothing left behind under any name.
            EXPECT_EQ(snapshotTree(box.path(".")), before);
        }
    }
}

TEST(FilePatchTask, RecordsNothingWithoutARollbackList)
{
    Sandbox box;
    ASSERT_TRUE(Sandbox::writeFile(box.path("old"), "one two three\n"));
    ASSERT_TRUE(Sandbox::writeFile(box.path("patch"), ensemblePatch("one two three\n", "one 2 three\n")));
    FileTaskSpecification_patch task(nullptr, box.path("old"), box.path("patch"), box.path("new"), nullptr, 1.0);
    task.execute();
    ASSERT_TRUE(waitForTaskEnd(&task));
    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_EQ(Sandbox::readFile(box.path("new")), "one 2 three\n");
    EXPECT_EQ(Sandbox::readFile(box.path("old")), "one two three\n");
}
