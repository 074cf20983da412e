#include "clientfixture.h"

#include "patchfixture.h"
#include "signing.h"

#include "lzmafile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include <zlib.h>

#include <sys/stat.h>

namespace clientfixture {

const char kChannelPath[] = "alpha/";

namespace {

enum class Delivery {
    Whole, // the file itself
    Gzip, // a gzip stream, installed under its target name
    Lzma, // an LZMA container, installed under its target name
    Patched, // a patch against version 1 (beside the LZMA container of version 2 for other installations)
    PatchedElf, // the same, made through the disassembly of a 32-bit x86 ELF file
    Current, // listed, but the installed file is already right
    Unlisted, // the user's own file: the product ini does not name it
    Deleted, // named by a "delete" line
};

struct FileSpec
{
    const char *path; // installed relative path
    Delivery delivery;
    QByteArray v1; // empty with v1Mode 0: not in version 1
    unsigned v1Mode;
    QByteArray v2; // empty for deleted and unlisted files
    unsigned v2Mode;
};

QByteArray repeated(const QByteArray &line, int times)
{
    QByteArray out;
    for (int i = 0; i < times; ++i)
        out += line;
    return out;
}

// A stable C string for a generated path (FileSpec holds plain pointers).
const char *bulkPath(const QByteArray &path)
{
    static QList<QByteArray> paths;
    static QMutex lock;
    QMutexLocker locker(&lock);
    for (const QByteArray &p : qAsConst(paths)) {
        if (p == path)
            return p.constData();
    }
    paths.append(path);
    return paths.last().constData();
}

QByteArray runScript(const Options &options)
{
    return "#!/bin/sh\n"
           "# Corvalink client 2: starts the client, and notes how it was started.\n"
           "record='" +
        options.startRecord.toUtf8() +
        "'\n"
        "{ pwd; echo \"$#\"; } > \"$record.part\" && mv \"$record.part\" \"$record\"\n"
        "exec ./cv5client_linux_x86\n";
}

// An install command that notes how it was run; its first argument is the installation directory.
QByteArray commandScript(const Options &options, const char *name)
{
    return "#!/bin/sh\n"
           "# Corvalink client 2: " +
        QByteArray(name) +
        "-install command.\n"
        "dir=\"${1#--}\"\n"
        "{ echo \"" +
        name + " $#\"; for a in \"$@\"; do echo \"$a\"; done; echo \"version $(cat \"$dir/version.txt\")\"; } >> '" +
        options.commandRecord.toUtf8() + "'\n";
}

// The install commands, with their product-ini values, when the options ask for them.
QList<QPair<QString, QByteArray>> installCommands(const Options &options)
{
    if (options.commandRecord.isEmpty())
        return {};
    return {{"preinstall", "install/preinstall.sh=linux32, __CV5_DIR__::second arg"},
            {"postinstall", "install/postinstall.sh=win32::linux32, __CV5_DIR__::__CV5_DIR__/data, optional"}};
}

// Two builds of one small program that differ in one function (tests/corvapatch/fixtures/elf).
QByteArray elfFixture(const char *name)
{
    QFile file(QStringLiteral(CORVALINK_SOURCE_DIR "/tests/corvapatch/fixtures/elf/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<FileSpec> files(const Options &options)
{
    // The programs of version 1 carry the 0777 an older updater gave them; version 2 gives them 0755.
    QList<FileSpec> list = {
        {"cv5client_linux_x86", Delivery::Whole, "#!/bin/sh\necho 'Corvalink client 1'\n", 0777,
         "#!/bin/sh\necho 'Corvalink client 2'\n", 0755},
        {"cv5client_runscript.sh", Delivery::Whole, "#!/bin/sh\nexec ./cv5client_linux_x86\n", 0777, runScript(options),
         0755},
        {"libcv5core.so.1", Delivery::Gzip, repeated("core library 1\n", 100), 0644,
         repeated("core library, version 2\n", 400), 0755},
        {"data/strings.dat", Delivery::Lzma, repeated("strings 1\n", 50), 0640, repeated("strings of version 2\n", 300),
         0640},
        {"readme.txt", Delivery::Whole, "Corvalink client 1\n", 0644, "Corvalink client 2: what is new\n", 0644},
        {"version.txt", Delivery::Whole, "1\n", 0644, "2\n", 0644},
        {"plugins/imageformats/libqcv5.so", Delivery::Whole, {}, 0, "image format plug-in 2\n", 0755},
        {"translations/cv5_de.qm", Delivery::Current, "Deutsch\n", 0644, "Deutsch\n", 0644},
        {"user-notes.txt", Delivery::Unlisted, "my own notes\n", 0600, {}, 0},
        {"obsolete.txt", Delivery::Deleted, "no longer shipped\n", 0644, {}, 0},
        {"oldplugins/libold.so", Delivery::Deleted, "old plug-in\n", 0755, {}, 0},
        {"oldplugins/sub/settings.ini", Delivery::Deleted, "[old]\n", 0644, {}, 0},
        {"data/catalog.dat", Delivery::Patched, repeated("catalog entry, first edition\n", 40), 0640,
         repeated("catalog entry, first edition\n", 30) + "an entry of the second edition\n" +
             repeated("catalog entry, first edition\n", 10),
         0640},
        {"plugins/libcv5filter.so", Delivery::PatchedElf, elfFixture("x86-pic.so"), 0644,
         elfFixture("x86-pic-changed.so"), 0755},
    };
    // The install commands replace older ones and keep their mode: only the copy in the session is run.
    if (!options.commandRecord.isEmpty()) {
        list.append(
            {"install/preinstall.sh", Delivery::Whole, "#!/bin/sh\n", 0644, commandScript(options, "pre"), 0644});
        list.append(
            {"install/postinstall.sh", Delivery::Whole, "#!/bin/sh\n", 0644, commandScript(options, "post"), 0644});
    }
    if (options.blockedDeletion)
        list.append({"olddata/left-over.txt", Delivery::Unlisted, "the user's\n", 0644, {}, 0});
    static const Delivery kinds[] = {Delivery::Whole, Delivery::Gzip, Delivery::Lzma};
    for (int i = 0; i < options.bulkFiles; ++i) {
        const QByteArray n = QByteArray::number(i);
        // Held by QList as values: the path lives in a table of its own.
        list.append({bulkPath("bulk/d" + QByteArray::number(i % 10) + "/f" + n + ".dat"), kinds[i % 3],
                     repeated("bulk " + n + " version 1\n", 1 + i % 7), i % 4 == 0 ? 0600u : 0644u,
                     repeated("bulk " + n + " version 2\n", 2 + i % 5), i % 4 == 0 ? 0600u : 0644u});
        if (i % 10 == 0)
            list.append({bulkPath("bulk/old" + n + ".txt"), Delivery::Deleted, "old " + n + "\n", 0644, {}, 0});
    }
    return list;
}

// Deleted by the product ini's "delete" lines, with their values.
QList<QPair<QString, int>> deleteLines(const Options &options)
{
    QList<QPair<QString, int>> lines = {{"obsolete.txt", 0}, {"oldplugins", 2}};
    if (options.blockedDeletion)
        lines.append({"olddata", 0});
    for (int i = 0; i < options.bulkFiles; i += 10)
        lines.append({"bulk/old" + QString::number(i) + ".txt", 0});
    return lines;
}

bool writeFile(const QString &path, const QByteArray &contents, unsigned mode)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
        return false;
    file.close();
    return mode == 0 || chmod(QFile::encodeName(path).constData(), mode) == 0;
}

QString sha512(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

bool gzipFile(const QByteArray &data, const QString &path)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    gzFile out = gzopen(QFile::encodeName(path).constData(), "wb9");
    if (!out)
        return false;
    const bool written = gzwrite(out, data.constData(), unsigned(data.size())) == data.size();
    return gzclose(out) == Z_OK && written;
}

bool lzmaFile(const QByteArray &data, const QString &path)
{
    const QString plain = path + ".plain";
    if (!writeFile(plain, data, 0))
        return false;
    const bool ok =
        corvapatch::CompressLzmaFile(QFile::encodeName(plain).constData(), QFile::encodeName(path).constData());
    QFile::remove(plain);
    return ok;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes the patch from version 1 to version 2 of f as name below dir and adds its line (patch digest and size,
// base digest and size, target) to ini.
bool patchFile(const FileSpec &f, const QString &dir, const QString &name, QByteArray *ini)
{
    std::vector<patchwriter::Element> elements;
    if (f.delivery == Delivery::PatchedElf)
        elements.push_back({2, 0, uint32_t(f.v1.size()), 0, uint32_t(f.v2.size())}); // 32-bit x86 ELF
    const QByteArray patch = ensemblePatchBytes(f.v1, f.v2, elements);
    if (patch.isEmpty() || !writeFile(dir + "/" + name, patch, 0))
        return false;
    *ini += name.toUtf8() + "=" + sha512(patch).toUtf8() + "::" + QByteArray::number(patch.size()) +
        "::" + sha512(f.v1).toUtf8() + "::" + QByteArray::number(f.v1.size()) + "::" + f.path + "\n";
    return true;
}

} // namespace

bool writeInstallation(const QString &dir, const Options &options)
{
    for (const FileSpec &f : files(options)) {
        if (f.v1Mode != 0 && !writeFile(dir + "/" + f.path, f.v1, f.v1Mode))
            return false;
    }
    return options.linkTarget.isEmpty() || QFile::link(options.linkTarget, dir + "/oldplugins/sub/elsewhere");
}

bool applyVersionTwo(const QString &dir, const Options &options)
{
    for (const FileSpec &f : files(options)) {
        if (f.delivery == Delivery::Unlisted || f.delivery == Delivery::Deleted)
            continue;
        if (!writeFile(dir + "/" + f.path, f.v2, f.v2Mode))
            return false;
    }
    for (const auto &line : deleteLines(options)) {
        const QString path = dir + "/" + line.first;
        const bool removed = QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path);
        if (!removed)
            return false;
    }
    return true;
}

bool writeUpdateTree(const QString &root, const Options &options)
{
    const QString versionDir = root + "/" + kChannelPath + QString::number(kVersion);
    const QString section = "client";
    QByteArray ini = "[" + section.toUtf8() + "]\n";
    for (const FileSpec &f : files(options)) {
        const QString target = f.path;
        QString name = target;
        QByteArray served = f.v2;
        switch (f.delivery) {
        case Delivery::Unlisted:
        case Delivery::Deleted:
            continue;
        case Delivery::Whole:
        case Delivery::Current:
            break;
        case Delivery::Gzip:
            name = target + ".gz";
            if (!gzipFile(f.v2, versionDir + "/" + section + "/" + name))
                return false;
            served = readFile(versionDir + "/" + section + "/" + name);
            break;
        case Delivery::Patched:
        case Delivery::PatchedElf:
            if (!patchFile(f, versionDir + "/" + section, target + ".1_patch_", &ini))
                return false;
            Q_FALLTHROUGH();
        case Delivery::Lzma:
            name = target + "._lzma2_";
            if (!lzmaFile(f.v2, versionDir + "/" + section + "/" + name))
                return false;
            served = readFile(versionDir + "/" + section + "/" + name);
            break;
        }
        const bool packed = f.delivery != Delivery::Whole && f.delivery != Delivery::Current;
        const bool bySignature = options.runScriptBySignature && target == "cv5client_runscript.sh";
        if (!packed) {
            QByteArray onServer = options.tamperWholeFile && target == "readme.txt" ? "substituted\n" : f.v2;
            const QString servedPath = versionDir + "/" + section + "/" + name;
            if (bySignature && (!writeFile(servedPath, f.v2, 0) || !signing::signFile(servedPath)))
                return false;
            if (bySignature && options.substituteRunScript)
                onServer = "#!/bin/sh\necho 'not from the publisher' > \"$HOME/owned\"\n";
            if (!writeFile(servedPath, onServer, 0))
                return false;
        }
        QString line = (bySignature ? QString() : sha512(served)) + "::" + QString::number(served.size());
        if (packed && options.packedBySignature) {
            // The result is not served, only its signature, made of the installed bytes.
            const QString resultPath = versionDir + "/" + section + "/" + target;
            if (!writeFile(resultPath, f.v2, 0) || !signing::signFile(resultPath) || !QFile::remove(resultPath))
                return false;
            if (options.resultSignaturesMissing && !QFile::remove(resultPath + ".sig"))
                return false;
        }
        if (packed) {
            QString finalSha =
                options.breakPackedFile && f.delivery == Delivery::Lzma ? sha512("other content") : sha512(f.v2);
            if (options.packedBySignature)
                finalSha.clear();
            line += "::" + finalSha + "::" + QString::number(f.v2.size()) + "::" + target;
        }
        ini += name.toUtf8() + "=" + line.toUtf8() + "\n";
    }
    ini += "\n[delete]\n";
    for (const auto &line : deleteLines(options))
        ini += line.first.toUtf8() + "=" + QByteArray::number(line.second) + "\n";
    for (const auto &command : installCommands(options))
        ini += "\n[" + command.first.toUtf8() + "]\n" + command.second + "\n";

    // The ini is signed as it is, and served packed beside its signature.
    const QString iniPath = versionDir + "/cv5_client_linux_x86.ini";
    if (!writeFile(iniPath, ini, 0) || !signing::signFile(iniPath) || !lzmaFile(ini, iniPath + "._lzma2_"))
        return false;
    return QFile::remove(iniPath);
}

QList<Versions> installedFiles(const Options &options)
{
    QList<Versions> list;
    for (const FileSpec &f : files(options)) {
        Versions v;
        v.path = f.path;
        v.inOne = f.v1Mode != 0;
        v.one = f.v1;
        v.inTwo = f.delivery != Delivery::Deleted;
        v.two = f.delivery == Delivery::Unlisted ? f.v1 : f.v2;
        list.append(v);
    }
    return list;
}

namespace {

// The updater's files that come as patches against the installed ones.
QList<FileSpec> updaterPatchedFiles()
{
    return {
        {"update-readme.txt", Delivery::Patched, repeated("Corvalink updater 1 notes\n", 20), 0644,
         repeated("Corvalink updater 1 notes\n", 12) + "Corvalink updater 2 notes\n" +
             repeated("Corvalink updater 1 notes\n", 8),
         0644},
        {"lib/libupdatefilter.so", Delivery::PatchedElf, elfFixture("x86-pic.so"), 0755,
         elfFixture("x86-pic-changed.so"), 0755},
    };
}

} // namespace

bool writeUpdaterInstallation(const QString &dir)
{
    for (const FileSpec &f : updaterPatchedFiles()) {
        if (!writeFile(dir + "/" + f.path, f.v1, f.v1Mode))
            return false;
    }
    return true;
}

bool writeUpdaterTree(const QString &root, const UpdaterOptions &options)
{
    const QString versionDir = root + "/" + kChannelPath + QString::number(kVersion);
    const QString section = "update";
    const QString files = versionDir + "/" + section + "/";
    const QByteArray record = options.startRecord.toUtf8();
    const QByteArray wrapper =
        "#!/bin/sh\n"
        "# The new updater: notes how it was started, runs the real program beside it, notes how that ended.\n"
        "record='" +
        record +
        "'\n"
        "{ pwd -P; stat -c %a \"$0\"; echo $(ls translations); echo \"$#\"; for a in \"$@\"; do echo \"$a\"; done; } "
        "> \"$record.part\" && mv \"$record.part\" \"$record\"\n"
        "# Step one makes only \"update\" executable.\n"
        "chmod 755 \"$(dirname \"$0\")/update.bin\"\n"
        "\"$(dirname \"$0\")/update.bin\" \"$@\"\n"
        "code=$?\n"
        "echo \"$code\" > \"$record.exit.part\" && mv \"$record.exit.part\" \"$record.exit\"\n"
        "exit \"$code\"\n";
    const QByteArray licences = repeated("Corvalink updater 2 licence terms\n", 50);
    const QByteArray program = readFile(options.program);
    if (program.isEmpty())
        return false;

    // The container of a script that is not the one the ini names, as if the server's file had been swapped.
    const QByteArray packedWrapper = options.tamperUpdater ? QByteArray("#!/bin/sh\necho substituted\n") : wrapper;
    if (!lzmaFile(packedWrapper, files + "update._lzma2_") || !gzipFile(licences, files + "update-licences.txt.gz") ||
        !writeFile(files + "update.bin", program, 0))
        return false;
    const auto fileLine = [](const QString &name, const QByteArray &served) {
        return name + "=" + sha512(served) + "::" + QString::number(served.size());
    };
    const auto packedLine = [&fileLine](const QString &name, const QByteArray &served, const QByteArray &plain,
                                        const QString &target) {
        return fileLine(name, served) + "::" + sha512(plain) + "::" + QString::number(plain.size()) + "::" + target;
    };
    QByteArray patchLines;
    for (const FileSpec &f : updaterPatchedFiles()) {
        const QString name = QString(f.path) + "._lzma2_";
        if (!patchFile(f, files, QString(f.path) + ".1_patch_", &patchLines) || !lzmaFile(f.v2, files + name))
            return false;
        patchLines += packedLine(name, readFile(files + name), f.v2, f.path).toUtf8() + "\n";
    }
    const QString ini = "[" + section + "]\n" + QString::fromUtf8(patchLines) +
        packedLine("update._lzma2_", readFile(files + "update._lzma2_"), wrapper, "update") + "\n" +
        packedLine("update-licences.txt.gz", readFile(files + "update-licences.txt.gz"), licences,
                   "update-licences.txt") +
        "\n" + fileLine("update.bin", program) + "\n";

    const QString iniPath = versionDir + "/update_linux_x86.ini";
    if (!writeFile(iniPath, ini.toUtf8(), 0) || !signing::signFile(iniPath) ||
        !lzmaFile(ini.toUtf8(), iniPath + "._lzma2_"))
        return false;
    return QFile::remove(iniPath);
}

QStringList replacedPaths()
{
    QStringList paths;
    for (const FileSpec &f : files(Options())) {
        if (f.delivery != Delivery::Current && f.delivery != Delivery::Unlisted && f.delivery != Delivery::Deleted)
            paths << f.path;
    }
    return paths;
}

QStringList deletedPaths()
{
    QStringList paths;
    for (const auto &line : deleteLines(Options()))
        paths << line.first;
    return paths;
}

} // namespace clientfixture
