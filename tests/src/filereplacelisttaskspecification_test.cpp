#include "filereplacelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filecopytaskspecification.h"
#include "fileinstalltaskspecification.h"
#include "filereplacetaskspecification.h"
#include "filetaskspecification_patch.h"
#include "installjournal.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"

#include "support/disanddiffwriter.h"
#include "support/patchfixture.h"
#include "support/programroundtrip.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/taskrecorder.h"
#include "support/treesnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace {

// gzip of "hello, gzip\n", and its SHA-512.
const QByteArray kHelloGz = QByteArray::fromHex("1f8b0800000000000203cb48cdc9c9d75148afca2ce00200861f82a40c000000");
const QString kHelloSha =
    "bc3450067c3229342a44dbd3afd4cc11325abc041ed5102a8aa5262192f6669330ac8ba3f2cbed7ce9c6ceb64d441"
    "16d9bcc0a2cf658166f49803f0dd882d5f8";
// LZMA container of "abc", and the SHA-512 of "abc".
const QByteArray kAbcLzma = QByteArray::fromHex("e9aea83fbdfceed60c01000301000261626300");
const QString kAbcSha = "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feeb"
                        "bd454d4423643ce80e2a9ac94fa54ca49f";
// SHA-512 of "client 2", "foo 2" and "bar 2" (sha512sum).
const QString kClientTwoSha = "3af22ae51e2b154c6ed13fad9e390de16cf63994bb6a2f691574612d1897c57b7cdf931d9073a7f4d7abdf55"
                              "a4d63a3a9a2e1d21b2e9fa9fa5cce5ff3cb5ffb0";
const QString kFooTwoSha = "9c951435ba72cb3c78255f1a3a69c35d0902b97ed6fa8bc2e1fc96a55f12ebc02cef66353f68ad7f98953a9b003b"
                           "5e6b6471b096fd62555e2fa52827bfa9ad3a";
const QString kBarTwoSha = "e93c04754d206e569fc0e449ccaab121a965a8f259d77f7c15dfc335659a777d2805e35c1d355e1ef12842a11bba"
                           "8ea7af0be36db383c1fbeb808f1db323ef3c";
// SHA-512 of "new whole\n".
const QString kNewWholeSha =
    "989cb135382e0391059aac7fbc05598234046a06a87827e615836dac8f3e73dcb16ea13a16999b1dad6ddf548f"
    "7149aa9b6d106f0e3343251eabe3d00911e807";

FileReplaceEntry whole(const QString &name, const QString &sha512 = QString())
{
    FileReplaceEntry entry;
    entry.section = "client";
    entry.name = name;
    entry.finalSha512 = sha512;
    return entry;
}

FileReplaceEntry packed(const QString &name, const QString &finalSha512, const QString &targetName)
{
    FileReplaceEntry entry = whole(name);
    entry.finalSha512 = finalSha512;
    entry.targetName = targetName;
    return entry;
}

FileReplaceEntry patched(const QString &name, const QString &targetName, const QString &patchName)
{
    FileReplaceEntry entry = packed(name, kAbcSha, targetName);
    entry.patchName = patchName;
    return entry;
}

void setMode(const QString &path, mode_t mode)
{
    ASSERT_EQ(chmod(QFile::encodeName(path).constData(), mode), 0) << path.toStdString();
}

