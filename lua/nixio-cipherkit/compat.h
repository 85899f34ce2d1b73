// SPDX-License-Identifier: ISC
// The few OpenSSL calls that differ between 1.0 (the device) and 1.1/3.x
// (development hosts), under one name each, and the settings every new
// context starts with.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

// The 1.0 branch below. CIPHERKIT_OPENSSL_1_0_API selects it on a later
// OpenSSL too, whose 1.0 names are still there as aliases: the build
// compiles it that way and runs the TLS tests on it, so it cannot rot.
#if OPENSSL_VERSION_NUMBER < 0x10100000L || defined(CIPHERKIT_OPENSSL_1_0_API)
#define CIPHERKIT_OPENSSL_1_0 1
#include <openssl/ec.h>
#include <openssl/objects.h>
#else
#define CIPHERKIT_OPENSSL_1_0 0
#endif

namespace cipherkit {

// Suites for TLS 1.2: ephemeral key exchange only (forward secrecy), AEAD
// first; nothing anonymous, unencrypted, export-grade, RC4, MD5, DES, 3DES
// or IDEA. The names are the ones 1.0.0 already knows (EECDH, EDH);
// CHACHA20 is skipped where it does not exist. TLS 1.3 suites are all
// ephemeral and keep OpenSSL's defaults.
constexpr const char kDefaultCiphers[] =
    "EECDH+AESGCM:EECDH+CHACHA20:EDH+AESGCM:EDH+CHACHA20:EECDH+AES:EDH+AES"
    ":!aNULL:!eNULL:!EXPORT:!LOW:!RC4:!MD5:!DES:!3DES:!IDEA:!PSK:!SRP:!DSS:!SEED";

// Longest name set_host takes: a DNS name is at most 253 characters.
constexpr size_t kHostMax = 253;

// What one connection's renegotiation watch counts (1.0 only; see below).
struct handshake_watch {
  int starts;  // handshakes begun on the connection; the first is the initial one
};

#if CIPHERKIT_OPENSSL_1_0

// TLS 1.2 arrived with 1.0.1; with 1.0.0 no protocol would be left.
#ifndef SSL_OP_NO_TLSv1_1
#error "OpenSSL 1.0.1 or later is needed (TLS 1.2)"
#endif

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

// The ex_data slot of an SSL that points to its handshake_watch.
inline int watch_index() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// 1.0 has no switch for refusing a client's renegotiation. A server
// connection counts the handshakes it begins; the second one is a
// renegotiation, and client_renegotiated() then ends the connection
// after the OpenSSL call that began it. The call has answered the client's
// hello by then: a client gets at most one extra handshake per connection.
inline void count_handshake(const SSL* ssl, int where, int) {
  if (!(where & SSL_CB_HANDSHAKE_START)) return;
  auto* watch = static_cast<handshake_watch*>(SSL_get_ex_data(ssl, watch_index()));
  if (watch) watch->starts++;
}

// SSL 2 and 3, TLS 1.0 and 1.1 are switched off. 1.0 negotiates ECDHE only
// when asked to: 1.0.2 picks the curve from the peer's list, 1.0.1 gets a
// fixed P-256 key (copied by the context, a fresh one for every handshake).
// Without it a server with an EC key shares no cipher with its clients.
inline SSL_CTX* ssl_ctx_new(bool server) {
  SSL_CTX* ctx = SSL_CTX_new(tls_method(server));
  if (!ctx) return nullptr;
  auto options = SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1 |
                 SSL_OP_SINGLE_ECDH_USE | SSL_OP_SINGLE_DH_USE;
  if (server) options |= SSL_OP_CIPHER_SERVER_PREFERENCE;
  SSL_CTX_set_options(ctx, options);
#ifdef SSL_CTX_set_ecdh_auto
  long ecdh_ok = SSL_CTX_set_ecdh_auto(ctx, 1);
#else
  EC_KEY* key = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
  long ecdh_ok = key ? SSL_CTX_set_tmp_ecdh(ctx, key) : 0;
  EC_KEY_free(key);
#endif
  if (ecdh_ok != 1 || SSL_CTX_set_cipher_list(ctx, kDefaultCiphers) != 1 || watch_index() < 0) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  if (server) SSL_CTX_set_info_callback(ctx, count_handshake);
  return ctx;
}

// Ties a new server connection to the watch that count_handshake fills.
inline bool watch_handshakes(SSL* ssl, handshake_watch* watch) {
  return SSL_set_ex_data(ssl, watch_index(), watch) == 1;
}

// Whether the client has begun a second handshake on the connection.
inline bool client_renegotiated(const handshake_watch& watch) { return watch.starts > 1; }

#else

inline EVP_MD_CTX* md_ctx_new() { return EVP_MD_CTX_new(); }
inline void md_ctx_free(EVP_MD_CTX* ctx) { EVP_MD_CTX_free(ctx); }

inline void ssl_init() {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

inline const SSL_METHOD* tls_method(bool server) {
  return server ? TLS_server_method() : TLS_client_method();
}

// TLS 1.2 at least. ECDHE is on by default, with the curve picked from the
// peer's list; servers pick DHE groups to match their key. Servers ignore a
// client's renegotiation request (the client sees a no_renegotiation alert).
inline SSL_CTX* ssl_ctx_new(bool server) {
  SSL_CTX* ctx = SSL_CTX_new(tls_method(server));
  if (!ctx) return nullptr;
  if (server) {
    SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_dh_auto(ctx, 1);
  }
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(ctx, kDefaultCiphers) != 1) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

inline bool watch_handshakes(SSL*, handshake_watch*) { return true; }
inline bool client_renegotiated(const handshake_watch&) { return false; }

#endif

// Whether name is an IPv4 or IPv6 address rather than a DNS name.
inline bool is_address(const char* name) {
  unsigned char addr[sizeof(in6_addr)];
  return inet_pton(AF_INET, name, addr) == 1 || inet_pton(AF_INET6, name, addr) == 1;
}

// Host names are checked by OpenSSL itself from 1.0.2 on.
#if OPENSSL_VERSION_NUMBER >= 0x10002000L
#define CIPHERKIT_HAS_HOST_CHECK 1

// Makes verification on ctx require a certificate for name: a DNS name
// (no partial wildcards such as "w*.example.com") or an IPv4/IPv6 address,
// which is matched against the certificate's IP entries instead.
inline bool expect_peer_name(SSL_CTX* ctx, const char* name, size_t len) {
  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
  if (is_address(name))
    return X509_VERIFY_PARAM_set1_host(param, nullptr, 0) == 1 &&
           X509_VERIFY_PARAM_set1_ip_asc(param, name) == 1;
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return X509_VERIFY_PARAM_set1_ip(param, nullptr, 0) == 1 &&
         X509_VERIFY_PARAM_set1_host(param, name, len) == 1;
}
#else
#define CIPHERKIT_HAS_HOST_CHECK 0
#endif

}  // namespace cipherkit
