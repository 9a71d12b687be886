#include "util/libcrypto.hpp"

#include <dlfcn.h>

namespace flowsieve::crypto {
namespace {

// OpenSSL 3's parameter record, as its functions return it by value.
struct OsslParam {
    const char* key;
    unsigned int data_type;
    void* data;
    size_t data_size;
    size_t return_size;
};

// EVP_CIPHER_CTX_ctrl commands for GCM.
constexpr int kGcmSetIvLength = 0x9;
constexpr int kGcmSetTag = 0x11;
// HKDF modes.
constexpr int kHkdfExtractOnly = 1;
constexpr int kHkdfExpandOnly = 2;

struct Libcrypto {
    void* (*cipher_ctx_new)();
    void (*cipher_ctx_free)(void*);
    int (*cipher_ctx_ctrl)(void*, int, int, void*);
    int (*cipher_ctx_set_padding)(void*, int);
    const void* (*aes_128_ecb)();
    const void* (*aes_128_gcm)();
    int (*encrypt_init)(void*, const void*, void*, const unsigned char*, const unsigned char*);
    int (*encrypt_update)(void*, unsigned char*, int*, const unsigned char*, int);
    int (*decrypt_init)(void*, const void*, void*, const unsigned char*, const unsigned char*);
    int (*decrypt_update)(void*, unsigned char*, int*, const unsigned char*, int);
    int (*decrypt_final)(void*, unsigned char*, int*);
    void* (*kdf_fetch)(void*, const char*, const char*);
    void (*kdf_free)(void*);
    void* (*kdf_ctx_new)(void*);
    void (*kdf_ctx_free)(void*);
    int (*kdf_derive)(void*, unsigned char*, size_t, const OsslParam*);
    OsslParam (*param_utf8)(const char*, char*, size_t);
    OsslParam (*param_octets)(const char*, void*, size_t);
    OsslParam (*param_int)(const char*, int*);
    OsslParam (*param_end)();
    void* hkdf;  // the fetched HKDF implementation, kept
};

template <class F>
bool bind(void* library, const char* name, F& out) {
    out = reinterpret_cast<F>(::dlsym(library, name));
    return out != nullptr;
}

// Loaded once and kept for the life of the process; null without libcrypto.
const Libcrypto* libcrypto() {
    static const Libcrypto* loaded = []() -> const Libcrypto* {
        void* library = ::dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
        if (!library) return nullptr;
        static Libcrypto l;
        const bool bound =
            bind(library, "EVP_CIPHER_CTX_new", l.cipher_ctx_new) &&
            bind(library, "EVP_CIPHER_CTX_free", l.cipher_ctx_free) &&
            bind(library, "EVP_CIPHER_CTX_ctrl", l.cipher_ctx_ctrl) &&
            bind(library, "EVP_CIPHER_CTX_set_padding", l.cipher_ctx_set_padding) &&
            bind(library, "EVP_aes_128_ecb", l.aes_128_ecb) && bind(library, "EVP_aes_128_gcm", l.aes_128_gcm) &&
            bind(library, "EVP_EncryptInit_ex", l.encrypt_init) &&
            bind(library, "EVP_EncryptUpdate", l.encrypt_update) &&
            bind(library, "EVP_DecryptInit_ex", l.decrypt_init) &&
            bind(library, "EVP_DecryptUpdate", l.decrypt_update) &&
            bind(library, "EVP_DecryptFinal_ex", l.decrypt_final) && bind(library, "EVP_KDF_fetch", l.kdf_fetch) &&
            bind(library, "EVP_KDF_free", l.kdf_free) && bind(library, "EVP_KDF_CTX_new", l.kdf_ctx_new) &&
            bind(library, "EVP_KDF_CTX_free", l.kdf_ctx_free) && bind(library, "EVP_KDF_derive", l.kdf_derive) &&
            bind(library, "OSSL_PARAM_construct_utf8_string", l.param_utf8) &&
            bind(library, "OSSL_PARAM_construct_octet_string", l.param_octets) &&
            bind(library, "OSSL_PARAM_construct_int", l.param_int) &&
            bind(library, "OSSL_PARAM_construct_end", l.param_end);
        if (bound) l.hkdf = l.kdf_fetch(nullptr, "HKDF", nullptr);
        if (!bound || !l.hkdf) {
            ::dlclose(library);
            return nullptr;
        }
        return &l;
    }();
    return loaded;
}

// Owners of OpenSSL contexts.
struct CipherContext {
    const Libcrypto& l;
    void* ctx;
    explicit CipherContext(const Libcrypto& lib) : l(lib), ctx(lib.cipher_ctx_new()) {}
    ~CipherContext() {
        if (ctx) l.cipher_ctx_free(ctx);
    }
    CipherContext(const CipherContext&) = delete;
    CipherContext& operator=(const CipherContext&) = delete;
};

bool hkdf(int mode, const uint8_t* salt, size_t salt_size, const uint8_t* key, size_t key_size, const uint8_t* info,
          size_t info_size, uint8_t* out, size_t out_size) {
    const Libcrypto* l = libcrypto();
    if (!l) return false;
    void* ctx = l->kdf_ctx_new(l->hkdf);
    if (!ctx) return false;
    char digest[] = "SHA256";
    OsslParam params[6];
    size_t n = 0;
    params[n++] = l->param_utf8("digest", digest, 0);
    params[n++] = l->param_int("mode", &mode);
    params[n++] = l->param_octets("key", const_cast<uint8_t*>(key), key_size);
    if (salt) params[n++] = l->param_octets("salt", const_cast<uint8_t*>(salt), salt_size);
    if (info) params[n++] = l->param_octets("info", const_cast<uint8_t*>(info), info_size);
    params[n++] = l->param_end();
    const bool ok = l->kdf_derive(ctx, out, out_size, params) == 1;
    l->kdf_ctx_free(ctx);
    return ok;
}

}  // namespace

bool available() { return libcrypto() != nullptr; }

bool hkdf_extract(const uint8_t* salt, size_t salt_size, const uint8_t* key, size_t key_size, uint8_t out[32]) {
    return hkdf(kHkdfExtractOnly, salt, salt_size, key, key_size, nullptr, 0, out, 32);
}

bool hkdf_expand(const uint8_t prk[32], const uint8_t* info, size_t info_size, uint8_t* out, size_t out_size) {
    return hkdf(kHkdfExpandOnly, nullptr, 0, prk, 32, info, info_size, out, out_size);
}

bool aes128_ecb(const uint8_t key[16], const uint8_t in[16], uint8_t out[16]) {
    const Libcrypto* l = libcrypto();
    if (!l) return false;
    CipherContext c(*l);
    int n = 0;
    return c.ctx && l->encrypt_init(c.ctx, l->aes_128_ecb(), nullptr, key, nullptr) == 1 &&
           l->cipher_ctx_set_padding(c.ctx, 0) == 1 && l->encrypt_update(c.ctx, out, &n, in, 16) == 1 && n == 16;
}

bool aes128_gcm_open(const uint8_t key[16], const uint8_t nonce[12], const uint8_t* aad, size_t aad_size,
                     const uint8_t* sealed, size_t sealed_size, uint8_t* out) {
    const Libcrypto* l = libcrypto();
    if (!l || sealed_size < 16 || sealed_size > 65535 || aad_size > 65535) return false;
    CipherContext c(*l);
    const int text_size = int(sealed_size - 16);
    int n = 0, last = 0;
    return c.ctx && l->decrypt_init(c.ctx, l->aes_128_gcm(), nullptr, nullptr, nullptr) == 1 &&
           l->cipher_ctx_ctrl(c.ctx, kGcmSetIvLength, 12, nullptr) == 1 &&
           l->decrypt_init(c.ctx, nullptr, nullptr, key, nonce) == 1 &&
           l->decrypt_update(c.ctx, nullptr, &n, aad, int(aad_size)) == 1 &&
           l->decrypt_update(c.ctx, out, &n, sealed, text_size) == 1 &&
           l->cipher_ctx_ctrl(c.ctx, kGcmSetTag, 16, const_cast<uint8_t*>(sealed + text_size)) == 1 &&
           l->decrypt_final(c.ctx, out + n, &last) == 1;
}

}  // namespace flowsieve::crypto
