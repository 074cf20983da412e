#include "makedownloadreplacelisttaskspecification.h"

#include "configuration.h"
#include "maintaskspecification.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <map>

namespace {

// SHA-512 of the contents "old", "new", "other", "patch" and "packed" (from sha512sum).
const std::map<QString, QString> kHashes = {
    {"OLD",
     "a6d96fa05fb243a13082a21195ebd126fc42f2f158cf5e0042e4f956b60d7edb"
     "4b363bcd41ce433b33b7024303d34f0ecaad5071841bd3ada3e99d68f00b89b2"},
    {"NEW",
     "aa54def9e0bb11c1ebbfc97a9ee63af9e95c4fdf1d032b1ddcc0f21661f74865"
     "1d2b2b8fb94e9ae041780554db29815daa1c0fe991ddae54eff0c4c28cd9d20c"},
    {"OTHER",
     "e25ac3845f8cbe12801a2dfa5a89d4c55dc47900f3b6edc9a9ee590f3c2b9312"
     "f665d0039c93828b7b58f33950bc817a0955a9c5000a8d3e280569f08745ca68"},
    {"PATCH",
     "51cc8a08503a86f903a76a5095c7d210ecc6a4476115ebb6436d4363a009a4b0"
     "982627d540f701fd968f967633442ce6b6d9d5e090b98fff55aaa82505bf83ab"},
    {"PACKED",
     "d50fde57149513964ec5cb176e9ce1e1079a6fe3a3a7afaf6a8af2cd1e4c1035"
     "9e10a42ab20778736a92b2994c783e51986b692885630d7be4e3b7d7d5464632"},
};

// "${NEW}" and the like become the digests above; the other way round, digests print as their label.
QByteArray expandHashes(QString text)
{
    for (const auto &[label, hash] : kHashes)
        text.replace("${" + label + "}", hash);
    return text.toUtf8();
}

QString labelOf(const QString &hash)
{
    for (const auto &[label, known] : kHashes) {
        if (known == hash)
            return label;
    }
    return hash;
}

QStringList describe(const UpdateData &plan)
{
    QStringList lines;
    for (const DownloadEntry &d : plan.downloads)
        lines << QString("download %1|%2|%3|%4").arg(d.section, d.name, labelOf(d.sha512)).arg(d.size) +
                (d.signature ? " signature" : "");
    for (const FileReplaceEntry &r : plan.replacements) {
        lines << QString("replace %1|%2|%3|%4|%5|%6")
                     .arg(r.section, r.name, labelOf(r.finalSha512))
                     .arg(r.finalSize)
                     .arg(r.targetName, r.patchName);
    }
    return lines;
}

QString describe(const InstallCommand &c)
{
    return c.command + " [" + c.arguments.join("|") + "] " + (c.required ? "required" : "optional");
}

using Files = std::map<QString, QByteArray>;

// One planning run over a sandbox with an installation directory and a session directory (both with a space).
class Planning
{
public:
    explicit Planning(int clientUpdate)
    {
        config.m_clientUpdate = clientUpdate;
        config.m_installDir = sandbox.path("install dir");
        config.m_tempDir = sandbox.path("session dir");
        QDir().mkpath(config.m_installDir);
        QDir().mkpath(config.m_tempDir);
    }

    QString iniPath() const { return MakeDownloadReplaceListFunc::productIniPath(config); }
    void writeIni(const QString &text) { ASSERT_TRUE(Sandbox::writeFile(iniPath(), expandHashes(text))); }
    void install(const Files &files) { write(config.m_installDir, files); }
    void putInSession(const Files &files) { write(config.m_tempDir, files); }
    QByteArray sessionFile(const QString &relative) const
    {
        return Sandbox::readFile(config.m_tempDir + "/" + relative);
    }

    bool run()
    {
        auto plan = QSharedPointer<UpdateData>::create();
        MakeDownloadReplaceListFunc func(&config, plan);
        QObject::connect(&func, &ASyncFunc::message, [this](const QString &t) { messages << t; });
        QObject::connect(&func, &ASyncFunc::progress, [this](qreal p) { progress << p; });
        QSignalSpy errors(&func, &ASyncFunc::error);
        const bool ok = func.run();
        EXPECT_EQ(errors.count(), 0);
        result = *plan;
        return ok;
    }

