#include "updateselffiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "fastfilecopy.h"
#include "fileentry.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cstdio>

namespace {

const char *boolText(bool value)
{
    return value ? "true" : "false";
}

// A hidden name beside target that nothing uses yet. The name is cut so that the suffix cannot push a long
// file name past the file system's limit.
QString freeNameBeside(const QString &target)
{
    const QFileInfo info(target);
    const QString stem = info.path() + "/." + info.fileName().left(60) + ".checking-";
    for (;;) {
        const QString candidate = stem + QString::number(QRandomGenerator::global()->generate64(), 36);
        if (!entryExists(QFileInfo(candidate)))
            return candidate;
    }
}

} // namespace

UpdateSelfFileTaskSpecification::UpdateSelfFileTaskSpecification(const FileReplaceEntry &entry, Configuration *config,
                                                                 QObject *parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_entry(entry)
    , m_config(config)
{
}

UpdateSelfFileTaskSpecification::~UpdateSelfFileTaskSpecification()
{
    removeTemporary();
}

QString UpdateSelfFileTaskSpecification::sourcePath() const
{
    return m_config->m_tempDir + "/" + m_entry.name;
}

QString UpdateSelfFileTaskSpecification::targetPath() const
{
    return m_config->m_tempDir + "/" + makeEntryPath(m_entry);
}

QString UpdateSelfFileTaskSpecification::basePath() const
{
    return m_config->m_installDir + "/" + makeEntryPath(m_entry);
}

QString UpdateSelfFileTaskSpecification::oldCopyPath() const
{
    return m_config->m_tempDir + "/" + makeEntryPath(m_entry) + "_old";
}

QString UpdateSelfFileTaskSpecification::patchPath() const
{
    return m_config->m_tempDir + "/" + m_entry.patchName;
}

void UpdateSelfFileTaskSpecification::execute()
{
    const QString target = targetPath();
    qDebug() << "Extracting updater file" << m_entry.name << makeEntryPath(m_entry) << boolText(m_entry.hasPatch());
    const QString dir = QFileInfo(target).absolutePath();
    // A directory that cannot be made shows as the unpack's failure to write.
    if (!QFileInfo::exists(dir))
        QDir().mkpath(dir);

    m_temporary = freeNameBeside(target);
    const QString source = sourcePath();
    if (m_entry.hasPatch()) {
        // The installed file is read through its copy in the session directory; the result goes to the
        // temporary name like an unpacked file and is checked the same way.
        makeOldCopy();
        auto *patch = new FileTaskSpecification_patch(nullptr, oldCopyPath(), patchPath(), m_temporary, this, 0.8);
        patch->setMaxOutputSize(m_entry.maxOutputSize());
        addTask(patch);
    } else if (QFileInfo(source).suffix() == QLatin1String("_lzma2_")) {
        // Nothing may produce more than the signed ini lists for it.
        auto *unpack = new FileUnpackTaskSpecification_lzma2(nullptr, source, m_temporary, this, 0.8);
        unpack->setMaxOutputSize(m_entry.maxOutputSize());
        addTask(unpack);
    } else {
        auto *unpack = new FileUnpackTaskSpecification_zip(nullptr, source, m_temporary, this, 0.8);
        unpack->setMaxOutputSize(m_entry.maxOutputSize());
        addTask(unpack);
    }
    // The result is checked under its temporary name; a signature belongs to the final name.
    addTask(new CheckSignatureTaskSpecification(m_temporary, m_entry.finalSha512, true, this, 0.2, target + ".sig"));
    setState(TASK_RUNNING);
    startTasks();
}

void UpdateSelfFileTaskSpecification::makeOldCopy()
{
    const QString oldCopy = oldCopyPath();
    // A copy left by an earlier run would block the copy, which never overwrites.
    QFile::remove(oldCopy);
    FastFileCopy::copyFile(basePath(), oldCopy);
    emit message(QStringLiteral("Patching %1").arg(makeEntryPath(m_entry)));
}

void UpdateSelfFileTaskSpecification::subtasksDone()
{
    if (computeState() == TASK_FINISHED) {
        const QString target = targetPath();
        // rename() replaces an earlier file at the target in one step; QFile::rename() refuses to.
        if (std::rename(QFile::encodeName(m_temporary).constData(), QFile::encodeName(target).constData()) != 0) {
            emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(m_temporary, target));
            removeTemporary();
            setCanceled();
            return;
        }
        qDebug() << "Updater file in place" << target;
        m_temporary.clear();
    } else {
        removeTemporary();
    }
    ComposedTaskSpecification::subtasksDone();
}

void UpdateSelfFileTaskSpecification::removeTemporary()
{
    if (!m_temporary.isEmpty())
        QFile::remove(m_temporary);
    m_temporary.clear();
}

void UpdateSelfFileTaskSpecification::reset()
{
    clearTasks();
    removeTemporary();
    // The composed reset also clears the end-of-run flags, so execute() can run again.
    ComposedTaskSpecification::reset();
}
