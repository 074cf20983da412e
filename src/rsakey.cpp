#include "rsakey.h"

#include <QFile>
#include <QSaveFile>

#include <vector>

namespace {

void sha1(const unsigned char *data, unsigned long length, unsigned char (&digest)[RsaKey::kDigestLength])
{
    hash_state state;
    RsaKey::check(sha1_init(&state), "sha1_init");
    RsaKey::check(sha1_process(&state, data, length), "sha1_process");
    RsaKey::check(sha1_done(&state, digest), "sha1_done");
}

} // namespace

int RsaKey::s_hashIndex = -1;
int RsaKey::s_prngIndex = -1;

RsaKey::~RsaKey()
{
    freeKey();
}

void RsaKey::initCrypto()
{
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    // Checks may already run on pool threads when the engine initialises again; they read ltc_mp, so it is
    // written only while it is still unset.
    if (ltc_mp.name != ltm_desc.name)
        ltc_mp = ltm_desc;
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sprng");
    s_hashIndex = find_hash("sha1");
    s_prngIndex = find_prng("sprng");
}

void RsaKey::check(int result, const char *call)
{
    if (result != CRYPT_OK)
        throw crypt_exception(std::string(call) + ": " + error_to_string(result));
}

void RsaKey::importKey(const unsigned char *data, unsigned long length)
{
    // Without a math back end the library aborts the process instead of returning an error.
    if (ltc_mp.name == nullptr)
        throw crypt_exception("rsa_import: crypto library not initialised");
    freeKey();
    check(rsa_import(data, length, &m_key), "rsa_import");
    m_hasKey = true;
}

bool RsaKey::verifyHash(const unsigned char *data, unsigned long length, const unsigned char *signature,
                        unsigned long signatureLength)
{
    unsigned char digest[kDigestLength];
    sha1(data, length, digest);
    return verifyDigest(digest, sizeof digest, signature, signatureLength);
}

bool RsaKey::verifyDigest(const unsigned char *digest, unsigned long digestLength, const unsigned char *signature,
                          unsigned long signatureLength)
{
    requireKey("rsa_verify_hash");
    int valid = 0;
    check(rsa_verify_hash_ex(signature, signatureLength, digest, digestLength, LTC_PKCS_1_PSS, s_hashIndex, kSaltLength,
                             &valid, &m_key),
          "rsa_verify_hash");
    // CRYPT_OK only says the signature could be processed; whether it matches is in valid.
    return valid == 1;
}

QByteArray RsaKey::signHash(const unsigned char *data, unsigned long length)
{
    requireKey("rsa_sign_hash");
    unsigned char digest[kDigestLength];
    sha1(data, length, digest);

    std::vector<unsigned char> out(static_cast<size_t>(rsa_get_size(&m_key)) + 1);
    unsigned long outLength = out.size();
    check(rsa_sign_hash_ex(digest, sizeof digest, out.data(), &outLength, LTC_PKCS_1_PSS, nullptr, s_prngIndex,
                           s_hashIndex, kSaltLength, &m_key),
          "rsa_sign_hash");
    return QByteArray(reinterpret_cast<const char *>(out.data()), static_cast<int>(outLength));
}

void RsaKey::makeKey()
{
    if (ltc_mp.name == nullptr)
        throw crypt_exception("rsa_make_key: crypto library not initialised");
    freeKey();
    check(rsa_make_key(nullptr, s_prngIndex, kKeyBytes, kPublicExponent, &m_key), "rsa_make_key");
    m_hasKey = true;
}

bool RsaKey::exportToFile(const QString &path, int type) const
{
    requireKey("rsa_export");
    unsigned char out[4096];
    unsigned long outLength = sizeof out;
    // rsa_export does not change the key; its parameter is not const.
    check(rsa_export(out, &outLength, type, const_cast<rsa_key *>(&m_key)), "rsa_export");
    return writeFile(path, QByteArray(reinterpret_cast<const char *>(out), static_cast<int>(outLength)));
}

bool RsaKey::importFromFile(const QString &path)
{
    QByteArray data;
    if (!readFile(path, data, kMaxKeyFileSize))
        return false;
    importKey(reinterpret_cast<const unsigned char *>(data.constData()), static_cast<unsigned long>(data.size()));
    return true;
}

bool RsaKey::readFile(const QString &path, QByteArray &data, qint64 maxSize)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // One byte more than allowed tells an oversized file apart, also where size() is not known.
    data = file.read(maxSize + 1);
    return !(file.error() != QFileDevice::NoError || data.size() > maxSize);
}

bool RsaKey::writeFile(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit();
}

void RsaKey::requireKey(const char *call) const
{
    if (!m_hasKey)
        throw crypt_exception(std::string(call) + ": no key loaded");
}

void RsaKey::freeKey()
{
    if (m_hasKey) {
        rsa_free(&m_key);
        m_hasKey = false;
    }
}
