#include "makedownloadreplacelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "fastfilecopy.h"
#include "filedigest.h"
#include "inidownloadtaskspecification.h"
#include "inisettings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QRunnable>
#include <QSet>
#include <QSettings>
#include <QThread>
#include <QThreadPool>
#include <QVariant>

#include <algorithm>
#include <vector>

namespace {

const QString kPatchSuffix = QStringLiteral("_patch_");
const QString kFieldSeparator = QStringLiteral("::");
const QString kDeleteSection = QStringLiteral("delete");
const QString kPreInstallSection = QStringLiteral("preinstall");
const QString kPostInstallSection = QStringLiteral("postinstall");
const QString kInstallDirToken = QStringLiteral("__CV5_DIR__");
const QString kOptional = QStringLiteral("optional");
const int kThisSystem = 3; // linux32

QString invalidLineMessage(const QString &section)
{
    return MakeDownloadReplaceListTaskSpecification::tr("Warning: product ini contains invalid line in section %1")
        .arg(section);
}

// The ini is read once into these, so every path that is checked is the very string that is acted on.
struct IniLine
{
    QString key;
    QVariant value;
};

struct IniSection
{
    QString name;
    QList<IniLine> lines;
};

QList<IniSection> readSections(QSettings &ini)
{
    QList<IniSection> sections;
    const QStringList groups = ini.childGroups();
    for (const QString &group : groups) {
        ini.beginGroup(group);
        IniSection section {group, {}};
        const QStringList keys = ini.allKeys();
        for (const QString &key : keys)
            section.lines.append({key, ini.value(key)});
        ini.endGroup();
        sections.append(section);
    }
    return sections;
}

bool isPatchKey(const QString &key)
{
    return key.endsWith(kPatchSuffix);
}

bool isFileSection(const QString &name)
{
    return name != kDeleteSection && name != kPreInstallSection && name != kPostInstallSection;
}

QStringList splitFields(const QVariant &value)
{
    return value.toString().split(kFieldSeparator);
}

// The first section holding a path that could reach outside the installation or temporary directory, or a
// null string. Keys of every section are paths; so is the target name of a five-field file or patch line.
QString sectionWithUnsafePath(const QList<IniSection> &sections)
{
    for (const IniSection &section : sections) {
        const bool fileSection = isFileSection(section.name);
        for (const IniLine &line : section.lines) {
            if (!MakeDownloadReplaceListFunc::isSafeRelativePath(line.key))
                return section.name;
            if (!fileSection && !isPatchKey(line.key))
                continue;
            const QStringList fields = splitFields(line.value);
            if (fields.size() == 5 && !MakeDownloadReplaceListFunc::isSafeRelativePath(fields[4]))
                return section.name;
        }
    }
    return QString();
}

// A check run here on the planning thread; its signals reach nothing. An empty expected value checks the
// file's RSA signature in its ".sig" instead of a digest.
bool fileMatches(const QString &path, const QString &expected)
{
    CheckSigFunc check(path, expected);
    return check.run();
}

quint64 readSize(const QString &text)
{
    return text.toULongLong(); // 0 when not a number
}

// The replacement a file line of 2 or 5 fields describes, before any patch is chosen.
FileReplaceEntry replacementOf(const QString &section, const QString &key, const QStringList &fields)
{
    FileReplaceEntry r {section, key, fields[0], 0, QString(), QString()};
    if (fields.size() == 5) {
        r.finalSha512 = fields[2];
        r.finalSize = readSize(fields[3]);
        r.targetName = fields[4];
    }
    return r;
}

// The SHA-512 of a file, empty when it cannot be read (so that it matches nothing).
QByteArray sha512Of(const QString &path)
{
    QByteArray digest;
    if (filedigest::hashFile(path, filedigest::Algorithm::Sha512, digest) != filedigest::FileStatus::Done)
        return QByteArray();
    return digest;
}

// Patch lines of one section by target name, the most recently listed first.
using PatchTable = QHash<QString, QList<PatchEntry>>;

class Planner
{
public:
    Planner(const Configuration &config, UpdateData &plan)
        : m_config(config)
        , m_plan(plan)
        , m_stepOne(config.m_clientUpdate == 0)
    {
    }

