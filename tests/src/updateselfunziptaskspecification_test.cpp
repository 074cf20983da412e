// Step one's assembly of the new updater in the session directory, and its preparation for step two.
#include "updateselfunziptaskspecification.h"

#include "configuration.h"
#include "updateselffiletaskspecification.h"

#include "support/appdirini.h"
#include "support/patchfixture.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/signing.h"
#include "support/taskrecorder.h"
#include "support/treesnapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
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

const char kTempIniError[] =
    "Failed to write temp update.ini. The updater does not seem to have the required write permissions.";

FileReplaceEntry packed(const QString &name, const QString &finalSha512, const QString &targetName)
{
    FileReplaceEntry entry;
    entry.section = "update";
    entry.name = name;
    entry.finalSha512 = finalSha512;
    entry.targetName = targetName;
    return entry;
}

FileReplaceEntry whole(const QString &name)
{
    return packed(name, QString(), QString());
}

void setMode(const QString &path, mode_t mode)
{
    ASSERT_EQ(chmod(QFile::encodeName(path).constData(), mode), 0) << path.toStdString();
}

// Translations beside the running program, which is where the step copies them from; removed again.
class ProgramTranslations
{
public:
    ProgramTranslations()
        : m_dir(QCoreApplication::applicationDirPath() + "/translations")
    {
        m_made = !QFileInfo::exists(m_dir);
        for (const char *name : {"update_zz.qm", "update_yy.qm", "qt_zz.qm"}) {
            EXPECT_TRUE(Sandbox::writeFile(m_dir + "/" + name, QByteArray("program's ") + name));
            m_files << m_dir + "/" + name;
        }
    }
    ~ProgramTranslations()
    {
        for (const QString &file : qAsConst(m_files))
            QFile::remove(file);
        if (m_made)
            QDir().rmdir(m_dir);
    }

private:
    QString m_dir;
    QStringList m_files;
    bool m_made = false;
};

// A step-one session: the installation with its updater, the session directory in the system's temporary
// directory holding what planning and the downloads left there, and the installation's "update.ini" with the
// record of this session and the user's groups.
struct Session
{
    Sandbox box;
    AppDirIni ini;
    Configuration config;

    Session()
    {
        config.m_clientUpdate = 0;
        config.m_version = 7;
        config.m_installDir = box.path("inst");
        config.m_tempDir = box.tempDir() + "/corvalink_temp_0";
        EXPECT_TRUE(Sandbox::writeFile(inst("update"), "installed updater"));
        EXPECT_TRUE(QDir().mkpath(config.m_tempDir));
        EXPECT_TRUE(ini.write("[Channel]\nalpha=http://127.0.0.1:1/alpha/\nalphaRevno=7\n"
                              "[update]\nstreams=3\n"
                              "[current]\nversion=7\ndir=" +
                              config.m_tempDir.toUtf8() + "\ncv5dir=" + config.m_installDir.toUtf8() +
                              "\ntype=update_linux_x86\n"));
        // Downloaded: the new updater as an LZMA container, a library as gzip; a whole file in place.
        EXPECT_TRUE(Sandbox::writeFile(tmp("update._lzma2_"), kAbcLzma));
        EXPECT_TRUE(Sandbox::writeFile(tmp("lib/libhelper.so.1.gz"), kHelloGz));
        EXPECT_TRUE(Sandbox::writeFile(tmp("notes.txt"), "notes 2"));
        // The new updater's package brings a translation of its own, which stays.
        EXPECT_TRUE(Sandbox::writeFile(tmp("translations/update_yy.qm"), "package's update_yy.qm"));
    }
    QString inst(const QString &rel) const { return config.m_installDir + "/" + rel; }
    QString tmp(const QString &rel) const { return config.m_tempDir + "/" + rel; }
};

QList<FileReplaceEntry> plan()
{
    return {
        packed("update._lzma2_", kAbcSha, "update"),
        whole("notes.txt"),
        packed("lib/libhelper.so.1.gz", kHelloSha, "lib/libhelper.so.1"),
    };
}

bool runStep(UpdateSelfUnzipTaskSpecification &step)
{
    step.execute();
    return waitForTaskEnd(&step);
}

