#include "checksignaturetaskspecification.h"

#include "publisherpublickey.h"
#include "rsakey.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>

CheckSigFunc::CheckSigFunc(const QString &file, const QString &expected, const QString &signatureFile)
    : m_file(file)
    , m_expected(expected)
    , m_signatureFile(signatureFile.isEmpty() ? file + ".sig" : signatureFile)
{
}

bool CheckSigFunc::run()
{
    return m_expected.isEmpty() ? checkRSA() : checkSHA512();
}

bool CheckSigFunc::readFile(const QString &path, QByteArray &data, qint64 maxSize)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
        emit message(tr("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = in.size();
    if (size > maxSize) {
        qDebug() << "File too large to read:" << path << size;
        return false;
    }
    data = in.read(size);
    if (data.size() != size) {
        emit message(tr("could not read file %1 correctly").arg(path));
        return false;
    }
    return true;
}

bool CheckSigFunc::hashFile(const QString &path, const std::function<void(const char *, qint64)> &consume)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
        emit message(tr("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = in.size();
    QByteArray buffer(int(kChunkSize), Qt::Uninitialized);
    qint64 total = 0;
    qint64 count = 0;
    while ((count = in.read(buffer.data(), kChunkSize)) > 0) {
        consume(buffer.constData(), count);
        total += count;
    }
    if (count < 0 || total < size) {
        emit message(tr("could not read file %1 correctly").arg(path));
        return false;
    }
    return true;
}

bool CheckSigFunc::checkSHA512()
{
    QCryptographicHash hash(QCryptographicHash::Sha512);
    if (!hashFile(m_file, [&hash](const char *data, qint64 length) { hash.addData(data, int(length)); }))
        return false;
    const QString computed = QString::fromLatin1(hash.result().toHex());
    const bool ok = m_expected.compare(computed, Qt::CaseInsensitive) == 0;
    qDebug() << "SHA512 check:" << m_expected << computed << "=>" << ok;
    return ok;
}

bool CheckSigFunc::checkRSA()
{
    try {
        hash_state sha1;
        RsaKey::check(sha1_init(&sha1), "sha1_init");
        const auto addToDigest = [&sha1](const char *data, qint64 length) {
            RsaKey::check(
                sha1_process(&sha1, reinterpret_cast<const unsigned char *>(data), static_cast<unsigned long>(length)),
                "sha1_process");
        };
        if (!hashFile(m_file, addToDigest)) {
            qDebug() << "RSA check failed, could not read" << m_file;
            return false;
        }
        unsigned char digest[RsaKey::kDigestLength];
        RsaKey::check(sha1_done(&sha1, digest), "sha1_done");

        const QString &signaturePath = m_signatureFile;
        QByteArray signature;
        if (!readFile(signaturePath, signature, kMaxSignatureSize)) {
            qDebug() << "RSA check failed, could not read" << signaturePath;
            return false;
        }

        RsaKey key;
        key.importKey(publisherPublicKey, publisherPublicKeyLength);
        const bool ok =
            key.verifyDigest(digest, sizeof digest, reinterpret_cast<const unsigned char *>(signature.constData()),
                             static_cast<unsigned long>(signature.size()));
        qDebug() << "RSA check" << ok;
        return ok;
    } catch (const crypt_exception &e) {
        qDebug() << "RSA check failed, caught exception" << e.what();
        return false;
    }
}

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString &file, const QString &expected,
                                                                 bool cancelOnFailure, QObject *parent, qreal weight,
                                                                 const QString &signatureFile)
    : ASyncTaskSpecification(parent, weight)
    , m_file(file)
    , m_expected(expected)
    , m_cancelOnFailure(cancelOnFailure)
    , m_signatureFile(signatureFile)
{
}

ASyncFunc *CheckSignatureTaskSpecification::createFunc()
{
    return new CheckSigFunc(m_file, m_expected, m_signatureFile);
}

void CheckSignatureTaskSpecification::runDone(bool ok)
{
    if (state() != TASK_RUNNING)
        return;
    if (!ok) {
        qDebug() << "Signature check failed for" << m_file;
        emit message(tr("Signature check failed for %1").arg(m_file));
    }
    emit checkDone(ok, this);
    // A check that only reports still finishes its task.
    ASyncTaskSpecification::runDone(ok || !m_cancelOnFailure);
}