    void addDeletion(const IniLine &line)
    {
        if (!QFileInfo::exists(m_config.m_installDir + "/" + line.key))
            return;
        const int value = line.value.toInt();
        if (value < 10 || value == 12)
            m_plan.deletions.append({line.key, value == 2});
    }

    void addInstallCommand(const QString &section, const IniLine &line)
    {
        const QStringList items = line.value.toStringList();
        qDebug() << "prepostinstall cmd" << line.key << items;
        if (items.isEmpty())
            return;
        const QStringList os = items[0].split(kFieldSeparator);
        QStringList args = items.size() > 1 ? items[1].split(kFieldSeparator) : QStringList();
        const bool required = items.size() < 3 || items[2] != kOptional;
        qDebug() << "--->" << line.key << "os list" << os << "args" << args << "required" << required;
        for (QString &arg : args)
            arg.replace(kInstallDirToken, m_config.m_installDir);
        qDebug() << "replaced args: " << args;
        QList<InstallCommand> &list = section == kPreInstallSection ? m_plan.preInstall : m_plan.postInstall;
        for (const QString &name : os) {
            if (MakeDownloadReplaceListFunc::osCodeFromName(name) == kThisSystem)
                list.append({line.key, args, required});
        }
    }

    // fields has 2 or 5 entries.
    void addFileLine(const QString &section, const QString &key, const QStringList &fields, const PatchTable &patches)
    {
        const bool fiveFields = fields.size() == 5;
        DownloadEntry d {section, key, fields[0], readSize(fields[1])};
        // A whole file's final digest is its own: the replacement checks it again right before it goes in.
        FileReplaceEntry r = replacementOf(section, key, fields);

        const QString relative = makeEntryPath(r);
        const QString installed = m_config.m_installDir + "/" + relative;
        const bool exists = QFileInfo::exists(installed);
        const auto candidates = r.targetName.isEmpty() ? patches.constEnd() : patches.constFind(r.targetName);
        qDebug() << "CHECK PATCH" << r.targetName << exists << (candidates != patches.constEnd());

        if (exists) {
            bool patched = false;
            if (candidates != patches.constEnd()) {
                for (const PatchEntry &patch : *candidates) {
                    const bool match = installedMatches(installed, patch.baseSha512);
                    qDebug() << "Check Sig" << installed << patch.baseSha512 << "=>" << match;
                    if (match) {
                        r.patchName = patch.name;
                        d.name = patch.name;
                        d.sha512 = patch.patchSha512;
                        d.size = patch.patchSize;
                        qDebug() << "Found patch for" << relative << patch.name;
                        patched = true;
                        break;
                    }
                }
            }
            const QString finalSha512 = fiveFields ? r.finalSha512 : d.sha512;
            if (!patched && installedMatches(installed, finalSha512)) {
                if (!m_stepOne || copyToTempTree(relative, finalSha512)) {
                    m_currentFiles.insert(key, d);
                    return; // current
                }
            }
        }

        m_plan.replacements.append(r);
        if (r.isPacked() && r.finalSha512.isEmpty())
            fetchResultSignature(section, relative);
        const QString downloaded = m_config.m_tempDir + "/" + d.name;
        if (QFileInfo::exists(downloaded) && fileMatches(downloaded, d.sha512))
            return;
        qDebug() << "Queueing download:" << d.name;
        m_plan.downloads.append(d);
    }

    // A packed or patched line without a final SHA-512 is vouched for by the signature of its result, the
    // ".sig" beside the result's name on the server; it is fetched to the same name under the temporary
    // directory, where the result's check reads it.
    void fetchResultSignature(const QString &section, const QString &relative)
    {
        const QString name = relative + ".sig";
        const bool queued = std::any_of(m_plan.downloads.cbegin(), m_plan.downloads.cend(),
                                        [&](const DownloadEntry &d) { return d.name == name; });
        if (queued || QFileInfo::exists(m_config.m_tempDir + "/" + name))
            return;
        qDebug() << "Queueing download of signature:" << name;
        DownloadEntry signature {section, name, QString(), 0};
        signature.signature = true;
        m_plan.downloads.append(signature);
    }

