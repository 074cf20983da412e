#include "publisherpublickey.h"
#include "rsakey.h"
#include "support/sandbox.h"
#include "support/signing.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// A throw-away 1024-bit key (its private half was discarded) and its signature of "abc", made with
// openssl dgst -sha1 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:8.
const QByteArray kKnownKey = QByteArray::fromRawData("\x30\x81\x89\x02\x81\x81\x00\x91\x76\x53\x19\xd9\x1c\x38\xc9\x4a"
                                                     "\x92\x08\x2e\x54\x87\xe4\x2c\x5e\xdf\xb8\x73\xf6\x8e\x3d\x78\x5c"
                                                     "\x5a\x4c\x47\xac\x85\x08\x3d\xdc\x13\x97\x6e\x5c\xc7\xc3\xcd\x7c"
                                                     "\xd9\x8e\x92\xe7\x90\xb0\xab\xc0\xf8\x7b\xad\xe0\x7d\xb3\xd0\xb0"
                                                     "\x59\x7b\x44\xa8\xcc\xf1\x15\x8b\xd5\x00\xaa\x5e\x40\x92\x45\x31"
                                                     "\x44\x98\x1b\x2b\xe1\x9e\x35\xc0\x23\x2e\x23\x70\x40\x79\x0d\x4d"
                                                     "\x14\x7d\x08\xcc\x1b\x70\x60\x8b\x93\xa8\x44\x00\x19\xf7\xe7\xcc"
                                                     "\x67\xf7\x3d\xd6\xbd\x72\x6d\x6e\x86\x35\xba\x85\xb1\x14\x8a\xf1"
                                                     "\xe5\x44\x3d\x71\x4b\xb1\x2b\x02\x03\x01\x00\x01",
                                                     140);
const QByteArray kKnownSignature =
    QByteArray::fromRawData("\x22\x48\x79\x07\xd6\x64\x4d\xe9\x65\x29\xe0\x1a\xb9\xbd\xdc\xf9"
                            "\x2a\xd0\x90\x6c\x1f\x9a\xfb\x0b\x62\xf3\x47\x07\xa5\x74\xeb\x0e"
                            "\x33\x6c\x03\x20\x5a\x33\x6a\xa4\xf2\x60\xab\xf7\x06\x56\x8c\x01"
                            "\xfa\xbc\xc9\x37\xfd\x13\x7d\x31\x16\x23\xb8\x2c\xbf\x38\xe8\x1b"
                            "\x0c\x49\xbc\x08\xff\x2a\xe6\x07\x62\x6d\x34\x58\x84\x75\x48\xb5"
                            "\x0a\xd1\xfa\x25\xbd\x11\xc5\xfc\x14\xf6\x73\xcd\x66\x45\x61\x24"
                            "\x34\x63\x29\x1f\x9e\x2f\x06\x19\xe6\xad\xe8\x04\x05\x6f\x6a\xba"
                            "\x49\xf8\xb7\xf5\xc4\x0b\xc8\xe7\x69\x37\x2d\x28\x4f\x04\x32\x66",
                            128);

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

unsigned long length(const QByteArray &data)
{
    return static_cast<unsigned long>(data.size());
}

void importKey(RsaKey &key, const QByteArray &der)
{
    key.importKey(bytes(der), length(der));
}

bool verify(RsaKey &key, const QByteArray &data, const QByteArray &signature)
{
    return key.verifyHash(bytes(data), length(data), bytes(signature), length(signature));
}

// What verifyHash() makes of a signature: libtomcrypt reports a mismatch only when the signature decodes to
// a well-formed PSS block; anything else (another key, a corrupted signature) is an error and throws.
enum class Outcome { Valid, Mismatch, Throws };

std::ostream &operator<<(std::ostream &out, Outcome outcome)
{
    const char *names[] = {"Valid", "Mismatch", "Throws"};
    return out << names[static_cast<int>(outcome)];
}

Outcome verifyOutcome(RsaKey &key, const QByteArray &data, const QByteArray &signature)
{
    try {
        return verify(key, data, signature) ? Outcome::Valid : Outcome::Mismatch;
    } catch (const crypt_exception &) {
        return Outcome::Throws;
    }
}

// The text of the crypt_exception that f throws, or "no exception".
template<typename F> std::string thrownText(F f)
{
    try {
        f();
    } catch (const crypt_exception &e) {
        return e.what();
    }
    return "no exception";
}