unsigned modeOf(const QString &path)
{
    struct stat st = {};
    if (lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

// A session: inst/ holds version 1 of the client, "tmp session/" the downloaded files of version 2.
struct Session
{
    Sandbox box;
    Configuration config;

    Session()
    {
        config.m_installDir = box.path("inst");
        config.m_tempDir = box.path("tmp session");
        EXPECT_TRUE(QDir().mkpath(config.m_installDir));
        EXPECT_TRUE(QDir().mkpath(config.m_tempDir));
    }
    QString inst(const QString &rel) const { return config.m_installDir + "/" + rel; }
    QString tmp(const QString &rel) const { return config.m_tempDir + "/" + rel; }

    // Installed: cv5client_linux_x86 (0777, as an older updater left it), readme.txt (0600), lib/libfoo.so.5,
    // lib/libfoo.so (link), data/hello.txt, data/abc.
    void installVersionOne()
    {
        ASSERT_TRUE(Sandbox::writeFile(inst("cv5client_linux_x86"), "client 1"));
        setMode(inst("cv5client_linux_x86"), 0777);
        ASSERT_TRUE(Sandbox::writeFile(inst("readme.txt"), "readme 1"));
        setMode(inst("readme.txt"), 0600);
        ASSERT_TRUE(Sandbox::writeFile(inst("lib/libfoo.so.5"), "foo 1"));
        ASSERT_TRUE(QFile::link("libfoo.so.5", inst("lib/libfoo.so")));
        ASSERT_TRUE(Sandbox::writeFile(inst("data/hello.txt"), "hello 1"));
        ASSERT_TRUE(Sandbox::writeFile(inst("data/abc"), "abc 1"));
    }
    // Downloaded: the files of version 2 under their names in the temporary directory.
    void downloadVersionTwo()
    {
        ASSERT_TRUE(Sandbox::writeFile(tmp("cv5client_linux_x86"), "client 2"));
        ASSERT_TRUE(Sandbox::writeFile(tmp("readme.txt"), "new whole\n"));
        ASSERT_TRUE(Sandbox::writeFile(tmp("lib/libfoo.so.5"), "foo 2"));
        ASSERT_TRUE(Sandbox::writeFile(tmp("data/hello.txt.gz"), kHelloGz));
        ASSERT_TRUE(Sandbox::writeFile(tmp("data/abc._lzma2_"), kAbcLzma));
        ASSERT_TRUE(Sandbox::writeFile(tmp("plugins/new/libbar.so"), "bar 2"));
    }
};

// Version 2's plan for the session above: whole files over installed ones, a gzip and an LZMA container over
// installed files, a new file in two new directories. Every file carries the SHA-512 it must have.
QList<FileReplaceEntry> versionTwoPlan()
{
    return {
        whole("cv5client_linux_x86", kClientTwoSha),
        whole("readme.txt", kNewWholeSha),
        whole("lib/libfoo.so.5", kFooTwoSha),
        packed("data/hello.txt.gz", kHelloSha, "data/hello.txt"),
        packed("data/abc._lzma2_", kAbcSha, "data/abc"),
        whole("plugins/new/libbar.so", kBarTwoSha),
    };
}

bool runStep(FileReplaceListTaskSpecification &step)
{
    step.execute();
    return waitForTaskEnd(&step);
}

} // namespace

TEST(FileReplaceList, ReplacesEveryFormOverTheInstalledFilesAndLeavesNothingAside)
{
    Session s;
    s.installVersionOne();
    s.downloadVersionTwo();
    QList<FileReplaceEntry> plan = versionTwoPlan();

    FileReplaceListTaskSpecification step(&plan, &s.config, nullptr, 0.4);
    TaskRecorder recorder(&step);
    ASSERT_TRUE(runStep(step));
    EXPECT_EQ(step.state(), TASK_FINISHED);
    EXPECT_FALSE(recorder.messages().contains("rolling back file updates"));
    EXPECT_TRUE(step.rollbackList().isEmpty());

    // The installation exactly as version 2 has it: no file moved aside is left, the replaced files keep
    // their modes, and the programs and libraries by name and suffix are 0755.
    Sandbox expected;
    const QString e = expected.path("inst");
    ASSERT_TRUE(Sandbox::writeFile(e + "/cv5client_linux_x86", "client 2"));
    setMode(e + "/cv5client_linux_x86", 0755);
    ASSERT_TRUE(Sandbox::writeFile(e + "/readme.txt", "new whole\n"));
    setMode(e + "/readme.txt", 0600);
    ASSERT_TRUE(Sandbox::writeFile(e + "/lib/libfoo.so.5", "foo 2"));
    setMode(e + "/lib/libfoo.so.5", 0755);
    ASSERT_TRUE(QFile::link("libfoo.so.5", e + "/lib/libfoo.so"));
    ASSERT_TRUE(Sandbox::writeFile(e + "/data/hello.txt", "hello, gzip\n"));
    ASSERT_TRUE(Sandbox::writeFile(e + "/data/abc", "abc"));
    ASSERT_TRUE(Sandbox::writeFile(e + "/plugins/new/libbar.so", "bar 2"));
    setMode(e + "/plugins/new/libbar.so", 0755);
    EXPECT_EQ(snapshotTree(s.config.m_installDir), snapshotTree(e));

    const QStringList messages = recorder.messages();
    ASSERT_FALSE(messages.isEmpty());
    EXPECT_EQ(messages.first(), "Starting file updates");
    EXPECT_TRUE(messages.contains("add/replace data/abc._lzma2_"));
    EXPECT_FALSE(QFile::exists(InstallJournal::path(s.config.m_tempDir))); // committed
}

// A destination below a link to a directory inside the installation would be written wherever the link
// points: the step fails before anything changes, inside the installation or outside.
TEST(FileReplaceList, RefusesADestinationThroughALinkBeforeAnythingChanges)
{
    Session s;
    s.installVersionOne();
    s.downloadVersionTwo();
    ASSERT_TRUE(Sandbox::writeFile(s.box.path("outside/abc"), "not the installation's"));
    ASSERT_TRUE(QDir(s.inst("data")).removeRecursively());
    ASSERT_TRUE(QFile::link(s.box.path("outside"), s.inst("data")));
    const TreeSnapshot before = snapshotTree(s.config.m_installDir);
    const TreeSnapshot outsideBefore = snapshotTree(s.box.path("outside"));
    QList<FileReplaceEntry> plan = versionTwoPlan();

    FileReplaceListTaskSpecification step(&plan, &s.config, nullptr, 0.4);
    TaskRecorder recorder(&step);
    ASSERT_TRUE(runStep(step));
    EXPECT_EQ(step.state(), TASK_CANCELED);
    EXPECT_EQ(recorder.messages(),
              (QStringList {"Starting file updates",
                            QString("Could not unzip '%1' to '%2'").arg(s.tmp("data/hello.txt.gz"),
                                                                         s.inst("data/hello.txt"))}));
    EXPECT_TRUE(step.allTasks().isEmpty());
    EXPECT_EQ(snapshotTree(s.config.m_installDir), before);
    EXPECT_EQ(snapshotTree(s.box.path("outside")), outsideBefore);
}

TEST(FileReplaceList, AFailedOrCancelledStepLeavesTheInstallationByteIdentical)
{
    struct Case
    {
        const char *name;
        std::function<void(Session &, QList<FileReplaceEntry> &)> breakIt;
        bool cancelAfterFirstFile;
        // A message the failing sub-task gives, with {tmp} and {inst} for the two directories and "new-*" for
        // the random part of a new file's hidden name.
        QString failure;
    };
    const Case cases[] = {
        {"packed file fails its check (fourth of six)",
         [](Session &, QList<FileReplaceEntry> &plan) { plan[3].finalSha512 = kAbcSha; }, false,
         "Signature check failed for {inst}/data/.hello.txt.new-*"},
        {"whole file changed after its download",
         [](Session &s, QList<FileReplaceEntry> &) {
             ASSERT_TRUE(Sandbox::writeFile(s.tmp("readme.txt"), "tampered\n"));
         },
         false, "Signature check failed for {inst}/.readme.txt.new-*"},
        {"truncated gzip stream",
         [](Session &s, QList<FileReplaceEntry> &) {
             ASSERT_TRUE(Sandbox::writeFile(s.tmp("data/hello.txt.gz"), kHelloGz.left(20)));
         },
         false, "Could not unzip '{tmp}/data/hello.txt.gz' to '{inst}/data/.hello.txt.new-*'"},
        {"corrupt LZMA container",
         [](Session &s, QList<FileReplaceEntry> &) {
             QByteArray broken = kAbcLzma;
             broken[broken.size() - 2] = 'X';
             ASSERT_TRUE(Sandbox::writeFile(s.tmp("data/abc._lzma2_"), broken));
         },
         false, "Could not unpack '{tmp}/data/abc._lzma2_' to '{inst}/data/.abc.new-*'"},
        {"download missing (last file)",
         [](Session &s, QList<FileReplaceEntry> &) { ASSERT_TRUE(QFile::remove(s.tmp("plugins/new/libbar.so"))); },
         false, "Could not copy '{tmp}/plugins/new/libbar.so' to '{inst}/plugins/new/.libbar.so.new-*'"},
        {"a directory where the file is expected",
         [](Session &s, QList<FileReplaceEntry> &plan) {
             ASSERT_TRUE(QDir().mkpath(s.inst("docs/guide.txt/inner")));
             ASSERT_TRUE(Sandbox::writeFile(s.tmp("docs/guide.txt"), "guide"));
             // SHA-512 of "guide" (sha512sum).
             plan.append(whole("docs/guide.txt", "33449a17f325d04d86acfa00452b372c90742df5f9a10fee21673d9f384ab4bf536"
                                                 "bce786034205b6496b559cece641f461c84df6a4eff220d1e66de09a29bde"));
         },
         false, "Could not rename '{inst}/docs/.guide.txt.new-*' to '{inst}/docs/guide.txt'"},
        {"a file where a directory is expected",
         [](Session &s, QList<FileReplaceEntry> &) {
             ASSERT_TRUE(Sandbox::writeFile(s.inst("plugins"), "not a directory"));
         },
         false, "Could not create dir '{inst}/plugins' because it already exists and is not a dir"},
        {"a patch that is not one",
         [](Session &s, QList<FileReplaceEntry> &plan) {
             ASSERT_TRUE(Sandbox::writeFile(s.tmp("data/abc._patch_"), "patch"));
             plan[4] = patched("data/abc._lzma2_", "data/abc", "data/abc._patch_");
         },
         false, "Could not patch '{tmp}/data/abc_old' to '{inst}/data/.abc.new-*'"},
        {"a patched file, then a later file fails",
         [](Session &s, QList<FileReplaceEntry> &plan) {
             setMode(s.inst("data/abc"), 0640);
             ASSERT_TRUE(Sandbox::writeFile(s.tmp("data/abc._patch_"), ensemblePatchBytes("abc 1", "abc")));
             plan[4] = patched("data/abc._lzma2_", "data/abc", "data/abc._patch_");
             ASSERT_TRUE(QFile::remove(s.tmp("plugins/new/libbar.so")));
         },
         false, "Could not copy '{tmp}/plugins/new/libbar.so' to '{inst}/plugins/new/.libbar.so.new-*'"},
        {"cancelled after the first file", [](Session &, QList<FileReplaceEntry> &) {}, true, QString()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        s.installVersionOne();
        s.downloadVersionTwo();
        QList<FileReplaceEntry> plan = versionTwoPlan();
        c.breakIt(s, plan);
        const TreeSnapshot before = snapshotTree(s.config.m_installDir);

        FileReplaceListTaskSpecification step(&plan, &s.config, nullptr, 0.4);
        TaskRecorder recorder(&step);
        step.execute();
        if (c.cancelAfterFirstFile) {
            // Cancelled as the first file finishes, as the window's abort would, while the second still runs.
            for (TaskSpecification *t : step.allTasks()) {
                if (!qobject_cast<FileReplaceTaskSpecification *>(t))
                    continue;
                QObject::connect(t, &TaskSpecification::finished, &step, [&step] {
                    if (!step.cancelRequested())
                        step.cancel();
                });
            }
        }
        ASSERT_TRUE(waitForTaskEnd(&step));

        EXPECT_NE(step.state(), TASK_FINISHED);
        EXPECT_EQ(recorder.finishedCount(), 0);
        EXPECT_EQ(recorder.canceledCount(), 1);
        QStringList messages = recorder.messages();
        messages.replaceInStrings(QRegularExpression("\\.new-[0-9a-z]+"), ".new-*");
        EXPECT_EQ(messages.count("rolling back file updates"), 1);
        if (!c.failure.isEmpty()) {
            const QString failure =
                QString(c.failure).replace("{tmp}", s.config.m_tempDir).replace("{inst}", s.config.m_installDir);
            EXPECT_TRUE(messages.contains(failure)) << messages.join("\n").toStdString();
        }
        EXPECT_TRUE(std::none_of(messages.begin(), messages.end(), [](const QString &m) {
            return m.startsWith("warning: rollback");
        })) << messages.join("\n").toStdString();
        EXPECT_EQ(snapshotTree(s.config.m_installDir), before);
        EXPECT_TRUE(step.rollbackList().isEmpty());
    }
}

TEST(FileReplaceList, CreatesTheMissingDirectoriesFirstParentsBeforeChildren)
{
    struct Case
    {
        const char *name;
        QStringList existingDirs;
        QList<FileReplaceEntry> plan;
        QStringList dirTasks; // below inst/
        double dirWeight;
        double fileWeight;
    };
    const Case cases[] = {
        {"two missing directories", {}, {whole("b/z"), whole("a/x"), whole("a/y")}, {"a", "b"}, 0.05, 0.3},
        {"nested missing directories sort parent first",
         {},
         {whole("a/b/c/x"), whole("a/y"), whole("a/b/z")},
         {"a", "a/b", "a/b/c"},
         0.1 / 3,
         0.3},
        {"no directory missing", {"a", "b"}, {whole("b/z"), whole("a/x"), whole("a/y")}, {}, 0.0, 1.0 / 3},
        {"files at the top never need one", {}, {whole("x"), packed("y.gz", kHelloSha, "y")}, {}, 0.0, 0.5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        for (const QString &dir : c.existingDirs)
            ASSERT_TRUE(QDir().mkpath(s.inst(dir)));
        QList<FileReplaceEntry> plan = c.plan;
        FileReplaceListTaskSpecification step(&plan, &s.config, nullptr, 1.0);
        step.execute(); // the sub-tasks start from the event loop, so they can be looked at first

        QStringList dirs;
        int files = 0;
        for (TaskSpecification *t : step.allTasks()) {
            if (auto *dir = qobject_cast<DirCreateTaskSpecification *>(t)) {
                EXPECT_EQ(files, 0) << "directory task after a file task";
                dirs.append(QDir(s.config.m_installDir).relativeFilePath(dir->path()));
                EXPECT_DOUBLE_EQ(t->weight(), c.dirWeight);
            } else {
                ASSERT_NE(qobject_cast<FileReplaceTaskSpecification *>(t), nullptr);
                EXPECT_DOUBLE_EQ(t->weight(), c.fileWeight);
                ++files;
            }
        }
        EXPECT_EQ(dirs, c.dirTasks);
        EXPECT_EQ(files, c.plan.size());
        ASSERT_TRUE(waitForTaskEnd(&step));
    }
}

TEST(FileReplaceList, AnEmptyListFinishesAtOnce)
{
    Session s;
    QList<FileReplaceEntry> plan;
    FileReplaceListTaskSpecification step(&plan, &s.config, nullptr, 0.4);
    TaskRecorder recorder(&step);
    step.execute();
    EXPECT_EQ(step.state(), TASK_FINISHED);
    EXPECT_EQ(recorder.messages(), QStringList {"Starting file updates"});
    EXPECT_TRUE(step.allTasks().isEmpty());
}

TEST(FileReplaceTask, ChoosesItsSubTasksByTheEntrysForm)
{
    // Every form makes its new file under a hidden name, checks that very file (a whole file known only by
    // its signature: the download, before the copy) and only then puts it in place.
    enum Kind { Copy, Lzma2, Zip, Check, Install, Other };
    struct Case
    {
        const char *name;
        FileReplaceEntry entry;
        bool installed; // the destination exists before the run
        std::vector<Kind> subTasks;
        bool checksSource; // the check reads the downloaded file, not the new one
    };
    const Case cases[] = {
        {"new whole file known by its signature", whole("w"), false, {Check, Copy, Install}, true},
        {"whole file over an installed one", whole("w", kNewWholeSha), true, {Copy, Check, Install}, false},
        {"LZMA container", packed("p._lzma2_", kAbcSha, "p"), true, {Lzma2, Check, Install}, false},
        {"new LZMA container file", packed("p._lzma2_", kAbcSha, "p"), false, {Lzma2, Check, Install}, false},
        {"suffix without the dot", packed("p_lzma2_", kAbcSha, "p"), false, {Zip, Check, Install}, false},
        {"suffix in capitals", packed("p._LZMA2_", kAbcSha, "p"), false, {Zip, Check, Install}, false},
        {"gzip", packed("p.gz", kHelloSha, "p"), false, {Zip, Check, Install}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        if (c.installed) {
            ASSERT_TRUE(Sandbox::writeFile(s.inst(makeEntryPath(c.entry)), "v1"));
        }
        const TreeSnapshot before = snapshotTree(s.config.m_installDir);
        RollbackDataList parentList;
        FileReplaceTaskSpecification task(c.entry, &parentList, &s.config, nullptr, 1.0);
        TaskRecorder recorder(&task);
        task.execute();
        EXPECT_EQ(recorder.messages(), QStringList {"add/replace " + c.entry.name});
        const QString newFile = task.newFilePath();
        EXPECT_EQ(QFileInfo(newFile).path(), QFileInfo(task.destinationPath()).path());
        EXPECT_TRUE(QFileInfo(newFile).fileName().startsWith("."));

        std::vector<Kind> kinds;
        for (TaskSpecification *t : task.allTasks()) {
            if (auto *copy = qobject_cast<FileCopyTaskSpecification *>(t)) {
                kinds.push_back(Copy);
                EXPECT_EQ(copy->target(), newFile);
            } else if (auto *lzma = qobject_cast<FileUnpackTaskSpecification_lzma2 *>(t)) {
                kinds.push_back(Lzma2);
                EXPECT_EQ(lzma->target(), newFile);
            } else if (auto *zip = qobject_cast<FileUnpackTaskSpecification_zip *>(t)) {
                kinds.push_back(Zip);
                EXPECT_EQ(zip->target(), newFile);
            } else if (auto *check = qobject_cast<CheckSignatureTaskSpecification *>(t)) {
                kinds.push_back(Check);
                EXPECT_TRUE(check->cancelOnFailure());
                EXPECT_EQ(check->expected(), c.entry.finalSha512);
                EXPECT_EQ(check->file(), c.checksSource ? task.sourcePath() : newFile);
            } else if (auto *install = qobject_cast<FileInstallTaskSpecification *>(t)) {
                kinds.push_back(Install);
                EXPECT_EQ(install->newFile(), newFile);
                EXPECT_EQ(install->path(), task.destinationPath());
            } else {
                kinds.push_back(Other);
            }
        }
        EXPECT_EQ(kinds, c.subTasks);
        ASSERT_TRUE(waitForTaskEnd(&task)); // fails for want of a source; the undo cleans up
        EXPECT_EQ(task.state(), TASK_CANCELED);
        EXPECT_TRUE(parentList.isEmpty());
        EXPECT_EQ(snapshotTree(s.config.m_installDir), before);
    }
}

// Unpacked bytes reach the installed name only after they passed their check: until then the installed file
// holds its old bytes, so a kill at any moment leaves nothing unchecked installed.
TEST(FileReplaceTask, UncheckedBytesNeverReachTheInstalledName)
{
    for (const bool good : {true, false}) {
        SCOPED_TRACE(good ? "the unpacked file passes its check" : "the unpacked file fails its check");
        Session s;
        ASSERT_TRUE(Sandbox::writeFile(s.inst("data/hello.txt"), "hello 1"));
        ASSERT_TRUE(Sandbox::writeFile(s.tmp("data/hello.txt.gz"), kHelloGz));
        RollbackDataList parentList;
        FileReplaceTaskSpecification task(packed("data/hello.txt.gz", good ? kHelloSha : kAbcSha, "data/hello.txt"),
                                          &parentList, &s.config, nullptr, 1.0);
        task.execute();
        QStringList installedWhenDone; // the installed bytes as each sub-task ends
        for (TaskSpecification *t : task.allTasks()) {
            for (auto signal : {&TaskSpecification::finished, &TaskSpecification::canceled}) {
                QObject::connect(t, signal, [&] {
                    installedWhenDone << QString::fromUtf8(Sandbox::readFile(s.inst("data/hello.txt")));
                });
            }
        }
        ASSERT_TRUE(waitForTaskEnd(&task));
        EXPECT_EQ(task.state(), good ? TASK_FINISHED : TASK_CANCELED);
        const QStringList expected = good ? QStringList {"hello 1", "hello 1", "hello, gzip\n"}
                                          : QStringList {"hello 1", "hello 1"};
        EXPECT_EQ(installedWhenDone, expected);
        // Until the commit the old bytes wait under the new file's hidden name.
        QStringList names {"hello.txt"};
        if (good)
            names.prepend(QFileInfo(task.newFilePath()).fileName());
        EXPECT_EQ(QDir(s.inst("data")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), names);
    }
}

// The patch applies to a copy of the installed file (a copy left by an earlier run is replaced); the result is
// made under the hidden name, checked, and put in place with the installed file's mode; undoing the records
// brings the old bytes and mode back.
TEST(FileReplaceTask, APatchedEntryIsMadeFromACopyOfTheInstalledFileCheckedAndPutInPlace)
{
    Session s;
    ASSERT_TRUE(Sandbox::writeFile(s.inst("bin/tool"), "tool 1"));
    setMode(s.inst("bin/tool"), 0750);
    ASSERT_TRUE(Sandbox::writeFile(s.tmp("bin/tool_old"), "left by an earlier run"));
    ASSERT_TRUE(Sandbox::writeFile(s.tmp("bin/tool._patch_"), ensemblePatchBytes("tool 1", "abc")));
    const TreeSnapshot before = snapshotTree(s.config.m_installDir);

    RollbackDataList parentList;
    FileReplaceTaskSpecification task(patched("bin/tool._lzma2_", "bin/tool", "bin/tool._patch_"), &parentList,
                                      &s.config, nullptr, 1.0);
    TaskRecorder recorder(&task);
    task.execute();
    const QList<TaskSpecification *> subTasks = task.allTasks();
    ASSERT_EQ(subTasks.size(), 3);
    auto *patch = qobject_cast<FileTaskSpecification_patch *>(subTasks[0]);
    ASSERT_NE(patch, nullptr);
    EXPECT_EQ(patch->source(), s.tmp("bin/tool_old"));
    EXPECT_EQ(patch->patch(), s.tmp("bin/tool._patch_"));
    EXPECT_EQ(patch->target(), task.newFilePath());
    auto *check = qobject_cast<CheckSignatureTaskSpecification *>(subTasks[1]);
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check->file(), task.newFilePath());
    EXPECT_EQ(check->expected(), kAbcSha);
    EXPECT_NE(qobject_cast<FileInstallTaskSpecification *>(subTasks[2]), nullptr);
    ASSERT_TRUE(waitForTaskEnd(&task));

    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_EQ(recorder.messages(), (QStringList {"add/replace bin/tool._lzma2_", "Patching bin/tool"}));
    EXPECT_EQ(Sandbox::readFile(s.inst("bin/tool")), "abc");
    EXPECT_EQ(modeOf(s.inst("bin/tool")), 0750u);
    EXPECT_EQ(Sandbox::readFile(s.tmp("bin/tool_old")), "tool 1");

    EXPECT_TRUE(parentList.rollbackAll(nullptr));
    EXPECT_EQ(snapshotTree(s.config.m_installDir), before);
}

// Whatever keeps a patch from giving the file it promises, the installed file stays as it was and nothing is
// left beside it.
TEST(FileReplaceTask, APatchThatDoesNotGiveTheExpectedFileLeavesTheInstalledFileAsItWas)
{
    struct Case
    {
        const char *name;
        QByteArray patch;
        QString failure; // {tmp}, {inst}, and new-* for the hidden name's random part
    };
    const Case cases[] = {
        {"made for another base", ensemblePatchBytes("tool 0", "abc"),
         "Could not patch '{tmp}/bin/tool_old' to '{inst}/bin/.tool.new-*'"},
        {"corrupt", ensemblePatchBytes("tool 1", "abc").left(12),
         "Could not patch '{tmp}/bin/tool_old' to '{inst}/bin/.tool.new-*'"},
        {"its result fails the check", ensemblePatchBytes("tool 1", "abd"),
         "Signature check failed for {inst}/bin/.tool.new-*"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        ASSERT_TRUE(Sandbox::writeFile(s.inst("bin/tool"), "tool 1"));
        setMode(s.inst("bin/tool"), 0750);
        ASSERT_TRUE(Sandbox::writeFile(s.tmp("bin/tool._patch_"), c.patch));
        const TreeSnapshot before = snapshotTree(s.config.m_installDir);

        RollbackDataList parentList;
        FileReplaceTaskSpecification task(patched("bin/tool._lzma2_", "bin/tool", "bin/tool._patch_"), &parentList,
                                          &s.config, nullptr, 1.0);
        TaskRecorder recorder(&task);
        task.execute();
        ASSERT_TRUE(waitForTaskEnd(&task));

        EXPECT_EQ(task.state(), TASK_CANCELED);
        QStringList messages = recorder.messages();
        messages.replaceInStrings(QRegularExpression("\\.new-[0-9a-z]+"), ".new-*");
        const QString failure =
            QString(c.failure).replace("{tmp}", s.config.m_tempDir).replace("{inst}", s.config.m_installDir);
        EXPECT_EQ(messages, (QStringList {"add/replace bin/tool._lzma2_", "Patching bin/tool", failure}));
        EXPECT_EQ(snapshotTree(s.config.m_installDir), before);
        EXPECT_TRUE(parentList.isEmpty());
    }
}

// The signed ini lists each file's size, and what an unpack or a patch makes may not pass it. A container in
// the executable form holds more than the file (its programs and a diff as long as the file), so only the file
// is held to the listed size. Debian's xz as the executable.
TEST(FileReplaceTask, ProducesNothingBeyondTheListedSize)
{
    const std::vector<uint8_t> xz = ReadWholeFile("/usr/bin/xz");
    ASSERT_FALSE(xz.empty());
    const QByteArray executable(reinterpret_cast<const char *>(xz.data()), int(xz.size()));
    const std::vector<uint8_t> packedXz = patchwriter::DisAndDiffContainerOfExecutable(xz);
    ASSERT_FALSE(packedXz.empty());
    const QString xzSha = QCryptographicHash::hash(executable, QCryptographicHash::Sha512).toHex();

    struct Case
    {
        const char *name;
        FileReplaceEntry entry;
        QByteArray download; // at the entry's patch, or else at its name
        quint64 listedSize;
        QByteArray installed; // empty: the task fails with failure and changes nothing
        QString failure;
    };
    const FileReplaceEntry packedEntry = packed("bin/xz._lzma2_", xzSha, "bin/xz");
    FileReplaceEntry patchedEntry = patched("bin/xz._lzma2_", "bin/xz", "bin/xz._patch_");
    const QByteArray packedBytes(reinterpret_cast<const char *>(packedXz.data()), int(packedXz.size()));
    const Case cases[] = {
        {"executable form, listed size", packedEntry, packedBytes, xz.size(), executable, {}},
        {"executable form, one byte less listed", packedEntry, packedBytes, xz.size() - 1, {},
         "Could not unpack '{tmp}/bin/xz._lzma2_' to '{inst}/bin/.xz.new-*'"},
        {"patch, listed size", patchedEntry, ensemblePatchBytes("xz 1", "abc"), 3, "abc", {}},
        {"patch, one byte less listed", patchedEntry, ensemblePatchBytes("xz 1", "abc"), 2, {},
         "Could not patch '{tmp}/bin/xz_old' to '{inst}/bin/.xz.new-*'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        ASSERT_TRUE(Sandbox::writeFile(s.inst("bin/xz"), "xz 1"));
        ASSERT_TRUE(Sandbox::writeFile(s.tmp(c.entry.hasPatch() ? "bin/xz._patch_" : "bin/xz._lzma2_"), c.download));
        const TreeSnapshot before = snapshotTree(s.config.m_installDir);
        FileReplaceEntry entry = c.entry;
        entry.finalSize = c.listedSize;

        RollbackDataList parentList;
        FileReplaceTaskSpecification task(entry, &parentList, &s.config, nullptr, 1.0);
        TaskRecorder recorder(&task);
        task.execute();
        ASSERT_TRUE(waitForTaskEnd(&task));
        if (!c.installed.isEmpty()) {
            EXPECT_EQ(task.state(), TASK_FINISHED);
            EXPECT_EQ(Sandbox::readFile(s.inst("bin/xz")), c.installed);
            continue;
        }
        EXPECT_EQ(task.state(), TASK_CANCELED);
        QStringList messages = recorder.messages();
        messages.replaceInStrings(QRegularExpression("\\.new-[0-9a-z]+"), ".new-*");
        const QString failure =
            QString(c.failure).replace("{tmp}", s.config.m_tempDir).replace("{inst}", s.config.m_installDir);
        EXPECT_TRUE(messages.contains(failure)) << messages.join('\n').toStdString();
        EXPECT_EQ(snapshotTree(s.config.m_installDir), before);
    }
}

TEST(FileReplaceTask, HandsItsRecordsUpOnlyWhenItFinished)
{
    Session s;
    ASSERT_TRUE(Sandbox::writeFile(s.inst("data/abc"), "abc 1"));
    ASSERT_TRUE(Sandbox::writeFile(s.tmp("data/abc._lzma2_"), kAbcLzma));
    RollbackDataList parentList;
    FileReplaceTaskSpecification task(packed("data/abc._lzma2_", kAbcSha, "data/abc"), &parentList, &s.config, nullptr,
                                      1.0);
    task.execute();
    ASSERT_TRUE(waitForTaskEnd(&task));
    ASSERT_EQ(task.state(), TASK_FINISHED);

    const QString hidden = task.newFilePath().mid(s.config.m_installDir.size() + 1);
    EXPECT_TRUE(hidden.startsWith("data/.abc.new-")) << hidden.toStdString();
    EXPECT_EQ(describeRecords(parentList, s.config.m_installDir + "/"),
              (QStringList {"FILE_CREATE " + hidden, "FILE_EXCHANGE data/abc <-> " + hidden}));
    EXPECT_EQ(Sandbox::readFile(s.inst("data/abc")), "abc");
    EXPECT_EQ(Sandbox::readFile(task.newFilePath()), "abc 1");

    // Undoing the handed-up records brings version 1 back under its name.
    EXPECT_TRUE(parentList.rollbackAll(nullptr));
    EXPECT_EQ(Sandbox::readFile(s.inst("data/abc")), "abc 1");
    EXPECT_EQ(QDir(s.inst("data")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList {"abc"});
}

TEST(FileReplaceTask, MakesProgramsAndLibrariesExecutableByNameAndSuffix)
{
    struct Case
    {
        const char *name;
        unsigned mode;
    };
    const Case cases[] = {
        {"libfoo.so.5", 0755},
        {"libfoo.so", 0755},
        {"libfoo.so.0", 0755},
        {"cv5client_linux_x86", 0755},
        {"cv5client_runscript.sh", 0755},
        {"update", 0755},
        {"QtWebEngineProcess", 0755},
        {"libfoo.so.5.12.1", 0600},
        {"libfoo.1.so", 0600},
        {"libfoo.SO", 0600},
        {"Update", 0600},
        {"readme.txt", 0600},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        const QString path = box.path(QString("dir.so/") + c.name);
        ASSERT_TRUE(Sandbox::writeFile(path, "x"));
        setMode(path, 0600);
        FileReplaceTaskSpecification::makeSingleFileExecutable(path);
        EXPECT_EQ(modeOf(path), c.mode);
    }
}

namespace {

QString aclOf(const QString &path)
{
    QProcess getfacl;
    getfacl.start("getfacl", {"--omit-header", "--absolute-names", path});
    getfacl.waitForFinished();
    return QString::fromUtf8(getfacl.readAllStandardOutput());
}

bool setAcl(const QStringList &arguments)
{
    QProcess setfacl;
    setfacl.start("setfacl", arguments);
    return setfacl.waitForFinished() && setfacl.exitStatus() == QProcess::NormalExit && setfacl.exitCode() == 0;
}

gid_t groupOf(const QString &path)
{
    struct stat st
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_gid : gid_t(-1);
}

} // namespace

// A replaced file is a new inode: it must still have the old file's group and ACL, whether its bytes were linked
// from the session, copied or unpacked. A file new in its directory gets what the directory gives new files:
// its group when the directory is set-group-ID, and its default ACL. (acl's setfacl and getfacl set and read
// them; as root the test can also hand files to another group.)
TEST(FileReplaceList, ReplacedFilesKeepTheirGroupAndAclNewFilesTakeTheDirectorys)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "handing files to another group needs root";
    Session s;
    s.installVersionOne();
    s.downloadVersionTwo();
    ASSERT_TRUE(Sandbox::writeFile(s.tmp("data/new.txt"), "new whole\n"));
    const gid_t shared = 4242;
    const gid_t dirGroup = 4343;
    for (const char *name : {"readme.txt", "data/hello.txt", "lib/libfoo.so.5"})
        ASSERT_EQ(::lchown(QFile::encodeName(s.inst(name)).constData(), uid_t(-1), shared), 0);
    const gid_t abcGroup = groupOf(s.inst("data/abc"));
    ASSERT_EQ(::chown(QFile::encodeName(s.inst("data")).constData(), uid_t(-1), dirGroup), 0);
    setMode(s.inst("data"), 02775);
    const bool acls = setAcl({"-m", "u:nobody:rw", s.inst("readme.txt")}) &&
        setAcl({"-d", "-m", "u:nobody:r", s.inst("data")});
    QList<FileReplaceEntry> plan = versionTwoPlan();
    plan << whole("data/new.txt", kNewWholeSha);

    FileReplaceListTaskSpecification step(&plan, &s.config, nullptr, 0.4);
    ASSERT_TRUE(runStep(step));
    ASSERT_EQ(step.state(), TASK_FINISHED);

    EXPECT_EQ(groupOf(s.inst("readme.txt")), shared); // linked from the session
    EXPECT_EQ(groupOf(s.inst("data/hello.txt")), shared); // unpacked
    EXPECT_EQ(groupOf(s.inst("lib/libfoo.so.5")), shared); // linked, then made executable
    EXPECT_EQ(modeOf(s.inst("lib/libfoo.so.5")), 0755u);
    EXPECT_EQ(groupOf(s.inst("data/new.txt")), dirGroup);
    EXPECT_EQ(groupOf(s.inst("data/abc")), abcGroup); // an existing file keeps its own
    if (!acls)
        GTEST_SKIP() << "no setfacl here, or no ACLs on this file system";
    EXPECT_TRUE(aclOf(s.inst("readme.txt")).contains("user:nobody:rw-")) << aclOf(s.inst("readme.txt")).toStdString();
    EXPECT_EQ(modeOf(s.inst("readme.txt")), 0660u); // 0600 with the ACL's mask in the group bits
    EXPECT_TRUE(aclOf(s.inst("data/new.txt")).contains("user:nobody:r--")) << aclOf(s.inst("data/new.txt")).toStdString();
}