// Hidden names that a result was written under before it was checked.
QStringList leftovers(const QString &dir)
{
    QStringList found;
    const TreeSnapshot tree = snapshotTree(dir);
    for (const auto &entry : tree) {
        if (entry.first.contains(".checking-"))
            found << entry.first;
    }
    return found;
}

} // namespace

TEST(UpdateSelfUnzip, AssemblesTheNewUpdaterAndPreparesItsDirectoryForStepTwo)
{
    const mode_t oldMask = umask(022);
    Session s;
    ProgramTranslations translations;
    QList<FileReplaceEntry> entries = plan();
    const TreeSnapshot installed = snapshotTree(s.config.m_installDir);

    UpdateSelfUnzipTaskSpecification step(&entries, &s.config, nullptr, 0.4);
    TaskRecorder recorder(&step);
    QSignalSpy progress(&step, &TaskSpecification::updateProgress);
    QSignalSpy errors(&step, &TaskSpecification::error);
    ASSERT_TRUE(runStep(step));

    EXPECT_EQ(step.state(), TASK_FINISHED);
    EXPECT_EQ(recorder.finishedCount(), 1);
    EXPECT_EQ(errors.count(), 0);
    // The files share the step's weight: its progress never runs past it.
    for (const QList<QVariant> &p : qAsConst(progress))
        EXPECT_LE(p.first().toDouble(), 0.4 + 1e-9);
    EXPECT_DOUBLE_EQ(step.progress(), 0.4);

    // The new updater's tree: the unpacked files under their installed names, "update" 0755, the program's
    // update_* translations beside the package's own; the downloads stay, and nothing else is there.
    Sandbox expected;
    const QString e = expected.path("tmp");
    ASSERT_TRUE(Sandbox::writeFile(e + "/update._lzma2_", kAbcLzma));
    ASSERT_TRUE(Sandbox::writeFile(e + "/update", "abc"));
    setMode(e + "/update", 0755);
    ASSERT_TRUE(Sandbox::writeFile(e + "/lib/libhelper.so.1.gz", kHelloGz));
    ASSERT_TRUE(Sandbox::writeFile(e + "/lib/libhelper.so.1", "hello, gzip\n"));
    ASSERT_TRUE(Sandbox::writeFile(e + "/notes.txt", "notes 2"));
    ASSERT_TRUE(Sandbox::writeFile(e + "/translations/update_yy.qm", "package's update_yy.qm"));
    ASSERT_TRUE(Sandbox::writeFile(e + "/translations/update_zz.qm", "program's update_zz.qm"));
    TreeSnapshot assembled = snapshotTree(s.config.m_tempDir);
    ASSERT_EQ(assembled.count("update.ini"), 1u);
    assembled.erase("update.ini");
    EXPECT_EQ(assembled, snapshotTree(e));
    EXPECT_EQ(snapshotTree(s.config.m_installDir), installed);

    // Step two continues this session from there: same version and directories, the client's package type,
    // and the user's settings.
    QSettings record(s.tmp("update.ini"), QSettings::IniFormat);
    EXPECT_EQ(record.value("current/version").toString(), "7");
    EXPECT_EQ(record.value("current/dir").toString(), s.config.m_tempDir);
    EXPECT_EQ(record.value("current/cv5dir").toString(), s.config.m_installDir);
    EXPECT_EQ(record.value("current/type").toString(), "client_linux_x86");
    EXPECT_EQ(record.value("Channel/alpha").toString(), "http://127.0.0.1:1/alpha/");
    EXPECT_EQ(record.value("update/streams").toString(), "3");
    umask(oldMask);
}

