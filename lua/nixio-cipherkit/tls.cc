// SPDX-License-Identifier: ISC
// TLS contexts and TLS connections over nixio sockets.
//
// Every call into OpenSSL is one call: on a non-blocking socket the caller
// repeats it when the error code asks for more reading or writing.
#include <limits.h>
#include <string.h>

#include <openssl/err.h>

#include "cipherkit.h"
#include "compat.h"

namespace {

constexpr size_t kReadMax = 8192;
constexpr size_t kCipherListMax = 254;

struct tls_context {
  SSL_CTX* handle;  // none until SSL_CTX_new succeeded, and after collection
  bool server;
  bool host_is_address;                // host is an IP address: no SNI
  char host[cipherkit::kHostMax + 1];  // set_host's name, sent as SNI; "" for none
};

struct tls_connection {
  SSL* handle;
  cipherkit::handshake_watch watch;  // servers on 1.0: renegotiation seen
};

struct name_value {
  const char* name;
  int value;
};

constexpr name_value kFileKinds[] = {
    {"pem", SSL_FILETYPE_PEM},
    {"asn1", SSL_FILETYPE_ASN1},
};

constexpr name_value kVerifyModes[] = {
    {"none", SSL_VERIFY_NONE},
    {"peer", SSL_VERIFY_PEER},
    {"verify_fail_if_no_peer_cert", SSL_VERIFY_FAIL_IF_NO_PEER_CERT},
    {"client_once", SSL_VERIFY_CLIENT_ONCE},
};

// The value named name in table, or -1.
template <size_t N>
int lookup(const name_value (&table)[N], const char* name) {
  for (const name_value& entry : table)
    if (strcmp(entry.name, name) == 0) return entry.value;
  return -1;
}

tls_context* check_context(lua_State* L) {
  auto* ctx = static_cast<tls_context*>(luaL_checkudata(L, 1, NIXIO_TLS_CTX_META));
  luaL_argcheck(L, ctx->handle != nullptr, 1, "invalid context");
  return ctx;
}

SSL_CTX* check_ssl_ctx(lua_State* L) { return check_context(L)->handle; }

// Argument 1 as a connection; a wrapper table stands for its "connection".
tls_connection* to_connection(lua_State* L) {
  if (lua_istable(L, 1)) {
    lua_getfield(L, 1, "connection");
    lua_replace(L, 1);
  }
  return static_cast<tls_connection*>(luaL_checkudata(L, 1, NIXIO_TLS_SOCK_META));
}

tls_connection* check_connection(lua_State* L) {
  tls_connection* conn = to_connection(L);
  luaL_argcheck(L, conn->handle != nullptr, 1, "invalid context");
  return conn;
}

// Setter result: true when OpenSSL answered 1, otherwise nil and its answer.
int push_setter_result(lua_State* L, int ret) {
  if (ret == 1) {
    lua_pushboolean(L, 1);
    return 1;
  }
  lua_pushnil(L);
  lua_pushinteger(L, ret);
  return 2;
}

// nil and the SSL_get_error code for an I/O call's return value.
int push_ssl_error(lua_State* L, SSL* ssl, int ret) {
  lua_pushnil(L);
  lua_pushinteger(L, SSL_get_error(ssl, ret));
  return 2;
}

// A server connection on which the client began a renegotiation: every call
// fails from then on (only 1.0 gets this far; later versions refuse the
// renegotiation inside OpenSSL).
bool renegotiated(const tls_connection* conn) {
  return cipherkit::client_renegotiated(conn->watch);
}

int push_renegotiation_refused(lua_State* L) {
  lua_pushnil(L);
  lua_pushinteger(L, SSL_ERROR_SSL);
  return 2;
}

// Handshake and shutdown steps: true above 0, otherwise the error form.
int push_step_result(lua_State* L, const tls_connection* conn, int ret) {
  if (renegotiated(conn)) return push_renegotiation_refused(L);
  if (ret > 0) {
    lua_pushboolean(L, 1);
    return 1;
  }
  return push_ssl_error(L, conn->handle, ret);
}

// nixio.tls(mode)
int tls_new(lua_State* L) {
  const char* mode = luaL_optstring(L, 1, "client");
  auto* ctx = static_cast<tls_context*>(lua_newuserdata(L, sizeof(tls_context)));
  ctx->handle = nullptr;
  ctx->host_is_address = false;
  ctx->host[0] = '\0';
  luaL_getmetatable(L, NIXIO_TLS_CTX_META);
  lua_setmetatable(L, -2);

  bool server;
  if (strcmp(mode, "client") == 0)
    server = false;
  else if (strcmp(mode, "server") == 0)
    server = true;
  else
    return luaL_argerror(L, 1, "supported values: client, server");

  ctx->server = server;
  ctx->handle = cipherkit::ssl_ctx_new(server);
  if (!ctx->handle) return luaL_error(L, "unable to create TLS context");
  return 1;
}

// ctx:set_cert(file, kind)
int ctx_set_cert(lua_State* L) {
  SSL_CTX* ctx = check_ssl_ctx(L);
  const char* file = luaL_checkstring(L, 2);
  const char* kind = luaL_optstring(L, 3, "chain");
  if (strcmp(kind, "chain") == 0)
    return push_setter_result(L, SSL_CTX_use_certificate_chain_file(ctx, file));
  int type = lookup(kFileKinds, kind);
  luaL_argcheck(L, type >= 0, 3, "supported values: chain, pem, asn1");
  return push_setter_result(L, SSL_CTX_use_certificate_file(ctx, file, type));
}

// ctx:set_verify_locations(cafile, capath)
int ctx_set_verify_locations(lua_State* L) {
  SSL_CTX* ctx = check_ssl_ctx(L);
  const char* file = luaL_optstring(L, 2, nullptr);
  const char* path = luaL_optstring(L, 3, nullptr);
  return push_setter_result(L, SSL_CTX_load_verify_locations(ctx, file, path));
}

// ctx:set_key(file, kind)
int ctx_set_key(lua_State* L) {
  SSL_CTX* ctx = check_ssl_ctx(L);
  const char* file = luaL_checkstring(L, 2);
  int type = lookup(kFileKinds, luaL_optstring(L, 3, "pem"));
  luaL_argcheck(L, type >= 0, 3, "supported values: pem, asn1");
  return push_setter_result(L, SSL_CTX_use_PrivateKey_file(ctx, file, type));
}

// ctx:set_ciphers(list)
int ctx_set_ciphers(lua_State* L) {
  SSL_CTX* ctx = check_ssl_ctx(L);
  size_t len;
  const char* list = luaL_checklstring(L, 2, &len);
  luaL_argcheck(L, len <= kCipherListMax, 2, "cipher string too long");
  return push_setter_result(L, SSL_CTX_set_cipher_list(ctx, list));
}

// ctx:set_verify(mode, ...)
int ctx_set_verify(lua_State* L) {
  SSL_CTX* ctx = check_ssl_ctx(L);
  int mode = 0;
  for (int i = 2, top = lua_gettop(L); i <= top; i++) {
    int bit = lookup(kVerifyModes, luaL_checkstring(L, i));
    luaL_argcheck(L, bit >= 0, i,
                  "supported values: none, peer, verify_fail_if_no_peer_cert, client_once");
    mode |= bit;
  }
  SSL_CTX_set_verify(ctx, mode, nullptr);
  return 0;
}

// Server connections watch for renegotiation; client connections send the
// context's host name, unless it is an address.
bool prepare(const tls_context* ctx, tls_connection* conn) {
  if (ctx->server) return cipherkit::watch_handshakes(conn->handle, &conn->watch);
  if (ctx->host[0] == '\0' || ctx->host_is_address) return true;
  return SSL_set_tlsext_host_name(conn->handle, ctx->host) == 1;
}

// ctx:set_host(name): connections from the client context ask for name
// (SNI) and, with verification on, accept only a certificate for it.
int ctx_set_host(lua_State* L) {
  tls_context* ctx = check_context(L);
  luaL_argcheck(L, !ctx->server, 1, "client contexts only");
  size_t len;
  const char* name = luaL_checklstring(L, 2, &len);
  luaL_argcheck(L, len <= cipherkit::kHostMax, 2, "host name too long");
  luaL_argcheck(L, len > 0 && strlen(name) == len, 2, "invalid host name");
#if CIPHERKIT_HAS_HOST_CHECK
  if (!cipherkit::expect_peer_name(ctx->handle, name, len)) {
    ctx->host[0] = '\0';  // OpenSSL may have dropped the previous name too
    return push_setter_result(L, 0);
  }
  memcpy(ctx->host, name, len + 1);
  ctx->host_is_address = cipherkit::is_address(name);
  return push_setter_result(L, 1);
#else
  return luaL_error(L, "host name checks need OpenSSL 1.0.2 or later");
#endif
}

// ctx:create(socket) -> connection wrapper, or nil and 0
int ctx_create(lua_State* L) {
  tls_context* ctx = check_context(L);
  int fd = nixio__checkfd(L, 2);

  lua_createtable(L, 0, 3);  // the wrapper
  auto* conn = static_cast<tls_connection*>(lua_newuserdata(L, sizeof(tls_connection)));
  conn->handle = nullptr;
  conn->watch.starts = 0;
  luaL_getmetatable(L, NIXIO_TLS_SOCK_META);
  lua_setmetatable(L, -2);

  conn->handle = SSL_new(ctx->handle);
  if (!conn->handle || SSL_set_fd(conn->handle, fd) != 1 || !prepare(ctx, conn)) {
    lua_pushnil(L);  // a handle already made goes with the collected userdata
    lua_pushinteger(L, 0);
    return 2;
  }

  lua_setfield(L, -2, "connection");
  luaL_getmetatable(L, NIXIO_TLS_SOCK_META);
  lua_setmetatable(L, -2);
  lua_pushvalue(L, 1);
  lua_setfield(L, -2, "context");
  lua_pushvalue(L, 2);
  lua_setfield(L, -2, "socket");
  return 1;
}

int ctx_gc(lua_State* L) {
  auto* ctx = static_cast<tls_context*>(luaL_checkudata(L, 1, NIXIO_TLS_CTX_META));
  if (ctx->handle) SSL_CTX_free(ctx->handle);
  ctx->handle = nullptr;
  return 0;
}

int ctx_tostring(lua_State* L) {
  lua_pushfstring(L, "nixio TLS context: %p", static_cast<void*>(check_ssl_ctx(L)));
  return 1;
}

// conn:recv(n) -> string, or nil and error code
int conn_recv(lua_State* L) {
  tls_connection* conn = check_connection(L);
  SSL* ssl = conn->handle;
  lua_Integer want = luaL_checkinteger(L, 2);
  // negative counts read as much as a large one
  int count = (want >= 0 && static_cast<size_t>(want) <= kReadMax) ? static_cast<int>(want)
                                                                   : static_cast<int>(kReadMax);
  if (renegotiated(conn)) return push_renegotiation_refused(L);
  char buf[kReadMax];
  ERR_clear_error();
  int ret = SSL_read(ssl, buf, count);
  if (renegotiated(conn)) return push_renegotiation_refused(L);
  if (ret > 0) {
    lua_pushlstring(L, buf, static_cast<size_t>(ret));
    return 1;
  }
  // 0 is the end of data only after the peer's close notify; an unexpected
  // end or an error must not pass as a clean end of stream.
  int err = SSL_get_error(ssl, ret);
  if (count == 0 || err == SSL_ERROR_ZERO_RETURN) {
    lua_pushliteral(L, "");
    return 1;
  }
  lua_pushnil(L);
  lua_pushinteger(L, err);
  return 2;
}

// conn:send(data, offset, length) -> bytes written, or nil and error code
int conn_send(lua_State* L) {
  tls_connection* conn = check_connection(L);
  SSL* ssl = conn->handle;
  size_t len;
  const char* data = luaL_checklstring(L, 2, &len);
  if (lua_gettop(L) > 2) {
    // negative values count as huge: an offset past the end, no length limit
    lua_Integer offset = luaL_optinteger(L, 3, 0);
    if (offset != 0) {
      if (offset > 0 && static_cast<size_t>(offset) < len) {
        data += offset;
        len -= static_cast<size_t>(offset);
      } else {
        len = 0;
      }
    }
    lua_Integer limit = luaL_optinteger(L, 4, static_cast<lua_Integer>(len));
    if (limit >= 0 && static_cast<size_t>(limit) < len) len = static_cast<size_t>(limit);
  }
  if (len > INT_MAX) len = INT_MAX;

  if (renegotiated(conn)) return push_renegotiation_refused(L);
  ERR_clear_error();
  int ret = SSL_write(ssl, data, static_cast<int>(len));
  if (renegotiated(conn)) return push_renegotiation_refused(L);
  if (ret < 1) return push_ssl_error(L, ssl, ret);
  lua_pushinteger(L, ret);
  return 1;
}

int conn_accept(lua_State* L) {
  tls_connection* conn = check_connection(L);
  if (renegotiated(conn)) return push_renegotiation_refused(L);
  ERR_clear_error();
  return push_step_result(L, conn, SSL_accept(conn->handle));
}

int conn_connect(lua_State* L) {
  tls_connection* conn = check_connection(L);
  if (renegotiated(conn)) return push_renegotiation_refused(L);
  ERR_clear_error();
  return push_step_result(L, conn, SSL_connect(conn->handle));
}

int conn_shutdown(lua_State* L) {
  tls_connection* conn = check_connection(L);
  if (renegotiated(conn)) return push_renegotiation_refused(L);
  ERR_clear_error();
  return push_step_result(L, conn, SSL_shutdown(conn->handle));
}

// Frees the SSL; the descriptor belongs to the socket object.
int conn_gc(lua_State* L) {
  tls_connection* conn = to_connection(L);
  if (conn->handle) SSL_free(conn->handle);
  conn->handle = nullptr;
  return 0;
}

int conn_tostring(lua_State* L) {
  lua_pushfstring(L, "nixio TLS connection: %p", static_cast<void*>(check_connection(L)->handle));
  return 1;
}

const luaL_Reg kContextMethods[] = {
    {"set_cert", ctx_set_cert},     {"set_verify_locations", ctx_set_verify_locations},
    {"set_key", ctx_set_key},       {"set_ciphers", ctx_set_ciphers},
    {"set_verify", ctx_set_verify}, {"set_host", ctx_set_host},
    {"create", ctx_create},         {"__gc", ctx_gc},
    {"__tostring", ctx_tostring},   {nullptr, nullptr},
};

const luaL_Reg kConnectionMethods[] = {
    {"recv", conn_recv},           {"send", conn_send},         {"accept", conn_accept},
    {"connect", conn_connect},     {"shutdown", conn_shutdown}, {"__gc", conn_gc},
    {"__tostring", conn_tostring}, {nullptr, nullptr},
};

}  // namespace

int nixio_open_tls_context(lua_State* L) {
  cipherkit::ssl_init();

  lua_pushcfunction(L, tls_new);
  lua_setfield(L, -2, "tls");
  lua_pushliteral(L, "openssl");
  lua_setfield(L, -2, "tls_provider");

  luaL_newmetatable(L, NIXIO_TLS_CTX_META);
  lua_pushvalue(L, -1);
  lua_setfield(L, -2, "__index");
  luaL_register(L, nullptr, kContextMethods);
  lua_setfield(L, -2, "meta_tls_context");
  return 0;
}

int nixio_open_tls_socket(lua_State* L) {
  luaL_newmetatable(L, NIXIO_TLS_SOCK_META);
  luaL_register(L, nullptr, kConnectionMethods);
  // the very same functions, not copies
  lua_getfield(L, -1, "recv");
  lua_setfield(L, -2, "read");
  lua_getfield(L, -1, "send");
  lua_setfield(L, -2, "write");
  lua_pushvalue(L, -1);
  lua_setfield(L, -2, "__index");
  lua_setfield(L, -2, "meta_tls_socket");
  return 0;
}