    // Every file below the session directory except the product ini, as relative paths.
    QStringList sessionTree() const
    {
        QStringList files;
        const QDir root(config.m_tempDir);
        QDirIterator it(config.m_tempDir, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path != iniPath())
                files << root.relativeFilePath(path);
        }
        files.sort();
        return files;
    }

    Sandbox sandbox;
    Configuration config;
    UpdateData result;
    QStringList messages;
    QList<qreal> progress;

private:
    static void write(const QString &dir, const Files &files)
    {
        for (const auto &[name, contents] : files)
            ASSERT_TRUE(Sandbox::writeFile(dir + "/" + name, contents));
    }
};

const QString kStepTwoStart = "Compiling download and replace list for client";
const QString kStepOneStart = "Compiling download and replace list for updater";

QString invalidLine(const QString &section)
{
    return "Warning: product ini contains invalid line in section " + section;
}

struct DecisionCase
{
    const char *name;
    int clientUpdate;
    QString ini;
    Files installed;
    Files session; // already in the session directory
    QStringList plan; // downloads first, then replacements
    QStringList sessionAfter = {}; // files in the session directory afterwards; checked in step one only
};

TEST(Planning, DecidesEachFileLine)
{
    const QString packedNew = "[bin]\na.dat._lzma2_=${PACKED}::6::${NEW}::3::lib/a.so\n";
    const QString twoPatches = packedNew +
        "a.p1_patch_=${PATCH}::5::${OTHER}::5::lib/a.so\n"
        "a.p2_patch_=${PATCH}::5::${OLD}::3::lib/a.so\n";
    const DecisionCase cases[] = {
        {"missing: whole file",
         1,
         "[bin]\na.dat=${NEW}::3\n",
         {},
         {},
         {"download bin|a.dat|NEW|3", "replace bin|a.dat|NEW|0||"}},
        {"current whole file", 1, "[bin]\na.dat=${NEW}::3\n", {{"a.dat", "new"}}, {}, {}},
        {"changed whole file",
         1,
         "[bin]\nsub/a.dat=${NEW}::3\n",
         {{"sub/a.dat", "other"}},
         {},
         {"download bin|sub/a.dat|NEW|3", "replace bin|sub/a.dat|NEW|0||"}},
        {"digest in upper case still current",
         1,
         "[bin]\na.dat=" + kHashes.at("NEW").toUpper() + "::3\n",
         {{"a.dat", "new"}},
         {},
         {}},
        {"packed lzma2: current", 1, packedNew, {{"lib/a.so", "new"}}, {}, {}},
        {"packed lzma2: missing",
         1,
         packedNew,
         {},
         {},
         {"download bin|a.dat._lzma2_|PACKED|6", "replace bin|a.dat._lzma2_|NEW|3|lib/a.so|"}},
        {"packed without a final digest: the result's signature is fetched too",
         1,
         "[bin]\na.gz=${PACKED}::6::::3::a.so\n",
         {{"a.so", "other"}},
         {},
         {"download bin|a.so.sig||0 signature", "download bin|a.gz|PACKED|6", "replace bin|a.gz||3|a.so|"}},
        {"packed without a final digest, its signature in the session already",
         1,
         "[bin]\na.gz=${PACKED}::6::::3::a.so\n",
         {{"a.so", "other"}},
         {{"a.so.sig", "fetched before"}},
         {"download bin|a.gz|PACKED|6", "replace bin|a.gz||3|a.so|"}},
        {"packed gzip: changed",
         1,
         "[bin]\na.gz=${PACKED}::6::${NEW}::3::lib/a.so\n",
         {{"lib/a.so", "other"}},
         {},
         {"download bin|a.gz|PACKED|6", "replace bin|a.gz|NEW|3|lib/a.so|"}},
        {"one patch, matching base",
         1,
         packedNew + "a.p1_patch_=${PATCH}::5::${OLD}::3::lib/a.so\n",
         {{"lib/a.so", "old"}},
         {},
         {"download bin|a.p1_patch_|PATCH|5", "replace bin|a.dat._lzma2_|NEW|3|lib/a.so|a.p1_patch_"}},
        {"one patch, base does not match, file current",
         1,
         packedNew + "a.p1_patch_=${PATCH}::5::${OLD}::3::lib/a.so\n",
         {{"lib/a.so", "new"}},
         {},
         {}},
        {"one patch, base does not match, file changed",
         1,
         packedNew + "a.p1_patch_=${PATCH}::5::${OLD}::3::lib/a.so\n",
         {{"lib/a.so", "other"}},
         {},
         {"download bin|a.dat._lzma2_|PACKED|6", "replace bin|a.dat._lzma2_|NEW|3|lib/a.so|"}},
        {"two patches, the second's base matches",
         1,
         twoPatches,
         {{"lib/a.so", "old"}},
         {},
         {"download bin|a.p2_patch_|PATCH|5", "replace bin|a.dat._lzma2_|NEW|3|lib/a.so|a.p2_patch_"}},
        {"two patches, the first's base matches",
         1,
         twoPatches,
         {{"lib/a.so", "other"}},
         {},
         {"download bin|a.p1_patch_|PATCH|5", "replace bin|a.dat._lzma2_|NEW|3|lib/a.so|a.p1_patch_"}},
        {"two patches for one base: the later listed wins",
         1,
         packedNew + "a.p1_patch_=${PATCH}::5::${OLD}::3::lib/a.so\na.p2_patch_=${OTHER}::5::${OLD}::3::lib/a.so\n",
         {{"lib/a.so", "old"}},
         {},
         {"download bin|a.p2_patch_|OTHER|5", "replace bin|a.dat._lzma2_|NEW|3|lib/a.so|a.p2_patch_"}},
        {"patches, installed file missing: whole file",
         1,
         twoPatches,
         {},
         {},
         {"download bin|a.dat._lzma2_|PACKED|6", "replace bin|a.dat._lzma2_|NEW|3|lib/a.so|"}},
        {"patch of another section does not apply",
         1,
         packedNew + "[other]\na.p1_patch_=${PATCH}::5::${OLD}::3::lib/a.so\n",
         {{"lib/a.so", "old"}},
         {},
         {"download bin|a.dat._lzma2_|PACKED|6", "replace bin|a.dat._lzma2_|NEW|3|lib/a.so|"}},
        {"whole file already downloaded and right",
         1,
         "[bin]\na.dat=${NEW}::3\n",
         {{"a.dat", "old"}},
         {{"a.dat", "new"}},
         {"replace bin|a.dat|NEW|0||"}},
        {"whole file already downloaded and wrong",
         1,
         "[bin]\na.dat=${NEW}::3\n",
         {},
         {{"a.dat", "other"}},
         {"download bin|a.dat|NEW|3", "replace bin|a.dat|NEW|0||"}},
        {"patch already downloaded and right",
         1,
         twoPatches,
         {{"lib/a.so", "old"}},
         {{"a.p2_patch_", "patch"}},
         {"replace bin|a.dat._lzma2_|NEW|3|lib/a.so|a.p2_patch_"}},
        {"size that is not a number reads as 0",
         1,
         "[bin]\na.dat=${NEW}::big\n",
         {},
         {},
         {"download bin|a.dat|NEW|0", "replace bin|a.dat|NEW|0||"}},

        {"step one: current file copied into the new tree",
         0,
         "[bin]\nupdate=${NEW}::3\n",
         {{"update", "new"}},
         {},
         {},
         {"update"}},
        {"step one: current packed file copied under its installed name",
         0,
         packedNew,
         {{"lib/a.so", "new"}},
         {},
         {},
         {"lib", "lib/a.so"}},
        {"step one: changed file is not copied",
         0,
         "[bin]\nupdate=${NEW}::3\n",
         {{"update", "old"}},
         {},
         {"download bin|update|NEW|3", "replace bin|update|NEW|0||"},
         {}},
        {"step one: copy from an earlier run already in place",
         0,
         packedNew,
         {{"lib/a.so", "new"}},
         {{"lib/a.so", "new"}},
         {},
         {"lib", "lib/a.so"}},
        // The copy cannot overwrite a stale file in the new tree, nor create a directory where a file lies;
        // the new updater would lack the file, so it is fetched like a changed one.
        {"step one: stale file in the new tree",
         0,
         packedNew,
         {{"lib/a.so", "new"}},
         {{"lib/a.so", "other"}},
         {"download bin|a.dat._lzma2_|PACKED|6", "replace bin|a.dat._lzma2_|NEW|3|lib/a.so|"},
         {"lib", "lib/a.so"}},
        {"step one: copy blocked by a file where its directory belongs",
         0,
         packedNew,
         {{"lib/a.so", "new"}},
         {{"lib", "x"}},
         {"download bin|a.dat._lzma2_|PACKED|6", "replace bin|a.dat._lzma2_|NEW|3|lib/a.so|"},
         {"lib"}},
    };
    for (const DecisionCase &c : cases) {
        SCOPED_TRACE(c.name);
        Planning p(c.clientUpdate);
        p.writeIni(c.ini);
        p.install(c.installed);
        p.putInSession(c.session);
        EXPECT_TRUE(p.run());
        EXPECT_EQ(p.messages, QStringList {c.clientUpdate == 1 ? kStepTwoStart : kStepOneStart});
        EXPECT_EQ(describe(p.result), c.plan);
        if (c.clientUpdate == 0) {
            EXPECT_EQ(p.sessionTree(), c.sessionAfter);
        } else {
            EXPECT_EQ(p.sessionTree().size(), int(c.session.size())) << "step two copies nothing";
        }
    }
}

