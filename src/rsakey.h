#pragma once

#include "crypt_exception.h"

#include <QByteArray>
#include <QString>

#include <tomcrypt.h>

// One RSA key of libtomcrypt, and the library's process-wide set-up. Signatures are RSASSA-PSS (PKCS #1
// v2.1) over SHA-1, MGF1 with SHA-1, salt length 8. Every library failure throws crypt_exception with the
// call's name and the library's error text; a well-formed signature that does not match is not a failure.
// One object per thread: an RsaKey is not shared, the library's tables are only read after initCrypto().
class RsaKey
{
public:
    static constexpr unsigned long kDigestLength = 20; // SHA-1
    static constexpr unsigned long kSaltLength = 8;
    static constexpr int kKeyBytes = 128; // makeKey(): 1024-bit modulus
    static constexpr long kPublicExponent = 65537;
    static constexpr qint64 kMaxKeyFileSize = 2048; // importFromFile() reads no more than this

    RsaKey() = default;
    ~RsaKey();
    RsaKey(const RsaKey &) = delete;
    RsaKey &operator=(const RsaKey &) = delete;

    // Registers SHA-1 and the system random generator and selects libtommath. Call once on the GUI thread
    // before any key is used; calling again is harmless. Throws crypt_exception.
    static void initCrypto();
    static int hashIndex() { return s_hashIndex; }
    static int prngIndex() { return s_prngIndex; }

    // Throws crypt_exception("<call>: <library text>") unless result is CRYPT_OK.
    static void check(int result, const char *call);

    // Loads a DER key (PKCS #1 public or private, or X.509 SubjectPublicKeyInfo), replacing the current one.
    void importKey(const unsigned char *data, unsigned long length);
    // True when signature is a valid signature of data's SHA-1 digest under this key; false when it is
    // well formed but does not match. Throws when the library cannot process it (e.g. wrong length).
    bool verifyHash(const unsigned char *data, unsigned long length, const unsigned char *signature,
                    unsigned long signatureLength);
    // As verifyHash(), for a SHA-1 digest computed by the caller (large files are hashed in pieces).
    bool verifyDigest(const unsigned char *digest, unsigned long digestLength, const unsigned char *signature,
                      unsigned long signatureLength);
    // Signs data's SHA-1 digest; needs a private key. Returns the signature bytes.
    QByteArray signHash(const unsigned char *data, unsigned long length);

    // Replaces the key by a new 1024-bit private key with exponent 65537.
    void makeKey();
    // Writes the key as DER: type PK_PUBLIC gives the 140-byte RSAPublicKey of a 1024-bit key, PK_PRIVATE
    // the RSAPrivateKey. Returns false when the file cannot be written.
    bool exportToFile(const QString &path, int type) const;
    // Reads at most kMaxKeyFileSize bytes of a DER key file and imports them. Returns false when the file
    // cannot be read; a file the library cannot import throws.
    bool importFromFile(const QString &path);

    // Whole-file helpers: readFile() fails for files larger than maxSize.
    static bool readFile(const QString &path, QByteArray &data, qint64 maxSize);
    static bool writeFile(const QString &path, const QByteArray &data);

private:
    void requireKey(const char *call) const;
    void freeKey();

    rsa_key m_key {};
    bool m_hasKey = false;

    static int s_hashIndex;
    static int s_prngIndex;
};
