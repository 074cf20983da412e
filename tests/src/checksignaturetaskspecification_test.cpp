#include "checksignaturetaskspecification.h"
#include "rsakey.h"
#include "support/logcapture.h"
#include "support/sandbox.h"
#include "support/signing.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace {

// Known SHA-512 digests (from sha512sum).
const QString kSha512Abc = "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                           "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";
const QString kSha512Empty = "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
                             "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e";
// 200001 bytes 'a': three full 64 KiB pieces and a partial one.
const QString kSha512ManyA = "1ff7620105e4e90d977b8f6c5c60d9a8a447b8fa8f89353da15f7420e0cd28e8"
                             "a22071aee9bf6d04f8a765b0191dd695db4506ddeaa7c3371a6cd83148ce5b65";
const QByteArray kManyA(200001, 'a');

QByteArray flipped(QByteArray data, int index)
{
    data[index] = char(data[index] ^ 0x40);
    return data;
}

// Writes file and its ".sig" made with the development key.
void writeSigned(const QString &file, const QByteArray &data)
{
    ASSERT_TRUE(Sandbox::writeFile(file, data));
    ASSERT_TRUE(signing::signFile(file));
}

void writeWithSignature(const QString &file, const QByteArray &data, const QByteArray &signature)
{
    ASSERT_TRUE(Sandbox::writeFile(file, data));
    ASSERT_TRUE(Sandbox::writeFile(file + ".sig", signature));
}

struct CheckCase
{
    const char *name;
    std::function<void(const QString &file)> prepare;
    QString expected; // empty: the ".sig" check
    bool ok;
    // Messages before "Signature check failed for <file>", and a fragment of a debug line; "<file>" stands for
    // the checked file's path.
    QStringList messages;
    QString debug;
};

class CheckSignatureTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RsaKey::initCrypto();
        m_otherKey.makeKey();
    }

    QString file(const QString &name) const { return m_sandbox.path(name); }

    QByteArray signedByOtherKey(const QByteArray &data)
    {
        return m_otherKey.signHash(reinterpret_cast<const unsigned char *>(data.constData()),
                                   static_cast<unsigned long>(data.size()));
    }

    std::vector<CheckCase> cases()
    {
        const QByteArray payload = "the payload\n";
        const QByteArray goodSignature = signing::signData(payload);
        return {
            {"sha512 lower case",
             [](const QString &f) { Sandbox::writeFile(f, "abc"); },
             kSha512Abc,
             true,
             {},
             "SHA512 check:"},
            {"sha512 upper case",
             [](const QString &f) { Sandbox::writeFile(f, "abc"); },
             kSha512Abc.toUpper(),
             true,
             {},
             "=> true"},
            {"sha512 empty file", [](const QString &f) { Sandbox::writeFile(f, ""); }, kSha512Empty, true, {}, ""},
            {"sha512 several pieces",
             [](const QString &f) { Sandbox::writeFile(f, kManyA); },
             kSha512ManyA,
             true,
             {},
             ""},
            {"sha512 wrong", [](const QString &f) { Sandbox::writeFile(f, "abd"); }, kSha512Abc, false, {}, "=> false"},
            {"sha512 one byte short",
             [](const QString &f) { Sandbox::writeFile(f, kManyA.left(200000)); },
             kSha512ManyA,
             false,
             {},
             "=> false"},
            {"sha512 missing file",
             [](const QString &) {},
             kSha512Abc,
             false,
             {"Could not open file <file> for reading"},
             ""},
            {"sha512 directory",
             [](const QString &f) { QDir().mkpath(f); },
             kSha512Abc,
             false,
             {"Could not open file <file> for reading"},
             ""},
            // Opens, but reading at offset 0 of the own address space fails.
            {"sha512 read error",
             [](const QString &f) { QFile::link("/proc/self/mem", f); },
             kSha512Abc,
             false,
             {"could not read file <file> correctly"},
             ""},
            {"rsa correct",
             [=](const QString &f) { writeWithSignature(f, payload, goodSignature); },
             "",
             true,
             {},
             "RSA check true"},
            {"rsa several pieces", [](const QString &f) { writeSigned(f, kManyA); }, "", true, {}, "RSA check true"},
            {"rsa empty file", [](const QString &f) { writeSigned(f, ""); }, "", true, {}, "RSA check true"},
            {"rsa other key",
             [this, payload](const QString &f) { writeWithSignature(f, payload, signedByOtherKey(payload)); },
             "",
             false,
             {},
             "RSA check"},
            {"rsa flipped file byte",
             [=](const QString &f) { writeWithSignature(f, flipped(payload, 3), goodSignature); },
             "",
             false,
             {},
             "RSA check false"},
            {"rsa file one byte short",
             [](const QString &f) {
                 writeSigned(f, kManyA);
                 Sandbox::writeFile(f, kManyA.left(200000));
             },
             "",
             false,
             {},
             "RSA check false"},
            {"rsa flipped signature byte",
             [=](const QString &f) { writeWithSignature(f, payload, flipped(goodSignature, 64)); },
             "",
             false,
             {},
             "RSA check"},
            {"rsa truncated signature",
             [=](const QString &f) { writeWithSignature(f, payload, goodSignature.left(127)); },
             "",
             false,
             {},
             "RSA check failed, caught exception"},
            {"rsa signature one byte long",
             [=](const QString &f) { writeWithSignature(f, payload, goodSignature + 'x'); },
             "",
             false,
             {},
             "RSA check failed, caught exception"},
            {"rsa empty signature",
             [=](const QString &f) { writeWithSignature(f, payload, ""); },
             "",
             false,
             {},
             "RSA check failed, caught exception"},
            {"rsa oversized signature",
             [=](const QString &f) { writeWithSignature(f, payload, goodSignature + QByteArray(64 * 1024, 'x')); },
             "",
             false,
             {},
             "RSA check failed, could not read \"<file>.sig\""},
            {"rsa missing signature",
             [=](const QString &f) { Sandbox::writeFile(f, payload); },
             "",
             false,
             {"Could not open file <file>.sig for reading"},
             "RSA check failed, could not read \"<file>.sig\""},
            {"rsa read error",
             [](const QString &f) { QFile::link("/proc/self/mem", f); },
             "",
             false,
             {"could not read file <file> correctly"},
             "RSA check failed, could not read \"<file>\""},
            {"rsa missing file",
             [](const QString &) {},
             "",
             false,
             {"Could not open file <file> for reading"},
             "RSA check failed, could not read \"<file>\""},
        };
    }

    Sandbox m_sandbox;
    RsaKey m_otherKey;
};