// Many installed files are hashed before the decisions, on several threads: each line is still decided as it is
// alone, whether current, changed or patched.
TEST(Planning, DecidesEveryLineOfALargeInstallation)
{
    Planning p(1);
    QString ini = "[bin]\n";
    Files installed;
    QStringList expected;
    for (int i = 0; i < 48; ++i) {
        const QString n = QString::number(i);
        switch (i % 4) {
        case 0: // current whole file
            ini += "f" + n + ".dat=${NEW}::3\n";
            installed["f" + n + ".dat"] = "new";
            break;
        case 1: // changed whole file
            ini += "f" + n + ".dat=${NEW}::3\n";
            installed["f" + n + ".dat"] = "other";
            expected << "download bin|f" + n + ".dat|NEW|3"
                     << "replace bin|f" + n + ".dat|NEW|0||";
            break;
        case 2: // patched: the base matches
            ini += "p" + n + "._lzma2_=${PACKED}::6::${NEW}::3::lib/p" + n + ".so\n";
            ini += "p" + n + ".x_patch_=${PATCH}::5::${OLD}::3::lib/p" + n + ".so\n";
            installed["lib/p" + n + ".so"] = "old";
            expected << "download bin|p" + n + ".x_patch_|PATCH|5"
                     << "replace bin|p" + n + "._lzma2_|NEW|3|lib/p" + n + ".so|p" + n + ".x_patch_";
            break;
        default: // packed and current, though a patch is listed
            ini += "p" + n + "._lzma2_=${PACKED}::6::${NEW}::3::lib/p" + n + ".so\n";
            ini += "p" + n + ".x_patch_=${PATCH}::5::${OLD}::3::lib/p" + n + ".so\n";
            installed["lib/p" + n + ".so"] = "new";
            break;
        }
    }
    p.writeIni(ini);
    p.install(installed);
    ASSERT_TRUE(p.run());
    QStringList got = describe(p.result);
    got.sort();
    expected.sort();
    EXPECT_EQ(got, expected);
}

