#include "signing.h"

#include "rsakey.h"

#include <QFile>
#include <QProcess>

namespace signing {

bool hasDevelopmentKey()
{
    return !developmentPrivateKeyDer().isEmpty() && QFile::exists(developmentPrivateKeyDer());
}

QString developmentPrivateKeyPem()
{
    return QStringLiteral(CORVALINK_DEV_PRIVATE_KEY_PEM);
}

QString developmentPrivateKeyDer()
{
    return QStringLiteral(CORVALINK_DEV_PRIVATE_KEY_DER);
}

QString builtinPublicKeyDer()
{
    return QStringLiteral(CORVALINK_BUILTIN_PUBLIC_KEY_DER);
}

QByteArray signData(const QByteArray &data)
{
    RsaKey::initCrypto();
    RsaKey key;
    if (!key.importFromFile(developmentPrivateKeyDer()))
        return {};
    return key.signHash(reinterpret_cast<const unsigned char *>(data.constData()),
                        static_cast<unsigned long>(data.size()));
}

bool signFile(const QString &path)
{
    QFile file(path);
    if (!hasDevelopmentKey() || !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray signature = signData(file.readAll());
    return !signature.isEmpty() && RsaKey::writeFile(path + ".sig", signature);
}

int runOpenssl(const QStringList &arguments)
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    openssl.start("openssl", arguments);
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit)
        return -1;
    return openssl.exitCode();
}

} // namespace signing
