// SPDX-License-Identifier: ISC
// nixio.cipherkit: MD5/SHA-1 hashes with HMAC and TLS over nixio sockets,
// installed into the nixio module table by the function that require returns.
#pragma once

#include <lua.hpp>

#define CIPHERKIT_API extern "C" __attribute__((visibility("default")))

// Registry names of the objects this module makes and of those it reads.
#define NIXIO_CRYPTO_HASH_META "nixio.crypto.hash"
#define NIXIO_TLS_CTX_META "nixio.tls.ctx"
#define NIXIO_TLS_SOCK_META "nixio.tls.sock"
#define NIXIO_SOCKET_META "nixio.socket"
#define NIXIO_FILE_META "nixio.file"

// Each opener works on the target table at the top of the stack and leaves
// the stack as it found it.
CIPHERKIT_API int nixio_open_tls_crypto(lua_State* L);
CIPHERKIT_API int nixio_open_tls_context(lua_State* L);
CIPHERKIT_API int nixio_open_tls_socket(lua_State* L);

// The descriptor behind a nixio socket, nixio file or io file handle at
// index; -1 when there is none (tofd) or an argument error (checkfd).
CIPHERKIT_API int nixio__tofd(lua_State* L, int index);
CIPHERKIT_API int nixio__checkfd(lua_State* L, int index);

// "0123456789abcdef", without terminator.
CIPHERKIT_API const char nixio__bin2hex[16];

CIPHERKIT_API int luaopen_nixio_cipherkit(lua_State* L);