TEST(Planning, CopiedUpdaterFileHasTheInstalledContents)
{
    Planning p(0);
    p.writeIni("[bin]\nlib/deep/a.so=${NEW}::3\n");
    p.install({{"lib/deep/a.so", "new"}});
    ASSERT_TRUE(p.run());
    EXPECT_EQ(p.sessionFile("lib/deep/a.so"), QByteArray("new"));
}

TEST(Planning, KeepsTheReadersOrderAcrossSectionsAndKeys)
{
    Planning p(1);
    p.writeIni("[zz]\nb.dat=${NEW}::3\na.dat=${NEW}::3\n[aa]\nc.dat=${NEW}::3\n");
    ASSERT_TRUE(p.run());
    EXPECT_EQ(describe(p.result),
              (QStringList {"download aa|c.dat|NEW|3", "download zz|a.dat|NEW|3", "download zz|b.dat|NEW|3",
                            "replace aa|c.dat|NEW|0||", "replace zz|a.dat|NEW|0||", "replace zz|b.dat|NEW|0||"}));
}

struct MalformedCase
{
    const char *name;
    QString ini;
    bool ok;
    QStringList messages; // after the start message
    QStringList plan;
};

TEST(Planning, MalformedLines)
{
    const QString good = "[bin]\na.dat=${NEW}::3\n";
    const MalformedCase cases[] = {
        {"no file", QString(), false, {"No files in product ini"}, {}},
        {"empty file", "\n", false, {"No files in product ini"}, {}},
        {"keys outside every section only", "a.dat=${NEW}::3\n", false, {"No files in product ini"}, {}},
        {"patch line with four fields after valid lines",
         good + "p_patch_=${PATCH}::5::${OLD}::3\n",
         false,
         {invalidLine("bin")},
         {}},
        {"patch line with six fields",
         good + "p_patch_=${PATCH}::5::${OLD}::3::a.dat::x\n",
         false,
         {invalidLine("bin")},
         {}},
        {"patch line ends planning: later sections are not read",
         "[a]\np_patch_=x\n[b]\nb.dat=${NEW}::3::x\n",
         false,
         {invalidLine("a")},
         {}},
        {"file line with three fields is skipped",
         good + "b.dat=${NEW}::3::x\n",
         true,
         {invalidLine("bin")},
         {"download bin|a.dat|NEW|3", "replace bin|a.dat|NEW|0||"}},
        {"file lines with one, four and six fields",
         "[s]\na=x\nb=1::2::3::4\nc=1::2::3::4::5::6\n",
         true,
         {invalidLine("s"), invalidLine("s"), invalidLine("s")},
         {}},
        // The INI reader turns a value with a comma into a list, which reads as no text at all.
        {"file line with a comma", "[s]\na=${NEW}::3, x\n", true, {invalidLine("s")}, {}},
        {"patch key is case-sensitive: a file line",
         "[s]\np_PATCH_=${NEW}::3\n",
         true,
         {},
         {"download s|p_PATCH_|NEW|3", "replace s|p_PATCH_|NEW|0||"}},
    };
    for (const MalformedCase &c : cases) {
        SCOPED_TRACE(c.name);
        Planning p(1);
        if (!c.ini.isNull())
            p.writeIni(c.ini);
        EXPECT_EQ(p.run(), c.ok);
        EXPECT_EQ(p.messages, QStringList {kStepTwoStart} + c.messages);
        if (c.ok) {
            EXPECT_EQ(describe(p.result), c.plan);
        }
    }
}

