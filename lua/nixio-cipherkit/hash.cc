// SPDX-License-Identifier: ISC
// Hash objects: MD5 and SHA-1 digests, plain or keyed (HMAC, RFC 2104).
#include <stdint.h>
#include <string.h>

#include "cipherkit.h"
#include "compat.h"

const char nixio__bin2hex[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                 '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

namespace {

constexpr size_t kMaxDigest = 64;
constexpr size_t kMaxBlock = 64;

// Values of hash_object::kind.
constexpr int32_t kFinished = 0;
constexpr int32_t kMd5 = 1;
constexpr int32_t kSha1 = 2;
constexpr int32_t kHmacFlag = 0x40;

constexpr unsigned char kInnerPad = 0x36;
constexpr unsigned char kOuterPad = 0x5c;

struct hash_object {
  int32_t kind;                      // kMd5/kSha1, | kHmacFlag; kFinished once done
  unsigned char digest[kMaxDigest];  // last digest; scratch for a long HMAC key
  uint32_t digest_len;
  unsigned char key[kMaxBlock];  // HMAC key after shortening
  uint32_t key_len;
  uint32_t block_len;
  EVP_MD_CTX* ctx;   // owned while kind != kFinished
  const EVP_MD* md;  // the algorithm, for (re)initialising ctx
  bool failed;       // OpenSSL failed on it: no digest to give
};

hash_object* check_hash(lua_State* L) {
  return static_cast<hash_object*>(luaL_checkudata(L, 1, NIXIO_CRYPTO_HASH_META));
}

bool digest_init(hash_object* h) { return EVP_DigestInit_ex(h->ctx, h->md, nullptr) == 1; }

bool digest_update(hash_object* h, const void* data, size_t len) {
  return EVP_DigestUpdate(h->ctx, data, len) == 1;
}

bool digest_final(hash_object* h) {
  unsigned int len = 0;
  return EVP_DigestFinal_ex(h->ctx, h->digest, &len) == 1 && len == h->digest_len;
}

// Frees the digest context; the object is finished from then on.
void drop_context(hash_object* h) {
  cipherkit::md_ctx_free(h->ctx);
  h->ctx = nullptr;
  h->kind = kFinished;
}

// Ends the object: digest into the digest field, context released.
bool finish(hash_object* h) {
  bool ok = digest_final(h);
  drop_context(h);
  return ok;
}

// OpenSSL failed half-way: the context may be unusable, so it is dropped
// at once, and the object never hands out a digest.
int raise_digest_failure(lua_State* L, hash_object* h) {
  if (h->ctx) drop_context(h);
  h->failed = true;
  memset(h->digest, 0, sizeof h->digest);
  return luaL_error(L, "digest failure");
}

// Feeds the key XOR pad, padded with the pad byte to the block length.
bool update_key_pad(hash_object* h, unsigned char pad) {
  unsigned char block[kMaxBlock];
  for (uint32_t i = 0; i < h->block_len; i++) block[i] = i < h->key_len ? (h->key[i] ^ pad) : pad;
  return digest_update(h, block, h->block_len);
}

// Keys the fresh object at the top of the stack with the string at key_idx
// and feeds the inner pad: the object is in HMAC mode afterwards.
bool start_hmac(lua_State* L, hash_object* h, int key_idx) {
  size_t key_len;
  const char* key = luaL_checklstring(L, key_idx, &key_len);
  if (key_len > h->block_len) {
    if (!digest_update(h, key, key_len) || !digest_final(h) || !digest_init(h)) return false;
    memcpy(h->key, h->digest, h->digest_len);
    h->key_len = h->digest_len;
  } else {
    memcpy(h->key, key, key_len);
    h->key_len = static_cast<uint32_t>(key_len);
  }
  if (!update_key_pad(h, kInnerPad)) return false;
  h->kind |= kHmacFlag;
  return true;
}

struct algorithm_info {
  const char* name;
  int32_t kind;
  uint32_t digest_len;
  const EVP_MD* (*md)();
};

constexpr algorithm_info kAlgorithms[] = {
    {"md5", kMd5, 16, EVP_md5},
    {"sha1", kSha1, 20, EVP_sha1},
};

// Shared by hash() and hmac(): pushes a new object for argument 1.
int new_hash(lua_State* L, bool hmac) {
  const char* name = luaL_checkstring(L, 1);
  const algorithm_info* algorithm = nullptr;
  for (const algorithm_info& a : kAlgorithms)
    if (strcmp(a.name, name) == 0) algorithm = &a;
  luaL_argcheck(L, algorithm != nullptr, 1, "supported values: md5, sha1");
  if (hmac) luaL_checkstring(L, 2);  // before the object sits above it

  auto* h = static_cast<hash_object*>(lua_newuserdata(L, sizeof(hash_object)));
  memset(h, 0, sizeof *h);
  h->kind = algorithm->kind;
  h->digest_len = algorithm->digest_len;
  h->block_len = 64;
  h->md = algorithm->md();

  h->ctx = cipherkit::md_ctx_new();
  if (!h->ctx) return luaL_error(L, "out of memory");
  if (!digest_init(h)) {
    drop_context(h);  // no metatable yet, so no finaliser
    return luaL_error(L, "unable to initialise digest");
  }
  luaL_getmetatable(L, NIXIO_CRYPTO_HASH_META);
  lua_setmetatable(L, -2);

  if (hmac && !start_hmac(L, h, 2)) return raise_digest_failure(L, h);
  return 1;
}

// crypto.hash(algorithm)
int crypto_hash(lua_State* L) { return new_hash(L, false); }

// crypto.hmac(algorithm, key)
int crypto_hmac(lua_State* L) { return new_hash(L, true); }

// object:update(data) -> object
int hash_update(lua_State* L) {
  hash_object* h = check_hash(L);
  if (h->kind == kFinished) return luaL_error(L, "Tried to update finalized hash object.");
  size_t len;
  const char* data = luaL_checklstring(L, 2, &len);
  if (!digest_update(h, data, len)) return raise_digest_failure(L, h);
  lua_pushvalue(L, 1);
  return 1;
}

// object:final() -> hex digest, raw digest; the same again on later calls
int hash_final(lua_State* L) {
  hash_object* h = check_hash(L);
  if (h->failed) return luaL_error(L, "digest failure");
  if (h->kind & kHmacFlag) {
    if (!digest_final(h) || !digest_init(h) || !update_key_pad(h, kOuterPad) ||
        !digest_update(h, h->digest, h->digest_len))
      return raise_digest_failure(L, h);
  }
  if (h->kind != kFinished && !finish(h)) return raise_digest_failure(L, h);

  char hex[2 * kMaxDigest];
  for (uint32_t i = 0; i < h->digest_len; i++) {
    hex[2 * i] = nixio__bin2hex[h->digest[i] >> 4];
    hex[2 * i + 1] = nixio__bin2hex[h->digest[i] & 0x0f];
  }
  lua_pushlstring(L, hex, 2 * h->digest_len);
  lua_pushlstring(L, reinterpret_cast<const char*>(h->digest), h->digest_len);
  return 2;
}

int hash_gc(lua_State* L) {
  hash_object* h = check_hash(L);
  if (h->kind != kFinished) finish(h);
  return 0;
}

int hash_tostring(lua_State* L) {
  lua_pushfstring(L, "nixio hash object: %p", static_cast<void*>(check_hash(L)));
  return 1;
}

const luaL_Reg kHashMethods[] = {
    {"update", hash_update},       {"final", hash_final}, {"__gc", hash_gc},
    {"__tostring", hash_tostring}, {nullptr, nullptr},
};

const luaL_Reg kCryptoFunctions[] = {
    {"hash", crypto_hash},
    {"hmac", crypto_hmac},
    {nullptr, nullptr},
};

}  // namespace

int nixio_open_tls_crypto(lua_State* L) {
  luaL_newmetatable(L, NIXIO_CRYPTO_HASH_META);
  luaL_register(L, nullptr, kHashMethods);
  lua_pushvalue(L, -1);
  lua_setfield(L, -2, "__index");
  lua_pop(L, 1);

  lua_createtable(L, 0, 2);
  luaL_register(L, nullptr, kCryptoFunctions);
  lua_setfield(L, -2, "crypto");
  return 0;
}