bool startsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

class RsaKeyTest : public ::testing::Test
{
protected:
    void SetUp() override { RsaKey::initCrypto(); }
    Sandbox m_sandbox;
};

} // namespace

TEST_F(RsaKeyTest, InitCryptoCanRunAgain)
{
    const int hash = RsaKey::hashIndex();
    const int prng = RsaKey::prngIndex();
    EXPECT_GE(hash, 0);
    EXPECT_GE(prng, 0);
    RsaKey::initCrypto();
    EXPECT_EQ(RsaKey::hashIndex(), hash);
    EXPECT_EQ(RsaKey::prngIndex(), prng);
}

TEST_F(RsaKeyTest, VerifiesKnownSignature)
{
    QByteArray flippedSignature = kKnownSignature;
    flippedSignature[60] = char(flippedSignature[60] ^ 0x01);
    struct Case
    {
        const char *name;
        QByteArray data;
        QByteArray signature;
        Outcome outcome;
    };
    const Case cases[] = {
        {"matching", "abc", kKnownSignature, Outcome::Valid},
        {"other data", "abd", kKnownSignature, Outcome::Mismatch},
        {"empty data", "", kKnownSignature, Outcome::Mismatch},
        {"flipped signature byte", "abc", flippedSignature, Outcome::Throws},
    };
    RsaKey key;
    importKey(key, kKnownKey);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(verifyOutcome(key, c.data, c.signature), c.outcome);
    }
}

