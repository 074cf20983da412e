// Removal of what earlier installations left in the program's directory, on a real tree in the sandbox.
#include "oldfileremover.h"

#include "updateengine.h"

#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

// The start-up's log lines about old files, in order.
QStringList removalLines(const LogCapture &log)
{
    QStringList lines;
    for (const QString &line : log.lines()) {
        if (line.startsWith("Remov") || line.startsWith("Not removing"))
            lines << line;
    }
    return lines;
}

TreeSnapshot without(TreeSnapshot tree, const QStringList &paths)
{
    for (const QString &path : paths)
        tree.erase(path);
    return tree;
}

} // namespace

TEST(OldFileRemoval, RemovesOnlyTheListedNamesInTheListedDirectories)
{
    enum class OldDir { OnlyOldFiles, AlsoOtherFiles, LinkElsewhere };
    struct Case
    {
        const char *name;
        OldDir old;
        QStringList removed; // below the program directory, besides the entries every case removes
        QStringList oldLines; // the log lines for "old", with %1 the program directory
    };
    const Case cases[] = {
        {"\"old\" holding only old files goes",
         OldDir::OnlyOldFiles,
         {"old", "old/_old_update", "old/_old_libQt5Core.so.5"},
         {"Remove old file: \"%1/old/_old_update\"", "Remove old file: \"%1/old/_old_libQt5Core.so.5\""}},
        {"\"old\" holding another file stays",
         OldDir::AlsoOtherFiles,
         {"old/_old_update", "old/_old_libQt5Core.so.5"},
         {"Remove old file: \"%1/old/_old_update\"", "Remove old file: \"%1/old/_old_libQt5Core.so.5\""}},
        {"\"old\" as a link to an empty directory elsewhere stays",
         OldDir::LinkElsewhere,
         {},
         {"Not removing old files behind the link \"%1/old\""}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        const QString dir = box.path("program");
        const auto write = [&](const QString &relative) {
            ASSERT_TRUE(Sandbox::writeFile(dir + "/" + relative, relative.toUtf8()));
        };
        // The program directory itself: Qt 4 libraries under their own names, old files, and look-alikes.
        for (const char *name :
             {"libQtCore.so.4", "_old_libQtCore.so.4", "_old_update", "_old_libqgif.so", "libQt5Core.so.5", "update",
              "_OLD_update", "_old_Update", "_old_other", "old_update", "plugins/_old_update",
              "imageformats/libqgif.so", "imageformats/_old_libqgif.so", "imageformats/libQtGui.so.4",
              "accessible/_old_libqtaccessiblewidgets.so", "accessible/_old_libqjpeg.so.1"})
            write(name);
        ASSERT_TRUE(QDir().mkpath(dir + "/_old_libQtSql.so.4")); // a directory of a listed name
        ASSERT_TRUE(Sandbox::writeFile(box.path("elsewhere/target"), "not the installation's"));
        ASSERT_TRUE(Sandbox::writeFile(box.path("elsewhere/sqldrivers/_old_libsqlite.so"), "nor this"));
        ASSERT_TRUE(QDir().mkpath(box.path("elsewhere/old")));
        ASSERT_TRUE(QFile::link(box.path("elsewhere/target"), dir + "/_old_libQt5Gui.so.5"));
        ASSERT_TRUE(QFile::link(box.path("elsewhere/missing"), dir + "/_old_libQt5Sql.so.5"));
        ASSERT_TRUE(QFile::link(box.path("elsewhere/sqldrivers"), dir + "/sqldrivers"));
        switch (c.old) {
        case OldDir::OnlyOldFiles:
            write("old/_old_update");
            write("old/_old_libQt5Core.so.5");
            break;
        case OldDir::AlsoOtherFiles:
            write("old/_old_update");
            write("old/_old_libQt5Core.so.5");
            write("old/notes.txt");
            break;
        case OldDir::LinkElsewhere:
            ASSERT_TRUE(QFile::link(box.path("elsewhere/old"), dir + "/old"));
            break;
        }
        const TreeSnapshot before = snapshotTree(dir);
        const TreeSnapshot elsewhere = snapshotTree(box.path("elsewhere"));

        LogCapture log;
        removeOldFilesAtStart(dir);

        const QStringList removedEverywhere = {"libQtCore.so.4",
                                               "_old_libQtCore.so.4",
                                               "_old_update",
                                               "_old_libqgif.so",
                                               "_old_libQt5Gui.so.5",
                                               "imageformats/_old_libqgif.so",
                                               "accessible/_old_libqtaccessiblewidgets.so"};
        EXPECT_EQ(snapshotTree(dir), without(without(before, removedEverywhere), c.removed));
        EXPECT_EQ(snapshotTree(box.path("elsewhere")), elsewhere);

        QStringList expected = {
            "Remove Qt4 file: \"%1/libQtCore.so.4\"",      "Remove old file: \"%1/_old_update\"",
            "Remove old file: \"%1/_old_libQtCore.so.4\"",
            "Remove old file: \"%1/_old_libQtSql.so.4\"", // logged, but a directory stays
            "Remove old file: \"%1/_old_libQt5Gui.so.5\"", "Remove old file: \"%1/_old_libqgif.so\"",
        };
        expected << c.oldLines;
        expected << "Remove old file: \"%1/imageformats/_old_libqgif.so\""
                 << "Remove old file: \"%1/accessible/_old_libqtaccessiblewidgets.so\""
                 << "Not removing old files behind the link \"%1/sqldrivers\""
                 << "Removing old files done";
        for (QString &line : expected)
            line = line.arg(dir);
        EXPECT_EQ(removalLines(log), expected);
    }
}

TEST(OldFileRemoval, AMissingDirectoryIsNoError)
{
    Sandbox box;
    LogCapture log;
    UpdateEngine::removeQt4Files(box.path("missing"));
    UpdateEngine::removeOldFiles(box.path("missing"));
    EXPECT_EQ(removalLines(log), QStringList());
    EXPECT_FALSE(QFileInfo::exists(box.path("missing")));
}
