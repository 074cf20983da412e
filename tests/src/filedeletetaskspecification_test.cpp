#include "filedeletetaskspecification.h"

#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/taskrecorder.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

struct DeleteCase
{
    const char *name;
    const char *path; // below tree/
    bool recursive;
    bool ok;
    const char *message; // %1 = the path
    QStringList removed; // entries below tree/ that are gone afterwards
};

// tree/file, tree/empty/inner (both empty directories), tree/full/a, tree/full/sub/b.
void buildTree(const Sandbox &box)
{
    ASSERT_TRUE(Sandbox::writeFile(box.path("tree/file"), "f"));
    ASSERT_TRUE(QDir().mkpath(box.path("tree/empty/inner")));
    ASSERT_TRUE(Sandbox::writeFile(box.path("tree/full/a"), "a"));
    ASSERT_TRUE(Sandbox::writeFile(box.path("tree/full/sub/b"), "b"));
}

TreeSnapshot without(TreeSnapshot snapshot, const QStringList &removed)
{
    for (const QString &path : removed)
        snapshot.erase(path);
    return snapshot;
}

void runCase(const Sandbox &box, const DeleteCase &c)
{
    const QString tree = box.path("tree");
    const TreeSnapshot before = snapshotTree(tree);
    const TreeSnapshot outsideBefore = snapshotTree(box.path("outside"));

    const QString path = tree + "/" + c.path;
    FileDeleteTaskSpecification task(path, c.recursive, nullptr, 1.0);
    TaskRecorder recorder(&task);
    task.execute();
    EXPECT_EQ(task.state(), c.ok ? TASK_FINISHED : TASK_CANCELED);
    EXPECT_EQ(recorder.messages(), QStringList {QString(c.message).arg(path)});
    EXPECT_EQ(snapshotTree(tree), without(before, c.removed));
    EXPECT_EQ(snapshotTree(box.path("outside")), outsideBefore);
}

} // namespace

TEST(FileDeleteTask, DeletesWhatThePathNamesOrFailsWithItsMessage)
{
    const DeleteCase cases[] = {
        {"file", "file", false, true, "Deleted file '%1'", {"file"}},
        {"file with the recursive flag", "file", true, true, "Deleted file '%1'", {"file"}},
        {"missing path", "missing", false, false, "Could not delete '%1'", {}},
        {"missing path, recursive", "missing", true, false, "Could not delete '%1'", {}},
        // Only the directory itself: removing the parents it empties could climb out of any tree.
        {"empty directory, its parent left empty",
         "empty/inner",
         false,
         true,
         "Deleted directory '%1'",
         {"empty/inner"}},
        {"directory that is not empty", "full", false, false, "Could not delete '%1'", {}},
        {"directory tree, recursive",
         "full",
         true,
         true,
         "Recursively deleted directory '%1'",
         {"full", "full/a", "full/sub", "full/sub/b"}},
    };
    for (const DeleteCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        buildTree(box);
        runCase(box, c);
    }
}

// The links point at outside/, which must come through every case whole: only the link goes.
TEST(FileDeleteTask, RemovesASymbolicLinkNeverWhatItPointsTo)
{
    const DeleteCase cases[] = {
        {"link to a directory, recursive", "link", true, true, "Deleted file '%1'", {"link"}},
        {"link to a directory, with a trailing separator", "link/", true, true, "Deleted file '%1'", {"link"}},
        {"link to a directory, not recursive", "link", false, true, "Deleted file '%1'", {"link"}},
        {"link to an empty directory, not recursive",
         "link to empty",
         false,
         true,
         "Deleted file '%1'",
         {"link to empty"}},
        {"link to a file", "file link", false, true, "Deleted file '%1'", {"file link"}},
        {"dangling link", "dangling", true, true, "Deleted file '%1'", {"dangling"}},
        {"directory holding a link, recursive",
         "holder",
         true,
         true,
         "Recursively deleted directory '%1'",
         {"holder", "holder/inner link"}},
    };
    for (const DeleteCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        ASSERT_TRUE(Sandbox::writeFile(box.path("outside/keep"), "precious"));
        ASSERT_TRUE(Sandbox::writeFile(box.path("outside/sub/deep"), "also precious"));
        ASSERT_TRUE(QDir().mkpath(box.path("outside/empty")));
        ASSERT_TRUE(QDir().mkpath(box.path("tree/holder")));
        ASSERT_TRUE(QFile::link(box.path("outside"), box.path("tree/link")));
        ASSERT_TRUE(QFile::link(box.path("outside/empty"), box.path("tree/link to empty")));
        ASSERT_TRUE(QFile::link(box.path("outside/keep"), box.path("tree/file link")));
        ASSERT_TRUE(QFile::link(box.path("outside/gone"), box.path("tree/dangling")));
        ASSERT_TRUE(QFile::link(box.path("outside"), box.path("tree/holder/inner link")));
        runCase(box, c);
    }
}
