#include "checksignaturetaskspecification.h"

#include "publisherpublickey.h"
#include "rsakey.h"

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

bool CheckSigFunc::hashFile(const QString &path, filedigest::Algorithm algorithm, QByteArray &digest)
{
    switch (filedigest::hashFile(path, algorithm, digest)) {
    case filedigest::FileStatus::Done:
        return true;
    case filedigest::FileStatus::CannotOpen:
        emit message(tr("Could not open file %1 for reading").arg(path));
        return false;
    case filedigest::FileStatus::CannotRead:
        break;
    }
    emit message(tr("could not read file %1 correctly").arg(path));
    return false;
}

bool CheckSigFunc::checkSHA512()
{
    QByteArray digest;
    if (!hashFile(m_file, filedigest::Algorithm::Sha512, digest))
        return false;
    const bool ok = filedigest::sameDigest(m_expected, digest);
    qDebug() << "SHA512 check:" << m_expected << QString::fromLatin1(digest.toHex()) << "=>" << ok;
    return ok;
}

bool CheckSigFunc::checkRSA()
{
    try {
        QByteArray digest;
        if (!hashFile(m_file, filedigest::Algorithm::Sha1, digest)) {
            qDebug() << "RSA check failed, could not read" << m_file;
            return false;
        }
        if (digest.size() != int(RsaKey::kDigestLength)) {
            qDebug() << "RSA check failed, no SHA-1 digest of" << m_file;
            return false;
        }

        const QString &signaturePath = m_signatureFile;
        QByteArray signature;
        if (!readFile(signaturePath, signature, kMaxSignatureSize)) {
            qDebug() << "RSA check failed, could not read" << signaturePath;
            return false;
        }

        RsaKey key;
        key.importKey(publisherPublicKey, publisherPublicKeyLength);
        const bool ok =
            key.verifyDigest(reinterpret_cast<const unsigned char *>(digest.constData()), RsaKey::kDigestLength,
                             reinterpret_cast<const unsigned char *>(signature.constData()),
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