QString withFile(QString text, const QString &file)
{
    return text.replace("<file>", file);
}

QStringList withFile(const QStringList &texts, const QString &file)
{
    QStringList result;
    for (const QString &text : texts)
        result << withFile(text, file);
    return result;
}

} // namespace

TEST_F(CheckSignatureTest, ReportsEachCaseWithEndStateAndMessages)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "built with the publisher's key";
    int index = 0;
    for (const CheckCase &c : cases()) {
        for (const bool cancelOnFailure : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (cancelOnFailure ? ", cancelOnFailure" : ", report only"));
            const QString path = file(QString("case %1/checked file").arg(index++));
            ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
            c.prepare(path);

            LogCapture log;
            CheckSignatureTaskSpecification task(path, c.expected, cancelOnFailure, nullptr, 0.25);
            QSignalSpy done(&task, &CheckSignatureTaskSpecification::checkDone);
            QSignalSpy finished(&task, &TaskSpecification::finished);
            QSignalSpy canceled(&task, &TaskSpecification::canceled);
            QSignalSpy messages(&task, &TaskSpecification::message);
            task.execute();
            ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() + canceled.count() > 0; }, 20000));

            ASSERT_EQ(done.count(), 1);
            EXPECT_EQ(done.at(0).at(0).toBool(), c.ok);
            EXPECT_EQ(done.at(0).at(1).value<CheckSignatureTaskSpecification *>(), &task);

            QStringList expectedMessages = withFile(c.messages, path);
            if (!c.ok)
                expectedMessages << "Signature check failed for " + path;
            QStringList got;
            for (const QList<QVariant> &m : messages)
                got << m.at(0).toString();
            EXPECT_EQ(got.join('\n').toStdString(), expectedMessages.join('\n').toStdString());

            const bool endsCancelled = !c.ok && cancelOnFailure;
            EXPECT_EQ(task.state(), endsCancelled ? TASK_CANCELED : TASK_FINISHED);
            EXPECT_EQ(finished.count(), endsCancelled ? 0 : 1);
            EXPECT_EQ(canceled.count(), endsCancelled ? 1 : 0);
            if (!endsCancelled) {
                EXPECT_DOUBLE_EQ(task.progress(), 0.25);
            }
            if (!c.debug.isEmpty()) {
                EXPECT_TRUE(log.contains(withFile(c.debug, path))) << log.lines().join('\n').toStdString();
            }
            if (!c.ok) {
                EXPECT_TRUE(log.contains("Signature check failed for \"" + path + "\""));
            }
        }
    }
}

