// The few OpenSSL calls that differ between 1.0 (the device) and 1.1/3.x
// (development hosts), under one name each.
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>

namespace cipherkit {

#if OPENSSL_VERSION_NUMBER < 0x10100000L

inline EVP_MD_CTX* md_ctx_new() { return EVP_MD_CTX_create(); }
inline void md_ctx_free(EVP_MD_CTX* ctx) { EVP_MD_CTX_destroy(ctx); }

inline void ssl_init() {
  SSL_load_error_strings();
  SSL_library_init();
}

// SSLv23 is 1.0's version-flexible method; SSL 2 and 3 are switched off.
inline SSL_CTX* ssl_ctx_new(bool server) {
  SSL_CTX* ctx = SSL_CTX_new(server ? SSLv23_server_method() : SSLv23_client_method());
  if (ctx) SSL_CTX_set_options(ctx, SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3);
  return ctx;
}

#else

inline EVP_MD_CTX* md_ctx_new() { return EVP_MD_CTX_new(); }
inline void md_ctx_free(EVP_MD_CTX* ctx) { EVP_MD_CTX_free(ctx); }

inline void ssl_init() {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

inline SSL_CTX* ssl_ctx_new(bool server) {
  return SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
}

#endif

}  // namespace cipherkit