TEST(UpdateSelfUnzip, AFailureEndsTheStepCancelledWithoutAnUncheckedOrMissingUpdater)
{
    struct Case
    {
        const char *name;
        std::function<void(Session &, QList<FileReplaceEntry> &)> breakIt;
        QString failure; // a message, with {tmp} for the session directory; empty: the error below instead
        bool tempIniError;
        bool updaterInPlace; // "update" is in the tree afterwards (it was right; another file failed)
    };
    const Case cases[] = {
        {"the new updater unpacks to other bytes than the plan says",
         [](Session &, QList<FileReplaceEntry> &entries) { entries[0].finalSha512 = kHelloSha; },
         "Signature check failed for {tmp}/.update.checking-", false, false},
        {"corrupt LZMA container",
         [](Session &s, QList<FileReplaceEntry> &) {
             QByteArray broken = kAbcLzma;
             broken[broken.size() - 2] = 'X';
             ASSERT_TRUE(Sandbox::writeFile(s.tmp("update._lzma2_"), broken));
         },
         "Could not unpack '{tmp}/update._lzma2_' to '{tmp}/.update.checking-", false, false},
        {"truncated gzip stream of another file",
         [](Session &s, QList<FileReplaceEntry> &) {
             ASSERT_TRUE(Sandbox::writeFile(s.tmp("lib/libhelper.so.1.gz"), kHelloGz.left(20)));
         },
         "Could not unzip '{tmp}/lib/libhelper.so.1.gz' to '{tmp}/lib/.libhelper.so.1.checking-", false, true},
        {"a patch that is not one",
         [](Session &s, QList<FileReplaceEntry> &entries) {
             ASSERT_TRUE(Sandbox::writeFile(s.tmp("update._patch_"), "patch"));
             entries[0].patchName = "update._patch_";
         },
         "Could not patch '{tmp}/update_old' to '{tmp}/.update.checking-", false, false},
        {"a patch made for another installed updater",
         [](Session &s, QList<FileReplaceEntry> &entries) {
             ASSERT_TRUE(Sandbox::writeFile(s.tmp("update._patch_"), ensemblePatchBytes("other updater", "abc")));
             entries[0].patchName = "update._patch_";
         },
         "Could not patch '{tmp}/update_old' to '{tmp}/.update.checking-", false, false},
        {"a patch whose result is not what the plan says",
         [](Session &s, QList<FileReplaceEntry> &entries) {
             ASSERT_TRUE(Sandbox::writeFile(s.tmp("update._patch_"), ensemblePatchBytes("installed updater", "abd")));
             entries[0].patchName = "update._patch_";
         },
         "Signature check failed for {tmp}/.update.checking-", false, false},
        {"a directory where the new updater goes",
         [](Session &s, QList<FileReplaceEntry> &) { ASSERT_TRUE(QDir().mkpath(s.tmp("update/inner"))); },
         "Could not rename '{tmp}/.update.checking-", false, false},
        {"no new updater in the plan", [](Session &, QList<FileReplaceEntry> &entries) { entries.removeFirst(); },
         "Could not find the new updater {tmp}/update", false, false},
        {"a link in the place of the new updater, to the installed one",
         [](Session &s, QList<FileReplaceEntry> &entries) {
             entries.removeFirst();
             ASSERT_TRUE(QFile::link(s.inst("update"), s.tmp("update")));
         },
         "Could not find the new updater {tmp}/update", false, false},
        {"a directory in the place of the session directory's update.ini",
         [](Session &s, QList<FileReplaceEntry> &) { ASSERT_TRUE(QDir().mkpath(s.tmp("update.ini/blocked"))); },
         QString(), true, true},
        {"no usable session record to copy",
         [](Session &s, QList<FileReplaceEntry> &) { ASSERT_TRUE(s.ini.write("[current]\nversion=7\n")); }, QString(),
         true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        QList<FileReplaceEntry> entries = plan();
        c.breakIt(s, entries);
        const TreeSnapshot installed = snapshotTree(s.config.m_installDir);

        UpdateSelfUnzipTaskSpecification step(&entries, &s.config, nullptr, 0.4);
        TaskRecorder recorder(&step);
        QSignalSpy errors(&step, &TaskSpecification::error);
        ASSERT_TRUE(runStep(step)) << "the step did not end";

        // Cancelled, not in error: the engine would otherwise report a user's abort.
        EXPECT_EQ(step.state(), TASK_CANCELED);
        EXPECT_EQ(recorder.finishedCount(), 0);
        EXPECT_EQ(recorder.canceledCount(), 1);
        if (c.tempIniError) {
            ASSERT_EQ(errors.count(), 1);
            EXPECT_EQ(errors.first().first().toString(), kTempIniError);
        } else {
            EXPECT_EQ(errors.count(), 0);
            const QString failure = QString(c.failure).replace("{tmp}", s.config.m_tempDir);
            const QStringList messages = recorder.messages();
            EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const QString &m) {
                return m.startsWith(failure);
            })) << messages.join('\n').toStdString();
        }
        // The new updater's name holds a checked result or nothing; no unchecked result is left anywhere.
        const QFileInfo updater(s.tmp("update"));
        EXPECT_EQ(updater.isFile() && !updater.isSymLink(), c.updaterInPlace);
        if (c.updaterInPlace) {
            EXPECT_EQ(Sandbox::readFile(s.tmp("update")), "abc");
        }
        EXPECT_EQ(leftovers(s.config.m_tempDir), QStringList());
        EXPECT_EQ(snapshotTree(s.config.m_installDir), installed);
    }
}

