#pragma once

// The one RSA public key the updater trusts: DER PKCS #1 RSAPublicKey of a 1024-bit key, exponent 65537.
// Chosen when the build is configured (CORVALINK_PUBLIC_KEY); the definition is generated into the build dir.
inline constexpr unsigned long publisherPublicKeyLength = 140;
extern const unsigned char publisherPublicKey[publisherPublicKeyLength];
