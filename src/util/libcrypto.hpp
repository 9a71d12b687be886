// The few primitives that reading a QUIC Initial packet needs, from the
// system's OpenSSL 3 libcrypto, loaded at run time when first wanted:
// nothing is linked, and without the library they are unavailable.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flowsieve::crypto {

// Whether libcrypto.so.3 was found with every function used here.
bool available();

// HKDF-Extract with SHA-256 (RFC 5869): out receives 32 bytes.
bool hkdf_extract(const uint8_t* salt, size_t salt_size, const uint8_t* key, size_t key_size, uint8_t out[32]);
// HKDF-Expand with SHA-256 of a 32-byte pseudorandom key.
bool hkdf_expand(const uint8_t prk[32], const uint8_t* info, size_t info_size, uint8_t* out, size_t out_size);
// One AES-128 block encrypted with the key (ECB).
bool aes128_ecb(const uint8_t key[16], const uint8_t in[16], uint8_t out[16]);
// AES-128-GCM decryption with a 12-byte nonce and the 16-byte tag after
// the ciphertext; false when the tag does not verify.
bool aes128_gcm_open(const uint8_t key[16], const uint8_t nonce[12], const uint8_t* aad, size_t aad_size,
                     const uint8_t* sealed, size_t sealed_size, uint8_t* out);

}  // namespace flowsieve::crypto