// A well-formed signature that does not match is a plain false; what the library cannot process throws.
TEST_F(RsaKeyTest, LibraryErrorsThrowWithCallName)
{
    RsaKey key;
    importKey(key, kKnownKey);
    RsaKey empty;
    RsaKey scratch;
    struct Case
    {
        const char *name;
        std::function<void()> call;
        std::string prefix;
    };
    const Case cases[] = {
        {"short signature", [&] { verify(key, "abc", kKnownSignature.left(127)); }, "rsa_verify_hash: "},
        {"long signature", [&] { verify(key, "abc", kKnownSignature + '\0'); }, "rsa_verify_hash: "},
        {"empty signature", [&] { verify(key, "abc", QByteArray()); }, "rsa_verify_hash: "},
        {"garbage key", [&] { importKey(scratch, "\x30\x03\x02\x01\x05"); }, "rsa_import: "},
        {"truncated key", [&] { importKey(scratch, kKnownKey.left(139)); }, "rsa_import: "},
        {"no key", [&] { verify(empty, "abc", kKnownSignature); }, "rsa_verify_hash: "},
        {"sign with public key", [&] { key.signHash(bytes("abc"), 3); }, "rsa_sign_hash: "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = thrownText(c.call);
        EXPECT_TRUE(startsWith(text, c.prefix)) << text;
        EXPECT_GT(text.size(), c.prefix.size()) << "the library's error text is missing";
    }
}

TEST_F(RsaKeyTest, ErrorCheckNamesCallAndLibraryText)
{
    EXPECT_EQ(thrownText([] { RsaKey::check(CRYPT_OK, "rsa_import"); }), "no exception");
    EXPECT_EQ(thrownText([] { RsaKey::check(CRYPT_INVALID_PACKET, "rsa_import"); }),
              std::string("rsa_import: ") + error_to_string(CRYPT_INVALID_PACKET));
}

TEST_F(RsaKeyTest, MadeKeySignsExportsAndImports)
{
    RsaKey made;
    made.makeKey();
    const QString publicPath = m_sandbox.path("made public.der");
    const QString privatePath = m_sandbox.path("made private.der");
    ASSERT_TRUE(made.exportToFile(publicPath, PK_PUBLIC));
    ASSERT_TRUE(made.exportToFile(privatePath, PK_PRIVATE));

    // The form that the build accepts as a publisher's key.
    const QByteArray publicDer = Sandbox::readFile(publicPath);
    EXPECT_EQ(publicDer.size(), 140);
    EXPECT_TRUE(publicDer.startsWith(QByteArray::fromHex("30818902818100"))) << publicDer.toHex().constData();
    EXPECT_TRUE(publicDer.endsWith(QByteArray::fromHex("0203010001"))) << publicDer.toHex().constData();

    const QByteArray data = "payload";
    const QByteArray signature = made.signHash(bytes(data), length(data));
    EXPECT_EQ(signature.size(), 128);

    RsaKey publicKey;
    ASSERT_TRUE(publicKey.importFromFile(publicPath));
    EXPECT_TRUE(verify(publicKey, data, signature));
    EXPECT_FALSE(verify(publicKey, "payloaD", signature));

    RsaKey privateKey;
    ASSERT_TRUE(privateKey.importFromFile(privatePath));
    EXPECT_TRUE(verify(publicKey, data, privateKey.signHash(bytes(data), length(data))));

    RsaKey other;
    importKey(other, kKnownKey);
    EXPECT_NE(verifyOutcome(other, data, signature), Outcome::Valid);
}

TEST_F(RsaKeyTest, ImportFromFileRefusesMissingAndOversizedFiles)
{
    const QString oversized = m_sandbox.path("big.der");
    ASSERT_TRUE(Sandbox::writeFile(oversized, kKnownKey + QByteArray(RsaKey::kMaxKeyFileSize, '\0')));
    RsaKey key;
    EXPECT_FALSE(key.importFromFile(m_sandbox.path("missing.der")));
    EXPECT_FALSE(key.importFromFile(oversized));
    EXPECT_FALSE(key.importFromFile(m_sandbox.root())); // a directory
}

TEST_F(RsaKeyTest, BuiltinKeyIsTheConfiguredOne)
{
    const QByteArray builtin(reinterpret_cast<const char *>(publisherPublicKey), int(publisherPublicKeyLength));
    EXPECT_EQ(builtin.toHex().toStdString(), Sandbox::readFile(signing::builtinPublicKeyDer()).toHex().toStdString());
    RsaKey key;
    importKey(key, builtin);
}

TEST_F(RsaKeyTest, OpensslSignatureVerifies)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "built with the publisher's key";
    const QString file = m_sandbox.path("data file");
    ASSERT_TRUE(Sandbox::writeFile(file, QByteArray(100000, 'x') + "end"));
    const QStringList sign = {"dgst",    "-sha1",
                              "-sigopt", "rsa_padding_mode:pss",
                              "-sigopt", "rsa_pss_saltlen:8",
                              "-sign",   signing::developmentPrivateKeyPem(),
                              "-out",    file + ".sig",
                              file};
    ASSERT_EQ(signing::runOpenssl(sign), 0);
    // OpenSSL's own default salt length is not 8: such signatures are rejected.
    QStringList defaultSalt = sign;
    defaultSalt.removeAt(4);
    defaultSalt.removeAt(4);
    defaultSalt.replace(defaultSalt.indexOf(file + ".sig"), file + ".sig2");
    ASSERT_EQ(signing::runOpenssl(defaultSalt), 0);

    RsaKey key;
    key.importKey(publisherPublicKey, publisherPublicKeyLength);
    const QByteArray data = Sandbox::readFile(file);
    EXPECT_TRUE(verify(key, data, Sandbox::readFile(file + ".sig")));
    EXPECT_NE(verifyOutcome(key, data, Sandbox::readFile(file + ".sig2")), Outcome::Valid);
}

TEST_F(RsaKeyTest, SignatureVerifiesWithOpenssl)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "built with the publisher's key";
    const QString file = m_sandbox.path("data file");
    ASSERT_TRUE(Sandbox::writeFile(file, "signed by RsaKey\n"));
    ASSERT_TRUE(signing::signFile(file));
    EXPECT_EQ(Sandbox::readFile(file + ".sig").size(), 128);

    // openssl reads the built-in key itself, so this also shows that it is the development key's public half.
    const QString publicPem = m_sandbox.path("public.pem");
    ASSERT_EQ(signing::runOpenssl({"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", signing::builtinPublicKeyDer(),
                                   "-pubout", "-out", publicPem}),
              0);
    const QStringList verifyArgs = {
        "dgst",    "-sha1",   "-sigopt",    "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:8",
        "-verify", publicPem, "-signature", file + ".sig",          file};
    EXPECT_EQ(signing::runOpenssl(verifyArgs), 0);

    ASSERT_TRUE(Sandbox::writeFile(file, "signed by RsaKey!\n"));
    EXPECT_NE(signing::runOpenssl(verifyArgs), 0);
}
