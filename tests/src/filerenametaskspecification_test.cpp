#include "filerenametaskspecification.h"

#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/taskrecorder.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <gtest/gtest.h>

namespace {

struct RenameCase
{
    const char *name;
    const char *source; // below the sandbox
    const char *target;
    bool ok;
    QStringList records;
};

} // namespace

// The sandbox holds "file", "other" and "dir/inside". Each case is undone afterwards, which must give
// back the tree exactly as it was.
TEST(FileRenameTask, MovesAndRecordsOrFailsLeavingNothing)
{
    const RenameCase cases[] = {
        {"into an existing directory", "file", "dir/file", true, {"FILE_RENAME file -> dir/file"}},
        {"a directory", "dir", "moved dir", true, {"FILE_RENAME dir -> moved dir"}},
        // The directory made for the target is recorded before the move, so the undo takes it last.
        {"into a missing directory", "file", "new/file", true, {"DIR_CREATE new", "FILE_RENAME file -> new/file"}},
        {"two missing levels", "file", "new/deeper/file", false, {}},
        {"onto an existing file", "file", "other", false, {}},
        {"missing source", "missing", "file 2", false, {}},
        {"missing source into a missing directory", "missing", "new/file", false, {}},
    };
    for (const RenameCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        ASSERT_TRUE(Sandbox::writeFile(box.path("file"), "content"));
        ASSERT_TRUE(Sandbox::writeFile(box.path("other"), "other content"));
        ASSERT_TRUE(Sandbox::writeFile(box.path("dir/inside"), "i"));
        const TreeSnapshot before = snapshotTree(box.root());
        const QString source = box.path(c.source);
        const QString target = box.path(c.target);

        RollbackDataList list;
        FileRenameTaskSpecification task(source, target, &list, nullptr, 1.0);
        EXPECT_EQ(task.path(), target);
        TaskRecorder recorder(&task);
        task.execute();
        EXPECT_EQ(task.state(), c.ok ? TASK_FINISHED : TASK_CANCELED);
        EXPECT_EQ(describeRecords(list, box.root() + "/"), c.records);
        if (c.ok) {
            EXPECT_EQ(recorder.messages(), QStringList());
            TreeSnapshot expected = before;
            for (auto it = before.begin(); it != before.end(); ++it) {
                const QString rel = it->first;
                if (rel == c.source || rel.startsWith(QString(c.source) + "/")) {
                    expected.erase(rel);
                    expected[QString(c.target) + rel.mid(int(strlen(c.source)))] = it->second;
                }
            }
            TreeSnapshot after = snapshotTree(box.root());
            after.erase("new"); // made for the target; its mode depends on the umask
            EXPECT_EQ(after, expected);
        } else {
            EXPECT_EQ(recorder.messages(), QStringList {QString("Could not rename '%1' to '%2'").arg(source, target)});
            EXPECT_EQ(snapshotTree(box.root()), before);
        }

        EXPECT_TRUE(list.rollbackAll(&task));
        EXPECT_EQ(snapshotTree(box.root()), before);
    }
}
