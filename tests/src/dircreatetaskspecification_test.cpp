#include "dircreatetaskspecification.h"

#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/taskrecorder.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <gtest/gtest.h>

namespace {

struct DirCreateCase
{
    const char *name;
    const char *path; // below the sandbox; "!" first: used as it stands (a relative path)
    int state;
    QStringList records; // below the sandbox
    const char *message; // %1 = the level that failed (below the sandbox unless the path is relative)
    const char *failedLevel;
};

} // namespace

// The sandbox holds "base" (a directory) and "base/file". Creating and failing both leave the tree as
// it was once the records are undone.
TEST(DirCreateTask, CreatesMissingLevelsOrFailsWithItsMessage)
{
    const QString longName(300, 'n'); // too long for any file system: the last level cannot be made
    const QByteArray deepTooLong = "base/made/" + longName.toUtf8();
    const DirCreateCase cases[] = {
        {"three missing levels",
         "base/a/b/c",
         TASK_FINISHED,
         {"DIR_CREATE base/a", "DIR_CREATE base/a/b", "DIR_CREATE base/a/b/c"},
         nullptr,
         nullptr},
        {"trailing separator", "base/a/", TASK_FINISHED, {"DIR_CREATE base/a"}, nullptr, nullptr},
        {"exists already", "base", TASK_FINISHED, {}, nullptr, nullptr},
        {"file in the way",
         "base/file",
         TASK_CANCELED,
         {},
         "Could not create dir '%1' because it already exists and is not a dir",
         "base/file"},
        {"file in the way of a parent",
         "base/file/sub/dir",
         TASK_CANCELED,
         {},
         "Could not create dir '%1' because it already exists and is not a dir",
         "base/file"},
        {"bare name", "!no such dir 7f3e", TASK_CANCELED, {}, "Could not create dir %1", "!no such dir 7f3e"},
        {"relative without existing parent",
         "!no such dir 7f3e/sub",
         TASK_CANCELED,
         {},
         "Could not create dir %1",
         "!no such dir 7f3e/sub"},
        // The level made before the failure stays recorded for the owner's undo.
        {"last level cannot be made",
         deepTooLong.constData(),
         TASK_CANCELED,
         {"DIR_CREATE base/made"},
         "unable to create dir %1",
         deepTooLong.constData()},
    };
    for (const DirCreateCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        ASSERT_TRUE(Sandbox::writeFile(box.path("base/file"), "f"));
        const TreeSnapshot before = snapshotTree(box.root());
        const auto resolve = [&box](const char *p) {
            return p[0] == '!' ? QString::fromUtf8(p + 1) : box.path(QString::fromUtf8(p));
        };

        RollbackDataList list;
        DirCreateTaskSpecification task(resolve(c.path), &list, nullptr, 0.5);
        TaskRecorder recorder(&task);
        task.execute(); // synchronous: the task has ended when execute() returns
        EXPECT_EQ(task.state(), c.state);
        EXPECT_EQ(recorder.finishedCount(), c.state == TASK_FINISHED ? 1 : 0);
        EXPECT_EQ(recorder.canceledCount(), c.state == TASK_FINISHED ? 0 : 1);
        EXPECT_EQ(describeRecords(list, box.root() + "/"), c.records);
        const QStringList messages =
            c.message ? QStringList {QString(c.message).arg(resolve(c.failedLevel))} : QStringList();
        EXPECT_EQ(recorder.messages(), messages);
        EXPECT_EQ(QFileInfo(resolve(c.path)).isDir(), c.state == TASK_FINISHED || QString(c.path) == "base");

        EXPECT_TRUE(list.rollbackAll(&task));
        EXPECT_EQ(snapshotTree(box.root()), before);
    }
}
