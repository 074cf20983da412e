#include "filecopytaskspecification.h"

#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/taskrecorder.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

struct CopyCase
{
    const char *name;
    const char *source; // below the sandbox
    const char *target;
    bool ok;
};

} // namespace

// The whole sandbox is compared, its temporary directory included: a failed copy leaves no partial
// file anywhere, and an existing target is never touched.
TEST(FileCopyTask, CopiesToANewFileOrFailsLeavingNothing)
{
    const CopyCase cases[] = {
        {"new target", "src/data", "dst/data", true},
        {"new target beside the source", "src/data", "src/data copy", true},
        {"existing target", "src/data", "dst/existing", false},
        {"target is a directory", "src/data", "dst", false},
        {"missing source", "src/missing", "dst/data", false},
        {"source is a directory", "src", "dst/data", false},
        {"missing target directory", "src/data", "nowhere/data", false},
        {"file where the target directory should be", "src/data", "dst/existing/data", false},
    };
    const QByteArray data("copied\0bytes\xff", 13);
    for (const CopyCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        ASSERT_TRUE(Sandbox::writeFile(box.path("src/data"), data));
        ASSERT_TRUE(QFile::setPermissions(box.path("src/data"),
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup));
        ASSERT_TRUE(Sandbox::writeFile(box.path("dst/existing"), "keep me"));
        const TreeSnapshot before = snapshotTree(box.root());
        const QString source = box.path(c.source);
        const QString target = box.path(c.target);

        RollbackDataList list;
        FileCopyTaskSpecification task(&list, source, target, nullptr, 1.0);
        TaskRecorder recorder(&task);
        task.execute();
        EXPECT_EQ(task.state(), TASK_RUNNING); // the copy runs on the pool
        ASSERT_TRUE(waitForTaskEnd(&task));
        EXPECT_EQ(task.state(), c.ok ? TASK_FINISHED : TASK_CANCELED);
        EXPECT_EQ(recorder.finishedCount() + recorder.canceledCount(), 1);

        TreeSnapshot expected = before;
        if (c.ok) {
            EXPECT_EQ(recorder.messages(), QStringList());
            EXPECT_EQ(describeRecords(list, box.root() + "/"), QStringList {QString("FILE_CREATE ") + c.target});
            expected[c.target] = before.at(c.source); // the same bytes and the same mode
        } else {
            EXPECT_EQ(recorder.messages(), QStringList {QString("Could not copy '%1' to '%2'").arg(source, target)});
            EXPECT_EQ(describeRecords(list), QStringList());
        }
        EXPECT_EQ(snapshotTree(box.root()), expected);

        EXPECT_TRUE(list.rollbackAll(&task));
        EXPECT_EQ(snapshotTree(box.root()), before);
    }
}

TEST(FileCopyTask, RecordsNothingWithoutARollbackList)
{
    Sandbox box;
    ASSERT_TRUE(Sandbox::writeFile(box.path("a"), "a"));
    FileCopyTaskSpecification task(nullptr, box.path("a"), box.path("b"), nullptr, 1.0);
    task.execute();
    ASSERT_TRUE(waitForTaskEnd(&task));
    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_EQ(Sandbox::readFile(box.path("b")), QByteArray("a"));
}