    // Install commands run from the temporary directory, so a command's file must lie there even when the
    // installed copy is current: otherwise a command that did not change between two versions, or one whose
    // session lost its download to an interrupted clean-up, could never start and every run would fail.
    void fetchMissingCommandFiles()
    {
        for (const QList<InstallCommand> *list : {&m_plan.preInstall, &m_plan.postInstall}) {
            for (const InstallCommand &command : *list) {
                const auto current = m_currentFiles.constFind(command.command);
                if (current == m_currentFiles.constEnd() ||
                    QFileInfo::exists(m_config.m_tempDir + "/" + command.command))
                    continue;
                const bool queued = std::any_of(m_plan.downloads.cbegin(), m_plan.downloads.cend(),
                                                [&](const DownloadEntry &d) { return d.name == current->name; });
                if (queued)
                    continue;
                qDebug() << "Queueing download of install command:" << current->name;
                m_plan.downloads.append(*current);
            }
        }
    }

    // Hashes every installed file that a file line compares with a digest, on as many threads as there are
    // cores, before the decisions, which then find each digest computed once. Reads only: a line that later
    // turns out malformed has changed nothing.
    void hashInstalledFiles(const QList<IniSection> &sections)
    {
        QSet<QString> seen;
        QStringList paths;
        for (const IniSection &section : sections) {
            if (!isFileSection(section.name))
                continue;
            for (const IniLine &line : section.lines) {
                const QStringList fields = splitFields(line.value);
                if (isPatchKey(line.key) || (fields.size() != 2 && fields.size() != 5))
                    continue;
                // A whole file without a digest is checked against its ".sig", not hashed here. A packed one
                // may be compared with patch bases even then.
                if (fields.size() == 2 && fields[0].isEmpty())
                    continue;
                const FileReplaceEntry r = replacementOf(section.name, line.key, fields);
                const QString path = m_config.m_installDir + "/" + makeEntryPath(r);
                if (!seen.contains(path) && QFileInfo::exists(path)) {
                    seen.insert(path);
                    paths << path;
                }
            }
        }
        if (paths.size() < 2)
            return; // nothing to share out: the decision hashes it
        std::vector<QByteArray> digests(size_t(paths.size()));
        QThreadPool pool;
        pool.setMaxThreadCount(qMin(QThread::idealThreadCount(), int(paths.size())));
        for (int i = 0; i < paths.size(); ++i) {
            const QString path = paths[i];
            QByteArray *digest = &digests[size_t(i)];
            pool.start(QRunnable::create([path, digest] { *digest = sha512Of(path); }));
        }
        pool.waitForDone();
        for (int i = 0; i < paths.size(); ++i)
            m_installedSha512.insert(paths[i], digests[size_t(i)]);
    }

private:
    // An installed file against one digest, which its single SHA-512 answers for every patch base and the
    // final digest alike. An empty digest keeps the check of the file's ".sig".
    bool installedMatches(const QString &path, const QString &expected)
    {
        if (expected.isEmpty())
            return fileMatches(path, expected);
        auto digest = m_installedSha512.constFind(path);
        if (digest == m_installedSha512.constEnd())
            digest = m_installedSha512.insert(path, sha512Of(path));
        return filedigest::sameDigest(expected, *digest);
    }

    // Step one: the new updater's tree in the temporary directory must hold every current file as well.
    // True when it does afterwards; a copy that failed (the target was there already, say) still counts
    // when what lies there is the expected file, else the line has to be fetched like a changed one.
    bool copyToTempTree(const QString &relative, const QString &expectedSha512)
    {
        const QString source = m_config.m_installDir + "/" + relative;
        const QString target = m_config.m_tempDir + "/" + relative;
        QDir().mkpath(QFileInfo(target).absolutePath());
        const bool copied = FastFileCopy::copyFile(source, target);
        qDebug() << "Copying updater files:" << source << "to" << target << copied;
        return copied || (QFileInfo::exists(target) && fileMatches(target, expectedSha512));
    }

    const Configuration &m_config;
    UpdateData &m_plan;
    const bool m_stepOne;
    QHash<QString, DownloadEntry> m_currentFiles; // by key: whole-file downloads planning found current
    QHash<QString, QByteArray> m_installedSha512; // by path: installed files are only read while planning
};

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration *config, QSharedPointer<UpdateData> plan)
    : m_config(config)
    , m_plan(std::move(plan))
{
}