TEST(Planning, DeleteSection)
{
    Planning p(1);
    p.writeIni("[delete]\nv0=0\nv2=2\nv9=9\nv10=10\nv11=11\nv12=12\nv13=13\nword=abc\ngone=0\ntree=2\n"
               "sub/file=1\n");
    p.install({{"v0", ""},
               {"v2", ""},
               {"v9", ""},
               {"v10", ""},
               {"v11", ""},
               {"v12", ""},
               {"v13", ""},
               {"word", ""},
               {"tree/inner", ""},
               {"sub/file", ""}});
    ASSERT_TRUE(p.run());
    QStringList deletions;
    for (const DeleteEntry &d : p.result.deletions)
        deletions << d.path + (d.recursive ? " recursive" : "");
    // In the reader's order (sorted by key).
    EXPECT_EQ(deletions, (QStringList {"sub/file", "tree recursive", "v0", "v12", "v2 recursive", "v9", "word"}));
    EXPECT_TRUE(p.result.downloads.isEmpty());
    EXPECT_TRUE(p.result.replacements.isEmpty());
}

TEST(Planning, InstallSections)
{
    Planning p(1);
    p.writeIni("[preinstall]\n"
               "both.sh=win32::LINUX32, --dir::__CV5_DIR__/x__CV5_DIR__::plain, optional\n"
               "twice.sh=linux32::Linux32\n"
               "other.sh=linux64, a\n"
               "capital.sh=linux32, a, Optional\n"
               "[postinstall]\n"
               "post.sh=mac::linux32, b::::c\n"
               "none.sh=\n");
    ASSERT_TRUE(p.run());
    const QString inst = p.config.m_installDir;
    QStringList pre, post;
    for (const InstallCommand &c : p.result.preInstall)
        pre << describe(c);
    for (const InstallCommand &c : p.result.postInstall)
        post << describe(c);
    EXPECT_EQ(pre,
              (QStringList {"both.sh [--dir|" + inst + "/x" + inst + "|plain] optional", "capital.sh [a] required",
                            "twice.sh [] required", "twice.sh [] required"}));
    EXPECT_EQ(post, (QStringList {"post.sh [b||c] required"}));
    EXPECT_TRUE(p.result.downloads.isEmpty());
}

