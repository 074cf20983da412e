#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Signing with the build's development key, as the publisher signs the files on the update server.
// Builds made with the publisher's own key have no development private key: hasDevelopmentKey() is then
// false, and tests that need signed files skip (GTEST_SKIP).
namespace signing {

bool hasDevelopmentKey();
QString developmentPrivateKeyPem(); // for openssl
QString developmentPrivateKeyDer(); // for RsaKey::importFromFile
QString builtinPublicKeyDer(); // the key compiled into the program

// Writes path + ".sig": RSASSA-PSS over the SHA-1 of the file, salt length 8, with the development key.
// Sets up the crypto library itself. Returns false when the file cannot be read or the ".sig" written.
bool signFile(const QString &path);
// The signature of data under the development key.
QByteArray signData(const QByteArray &data);

// Runs the openssl command-line tool and returns its exit code (-1 when it could not be run).
int runOpenssl(const QStringList &arguments);

} // namespace signing
