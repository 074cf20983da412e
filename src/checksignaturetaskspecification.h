#pragma once

#include "asynctaskspecification.h"
#include "filedigest.h"

#include <QByteArray>
#include <QString>

// Verifies one file on a pool thread: against an expected SHA-512 (hexadecimal, any case), or, when none is
// expected, against the RSA-PSS signature in the file + ".sig" under the built-in public key. Files are hashed
// by filedigest in large pieces of a fixed buffer, so their size costs no memory. Also run synchronously
// (run() on the calling thread) by planning.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // A 1024-bit signature is 128 bytes; anything far larger is not read and fails the check.
    static constexpr qint64 kMaxSignatureSize = 4096;

    // signatureFile is where the RSA check finds the signature; empty means file + ".sig".
    CheckSigFunc(const QString &file, const QString &expected, const QString &signatureFile = QString());

    bool run() override;
    bool checkRSA();
    bool checkSHA512();
    // Reads a whole file of at most maxSize bytes. Failures emit message() for files that cannot be opened
    // or read; an oversized file only fails.
    bool readFile(const QString &path, QByteArray &data, qint64 maxSize);

private:
    // The file's digest; false (with the message of readFile()) when it cannot be opened or read to its end.
    bool hashFile(const QString &path, filedigest::Algorithm algorithm, QByteArray &digest);

    const QString m_file;
    const QString m_expected;
    const QString m_signatureFile;
};

// The asynchronous check of one file. A failed check always reports "Signature check failed for <file>" and
// checkDone(false); with cancelOnFailure the task then ends cancelled, without it the task still finishes.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // signatureFile as for CheckSigFunc: a file checked under a temporary name is signed under its final one.
    CheckSignatureTaskSpecification(const QString &file, const QString &expected, bool cancelOnFailure, QObject *parent,
                                    qreal weight, const QString &signatureFile = QString());

    const QString &file() const { return m_file; }
    const QString &expected() const { return m_expected; }
    bool cancelOnFailure() const { return m_cancelOnFailure; }

signals:
    // Once per run, on the GUI thread, just before the task ends.
    void checkDone(bool ok, CheckSignatureTaskSpecification *task);

protected:
    ASyncFunc *createFunc() override;
    void runDone(bool ok) override;

private:
    const QString m_file;
    const QString m_expected;
    const bool m_cancelOnFailure;
    const QString m_signatureFile;
};