// The planning step runs the work object on its own thread; it must give the same answers there.
TEST_F(CheckSignatureTest, WorkObjectRunsSynchronously)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "built with the publisher's key";
    const QString path = file("product.ini");
    writeSigned(path, "[files]\n");
    CheckSigFunc rsa(path, "");
    EXPECT_TRUE(rsa.run());

    CheckSigFunc missing(file("missing"), kSha512Abc);
    QSignalSpy messages(&missing, &ASyncFunc::message);
    EXPECT_FALSE(missing.run());
    ASSERT_EQ(messages.count(), 1);
    EXPECT_EQ(messages.at(0).at(0).toString(), "Could not open file " + file("missing") + " for reading");
}

TEST_F(CheckSignatureTest, ReadFileRefusesFilesAboveTheLimit)
{
    const QString path = file("data");
    ASSERT_TRUE(Sandbox::writeFile(path, "12345"));
    CheckSigFunc func(path, "");
    QByteArray data;
    EXPECT_TRUE(func.readFile(path, data, 5));
    EXPECT_EQ(data, "12345");
    EXPECT_FALSE(func.readFile(path, data, 4));
}

TEST_F(CheckSignatureTest, SeveralChecksAtOnceGetTheirOwnResults)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "built with the publisher's key";
    // At least four pool threads, also on small machines, so that the checks really overlap.
    QThreadPool *pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    pool->setMaxThreadCount(std::max(4, threads));
    const std::unique_ptr<QThreadPool, std::function<void(QThreadPool *)>> restore(
        pool, [threads](QThreadPool *p) { p->setMaxThreadCount(threads); });
    struct Check
    {
        std::unique_ptr<CheckSignatureTaskSpecification> task;
        bool ok;
    };
    std::vector<Check> checks;
    for (int i = 0; i < 12; ++i) {
        const QString path = file(QString("file %1").arg(i));
        const QByteArray data = kManyA + QByteArray::number(i);
        const bool good = i % 3 != 0;
        QString expected;
        if (i % 2 == 0) {
            writeSigned(path, data);
            if (!good)
                Sandbox::writeFile(path, data + "!");
        } else {
            Sandbox::writeFile(path, good ? data : data + "!");
            expected = QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex();
        }
        checks.push_back({std::make_unique<CheckSignatureTaskSpecification>(path, expected, true, nullptr, 1.0), good});
    }

    std::map<CheckSignatureTaskSpecification *, bool> results;
    for (Check &check : checks) {
        QObject::connect(check.task.get(), &CheckSignatureTaskSpecification::checkDone,
                         [&results](bool ok, CheckSignatureTaskSpecification *task) { results[task] = ok; });
    }
    for (Check &check : checks)
        check.task->execute();
    ASSERT_TRUE(QTest::qWaitFor([&] { return results.size() == checks.size(); }, 60000));
    for (size_t i = 0; i < checks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[checks[i].task.get()], checks[i].ok);
        EXPECT_EQ(checks[i].task->state(), checks[i].ok ? TASK_FINISHED : TASK_CANCELED);
    }
}

TEST_F(CheckSignatureTest, ResultAfterResetChangesNothing)
{
    const QString path = file("data");
    ASSERT_TRUE(Sandbox::writeFile(path, "abc"));
    CheckSignatureTaskSpecification task(path, kSha512Abc, true, nullptr, 1.0);
    QSignalSpy done(&task, &CheckSignatureTaskSpecification::checkDone);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    task.reset(); // waits for the pool, so the result is already queued
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(done.count(), 0);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(task.state(), TASK_IDLE);
}