QString MakeDownloadReplaceListFunc::productIniPath(const Configuration &config)
{
    const bool client = config.m_clientUpdate != 0;
    return config.m_tempDir + "/" + (config.m_clientUpdate == 1 ? QStringLiteral("cv5_") : QString()) +
        Configuration::packageType(client) + ".ini";
}

int MakeDownloadReplaceListFunc::osCodeFromName(const QString &name)
{
    static const QHash<QString, int> codes {
        {QStringLiteral("win32"), 1},   {QStringLiteral("win64"), 2}, {QStringLiteral("linux32"), 3},
        {QStringLiteral("linux64"), 4}, {QStringLiteral("mac"), 5},
    };
    return codes.value(name.toLower(), 0);
}

bool MakeDownloadReplaceListFunc::isSafeRelativePath(const QString &path)
{
    if (path.startsWith('/'))
        return false;
    bool namesSomething = false;
    const QStringList parts = path.split('/');
    for (const QString &part : parts) {
        if (part == QLatin1String(".."))
            return false;
        if (!part.isEmpty() && part != QLatin1String("."))
            namesSomething = true;
    }
    return namesSomething;
}

bool MakeDownloadReplaceListFunc::run()
{
    m_plan->clear();
    const QString prodIni = productIniPath(*m_config);
    qDebug() << "prodIni" << prodIni;
    emit message((m_config->m_clientUpdate == 0 ? tr("Compiling download and replace list for updater")
                                                : tr("Compiling download and replace list for client")));

    IniSettings ini(prodIni);
    const int total = countProductIniKeys(ini);
    if (total == 0) {
        emit message(tr("No files in product ini"));
        return false;
    }
    const QList<IniSection> sections = readSections(ini);

    // Refused before anything is decided or copied, so a bad line leaves no trace.
    const QString unsafe = sectionWithUnsafePath(sections);
    if (!unsafe.isNull()) {
        qDebug() << "Product ini names a path outside its directory in section" << unsafe;
        emit message(invalidLineMessage(unsafe));
        return false;
    }

    Planner planner(*m_config, *m_plan);
    planner.hashInstalledFiles(sections);
    int counter = 0;
    for (const IniSection &section : sections) {
        PatchTable patches;
        QList<IniLine> lines;
        for (const IniLine &line : section.lines) {
            if (!isPatchKey(line.key)) {
                lines.append(line);
                continue;
            }
            const QStringList f = splitFields(line.value);
            if (f.size() != 5) {
                emit message(invalidLineMessage(section.name));
                return false;
            }
            const PatchEntry patch {section.name, line.key, f[0], readSize(f[1]), f[4], f[2], readSize(f[3])};
            qDebug() << "ADD PATCH" << patch.name << patch.patchSha512 << patch.patchSize << patch.targetName
                     << patch.baseSha512 << patch.baseSize;
            patches[patch.targetName].prepend(patch);
        }

        if (section.name == kDeleteSection) {
            for (const IniLine &line : lines) {
                emit progress(qreal(++counter) / total);
                planner.addDeletion(line);
            }
        } else if (!isFileSection(section.name)) {
            for (const IniLine &line : lines)
                planner.addInstallCommand(section.name, line);
        } else {
            for (const IniLine &line : lines) {
                emit progress(qreal(++counter) / total);
                const QStringList fields = splitFields(line.value);
                if (fields.size() != 2 && fields.size() != 5) {
                    emit message(invalidLineMessage(section.name));
                    continue;
                }
                planner.addFileLine(section.name, line.key, fields, patches);
            }
        }
    }
    planner.fetchMissingCommandFiles();
    return true;
}

int countProductIniKeys(QSettings &ini)
{
    int count = 0;
    const QStringList groups = ini.childGroups();
    for (const QString &group : groups) {
        ini.beginGroup(group);
        count += ini.allKeys().size();
        ini.endGroup();
    }
    return count;
}

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(Configuration *config,
                                                                                   UpdateData *updateData,
                                                                                   QObject *parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_config(config)
    , m_updateData(updateData)
    , m_plan(QSharedPointer<UpdateData>::create())
{
}

ASyncFunc *MakeDownloadReplaceListTaskSpecification::createFunc()
{
    return new MakeDownloadReplaceListFunc(m_config, m_plan);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    if (ok && state() == TASK_RUNNING)
        *m_updateData = *m_plan;
    ASyncTaskSpecification::runDone(ok);
}