// A command runs from the session directory, so its file is fetched there even when the installed copy is
// current; a copy already in the session, or a file that is not a command, needs nothing.
TEST(Planning, FetchesTheFileOfAnInstallCommandThatIsCurrent)
{
    const struct
    {
        const char *name;
        Files session;
        QStringList plan;
    } cases[] = {
        {"missing from the session", {}, {"download bin|run/pre.sh|NEW|3"}},
        {"already in the session", {{"run/pre.sh", "new"}}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Planning p(1);
        p.writeIni("[bin]\nrun/pre.sh=${NEW}::3\nother.dat=${NEW}::3\n[preinstall]\nrun/pre.sh=linux32\n");
        p.install({{"run/pre.sh", "new"}, {"other.dat", "new"}});
        p.putInSession(c.session);
        ASSERT_TRUE(p.run());
        EXPECT_EQ(describe(p.result), c.plan);
    }
}

TEST(Planning, OperatingSystemNames)
{
    const std::pair<const char *, int> cases[] = {{"win32", 1}, {"WIN64", 2}, {"Linux32", 3}, {"linux64", 4},
                                                  {"MAC", 5},   {"linux", 0}, {"", 0},        {"linux32 ", 0}};
    for (const auto &[name, code] : cases)
        EXPECT_EQ(MakeDownloadReplaceListFunc::osCodeFromName(name), code) << name;
}

TEST(Planning, ProgressCountsFileAndDeleteKeysOverAllKeys)
{
    Planning p(1);
    // Six keys in all: two file lines (one invalid), one patch line, one delete key, two install commands.
    p.writeIni("[bin]\na.dat=${NEW}::3\nb.dat=x\np_patch_=${PATCH}::5::${OLD}::3::a.dat\n[delete]\nd=0\n"
               "[postinstall]\nx.sh=linux32\n[preinstall]\ny.sh=linux32\n");
    ASSERT_TRUE(p.run());
    EXPECT_EQ(p.progress, (QList<qreal> {1.0 / 6, 2.0 / 6, 3.0 / 6}));
}

TEST(Planning, ProductIniNamesPerStep)
{
    Configuration config;
    config.m_tempDir = "/t";
    config.m_clientUpdate = 1;
    EXPECT_EQ(MakeDownloadReplaceListFunc::productIniPath(config), "/t/cv5_client_linux_x86.ini");
    config.m_clientUpdate = 0;
    EXPECT_EQ(MakeDownloadReplaceListFunc::productIniPath(config), "/t/update_linux_x86.ini");
}

TEST(Planning, SafeRelativePaths)
{
    const std::pair<const char *, bool> cases[] = {
        {"a.dat", true},   {"lib/a.so", true},     {"a..b/c..", true}, {"./a", true},
        {".hidden", true}, {"/etc/passwd", false}, {"..", false},      {"../a", false},
        {"a/../b", false}, {"a/..", false},        {"", false},        {".", false},
        {"./", false},     {"//", false},
    };
    for (const auto &[path, safe] : cases)
        EXPECT_EQ(MakeDownloadReplaceListFunc::isSafeRelativePath(path), safe) << path;
}

struct RefusedCase
{
    const char *name;
    QString section;
    QString line;
};

// A current updater file in section [aaa] comes first in the reader's order; a refused line in a later section
// must still stop planning before that file is copied.
TEST(Planning, RefusesPathsOutsideTheDirectories)
{
    const RefusedCase cases[] = {
        {"file key absolute", "zzz", "/tmp/escape.dat=${NEW}::3"},
        {"file key with ..", "zzz", "../escape.dat=${NEW}::3"},
        {"file key with .. written with backslashes", "zzz", "..\\\\escape.dat=${NEW}::3"},
        {"file key with .. inside", "zzz", "a/../../escape.dat=${NEW}::3"},
        {"target name absolute", "zzz", "a.gz=${PACKED}::6::${NEW}::3::/tmp/escape.so"},
        {"target name with ..", "zzz", "a.gz=${PACKED}::6::${NEW}::3::lib/../../escape.so"},
        {"target name the directory itself", "zzz", "a.gz=${PACKED}::6::${NEW}::3::."},
        {"patch key with ..", "zzz", "../p_patch_=${PATCH}::5::${OLD}::3::lib/a.so"},
        {"patch target absolute", "zzz", "p_patch_=${PATCH}::5::${OLD}::3::/lib/a.so"},
        {"patch target with ..", "zzz", "p_patch_=${PATCH}::5::${OLD}::3::../a.so"},
        {"delete key absolute", "delete", "/outside=2"},
        {"delete key with ..", "delete", "../outside=2"},
        {"delete the installation itself", "delete", ".=2"},
        {"preinstall command absolute", "preinstall", "/bin/sh=linux32, -c::x"},
        {"preinstall command with ..", "preinstall", "../../bin/sh=linux32, -c::x"},
        {"postinstall command with ..", "postinstall", "a/../../x.sh=linux32"},
    };
    for (const RefusedCase &c : cases) {
        SCOPED_TRACE(c.name);
        Planning p(0);
        p.writeIni("[aaa]\ncurrent.so=${NEW}::3\n[" + c.section + "]\n" + c.line + "\n");
        p.install({{"current.so", "new"}, {"outside", "keep"}});
        EXPECT_FALSE(p.run());
        EXPECT_EQ(p.messages, (QStringList {kStepOneStart, invalidLine(c.section)}));
        EXPECT_EQ(p.sessionTree(), QStringList()) << "nothing copied";
        EXPECT_TRUE(p.progress.isEmpty());
    }
}

// Through the task: only a complete plan reaches the main task's record.
TEST(MakeDownloadReplaceListTaskSpecification, CopiesOnlyACompletePlanIntoTheMainRecord)
{
    struct Case
    {
        const char *name;
        QString ini;
        int endState;
        QStringList plan;
    };
    const Case cases[] = {
        {"complete",
         "[bin]\na.dat=${NEW}::3\n",
         TASK_FINISHED,
         {"download bin|a.dat|NEW|3", "replace bin|a.dat|NEW|0||"}},
        {"patch line with four fields",
         "[bin]\na.dat=${NEW}::3\np_patch_=x::1::y::2\n",
         TASK_CANCELED,
         {"download earlier|kept|OLD|1"}},
        {"no files", "x=1\n", TASK_CANCELED, {"download earlier|kept|OLD|1"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Planning p(1);
        p.writeIni(c.ini);
        UpdateData mainRecord;
        mainRecord.downloads.append({"earlier", "kept", kHashes.at("OLD"), 1});
        MakeDownloadReplaceListTaskSpecification task(&p.config, &mainRecord, nullptr, 0.05);
        QStringList messages;
        QObject::connect(&task, &TaskSpecification::message, [&](const QString &t) { messages << t; });
        task.execute();
        ASSERT_TRUE(waitForTaskEnd(&task));
        EXPECT_EQ(task.state(), c.endState);
        EXPECT_EQ(describe(mainRecord), c.plan);
        EXPECT_EQ(messages.value(0), kStepTwoStart);
        if (c.endState == TASK_FINISHED) {
            EXPECT_DOUBLE_EQ(task.progress(), 0.05);
        }
    }
}

// The main task's own planning stage, alone in its pipeline, fills the run's plan.
class PlanningOnlyMainTask : public MainTaskSpecification
{
public:
    using MainTaskSpecification::MainTaskSpecification;

protected:
    TaskSpecification *createTask(Stage stage, qreal weight) override
    {
        return stage == Stage::Planning ? MainTaskSpecification::createTask(stage, weight) : nullptr;
    }
};

TEST(MakeDownloadReplaceListTaskSpecification, JoinsTheMainTasksPipeline)
{
    Planning p(1);
    p.writeIni("[bin]\na.dat=${NEW}::3\n");
    PlanningOnlyMainTask task(nullptr, &p.config, nullptr, 1.0);
    task.execute();
    ASSERT_TRUE(waitForTaskEnd(&task));
    EXPECT_EQ(task.state(), TASK_FINISHED);
    ASSERT_EQ(task.allTasks().size(), 1);
    EXPECT_NE(qobject_cast<MakeDownloadReplaceListTaskSpecification *>(task.allTasks()[0]), nullptr);
    EXPECT_DOUBLE_EQ(task.allTasks()[0]->weight(), 0.05);
    EXPECT_EQ(describe(task.updateData), (QStringList {"download bin|a.dat|NEW|3", "replace bin|a.dat|NEW|0||"}));
}

} // namespace
