// The few OpenSSL calls that differ between 1.0 (the device) and 1.1/3.x
// (development hosts), under one name each.
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>
#if OPENSSL_VERSION_NUMBER < 0x10100000L
#include <openssl/ec.h>
#include <openssl/objects.h>
#endif

namespace cipherkit {

#if OPENSSL_VERSION_NUMBER < 0x10100000L

inline EVP_MD_CTX* md_ctx_new() { return EVP_MD_CTX_create(); }
inline void md_ctx_free(EVP_MD_CTX* ctx) { EVP_MD_CTX_destroy(ctx); }

inline void ssl_init() {
  SSL_load_error_strings();
  SSL_library_init();
}

// SSLv23 is 1.0's version-flexible method.
inline const SSL_METHOD* tls_method(bool server) {
  return server ? SSLv23_server_method() : SSLv23_client_method();
}

// SSL 2 and 3 are switched off. 1.0 negotiates ECDHE only when asked to:
// 1.0.2 picks the curve from the peer's list, 1.0.1 gets a fixed P-256 key
// (copied by the context, a fresh one for every handshake). Without it a
// server with an EC key shares no cipher with its clients and one with an
// RSA key falls back to RSA key exchange.
inline SSL_CTX* ssl_ctx_new(bool server) {
  SSL_CTX* ctx = SSL_CTX_new(tls_method(server));
  if (!ctx) return nullptr;
  SSL_CTX_set_options(ctx, SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3 | SSL_OP_SINGLE_ECDH_USE);
#ifdef SSL_CTX_set_ecdh_auto
  long ecdh_ok = SSL_CTX_set_ecdh_auto(ctx, 1);
#else
  EC_KEY* key = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
  long ecdh_ok = key ? SSL_CTX_set_tmp_ecdh(ctx, key) : 0;
  EC_KEY_free(key);
#endif
  if (ecdh_ok != 1) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

#else

inline EVP_MD_CTX* md_ctx_new() { return EVP_MD_CTX_new(); }
inline void md_ctx_free(EVP_MD_CTX* ctx) { EVP_MD_CTX_free(ctx); }

inline void ssl_init() {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

inline const SSL_METHOD* tls_method(bool server) {
  return server ? TLS_server_method() : TLS_client_method();
}

// ECDHE is on by default, with the curve picked from the peer's list.
inline SSL_CTX* ssl_ctx_new(bool server) { return SSL_CTX_new(tls_method(server)); }

#endif

}  // namespace cipherkit