// The patch reads a fresh copy of the installed updater (one left by an earlier run is replaced) and its checked
// result becomes the new updater; the installation is only read.
TEST(UpdateSelfUnzip, APatchedEntryIsAppliedToACopyOfTheInstalledFile)
{
    Session s;
    QList<FileReplaceEntry> entries = plan();
    ASSERT_TRUE(Sandbox::writeFile(s.tmp("update_old"), "left by an earlier run"));
    ASSERT_TRUE(Sandbox::writeFile(s.tmp("update._patch_"), ensemblePatchBytes("installed updater", "abc")));
    entries[0].patchName = "update._patch_";
    const TreeSnapshot installed = snapshotTree(s.config.m_installDir);

    UpdateSelfUnzipTaskSpecification step(&entries, &s.config, nullptr, 0.4);
    TaskRecorder recorder(&step);
    ASSERT_TRUE(runStep(step));

    EXPECT_EQ(step.state(), TASK_FINISHED) << recorder.messages().join('\n').toStdString();
    EXPECT_EQ(Sandbox::readFile(s.tmp("update")), "abc");
    EXPECT_EQ(Sandbox::readFile(s.tmp("update_old")), "installed updater");
    EXPECT_TRUE(recorder.messages().contains("Patching update"));
    EXPECT_EQ(leftovers(s.config.m_tempDir), QStringList());
    EXPECT_EQ(snapshotTree(s.config.m_installDir), installed);
}

TEST(UpdateSelfUnzip, AResultWithoutAFinalDigestIsCheckedAgainstItsTargetsSignature)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "this build has no development key to sign with";
    struct Case
    {
        const char *name;
        QByteArray signedBytes; // what the signature in tmp/update.sig covers
        int endState;
    };
    const Case cases[] = {
        {"signature of the unpacked bytes", "abc", TASK_FINISHED},
        {"signature of other bytes", "abd", TASK_CANCELED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        QList<FileReplaceEntry> entries = plan();
        entries[0].finalSha512.clear();
        ASSERT_TRUE(Sandbox::writeFile(s.tmp("update.sig"), signing::signData(c.signedBytes)));

        UpdateSelfUnzipTaskSpecification step(&entries, &s.config, nullptr, 0.4);
        ASSERT_TRUE(runStep(step));

        EXPECT_EQ(step.state(), c.endState);
        EXPECT_EQ(QFileInfo(s.tmp("update")).isFile(), c.endState == TASK_FINISHED);
    }
}

// After a reset the step and its file tasks run again and end; before, their end-of-run flag stayed set from
// the first run and a second run never ended.
TEST(UpdateSelfUnzip, RunsAgainAfterAReset)
{
    Session s;
    QList<FileReplaceEntry> entries = plan();
    UpdateSelfUnzipTaskSpecification step(&entries, &s.config, nullptr, 0.4);
    UpdateSelfFileTaskSpecification file(entries[0], &s.config, nullptr, 0.5);
    for (TaskSpecification *task : std::initializer_list<TaskSpecification *> {&step, &file}) {
        SCOPED_TRACE(task->metaObject()->className());
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            task->reset();
            task->execute();
            ASSERT_TRUE(waitForTaskEnd(task));
            EXPECT_EQ(task->state(), TASK_FINISHED);
        }
    }
    EXPECT_EQ(Sandbox::readFile(s.tmp("update")), "abc");
}
