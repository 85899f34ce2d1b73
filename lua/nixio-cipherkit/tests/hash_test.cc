// SPDX-License-Identifier: ISC
// Hash and HMAC objects from Lua: published vectors, agreement with the
// openssl tool on random data, the object's life cycle and its error texts.
#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "luatest.h"
#include "testkit.h"

namespace {

using cktest::Lua;

std::string bytes_from(int first, int last) {
  std::string out;
  for (int b = first; b <= last; b++) out += static_cast<char>(b);
  return out;
}

struct Vector {
  const char* source;
  const char* algorithm;
  std::string key;  // empty: plain hash
  std::string data;
  size_t times;  // data is fed this many times
  const char* hex;
};

// RFC 1321 appendix A.5, FIPS 180 (SHA-1 examples), RFC 2202.
const std::vector<Vector>& vectors() {
  static const std::vector<Vector> v = {
      {"RFC 1321", "md5", "", "", 1, "d41d8cd98f00b204e9800998ecf8427e"},
      {"RFC 1321", "md5", "", "a", 1, "0cc175b9c0f1b6a831c399e269772661"},
      {"RFC 1321", "md5", "", "abc", 1, "900150983cd24fb0d6963f7d28e17f72"},
      {"RFC 1321", "md5", "", "message digest", 1, "f96b697d7cb7938d525a2f31aaf161d0"},
      {"RFC 1321", "md5", "", "abcdefghijklmnopqrstuvwxyz", 1, "c3fcd3d76192e4007dfb496cca67e13b"},
      {"RFC 1321", "md5", "", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", 1,
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"RFC 1321", "md5", "", "1234567890", 8, "57edf4a22be3c955ac49da2e2107b67a"},
      {"FIPS 180", "sha1", "", "", 1, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"FIPS 180", "sha1", "", "abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"FIPS 180", "sha1", "", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"FIPS 180", "sha1", "", "a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {"RFC 2202 1", "md5", std::string(16, '\x0b'), "Hi There", 1,
       "9294727a3638bb1c13f48ef8158bfc9d"},
      {"RFC 2202 2", "md5", "Jefe", "what do ya want for nothing?", 1,
       "750c783e6ab0b503eaa86e310a5db738"},
      {"RFC 2202 3", "md5", std::string(16, '\xaa'), std::string(50, '\xdd'), 1,
       "56be34521d144c88dbb8c733f0e8b3f6"},
      {"RFC 2202 4", "md5", bytes_from(1, 25), std::string(50, '\xcd'), 1,
       "697eaf0aca3a3aea3a75164746ffaa79"},
      {"RFC 2202 5", "md5", std::string(16, '\x0c'), "Test With Truncation", 1,
       "56461ef2342edc00f9bab995690efd4c"},
      {"RFC 2202 6", "md5", std::string(80, '\xaa'),
       "Test Using Larger Than Block-Size Key - Hash Key First", 1,
       "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {"RFC 2202 7", "md5", std::string(80, '\xaa'),
       "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data", 1,
       "6f630fad67cda0ee1fb1f562db3aa53e"},
      {"RFC 2202 1", "sha1", std::string(20, '\x0b'), "Hi There", 1,
       "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"RFC 2202 2", "sha1", "Jefe", "what do ya want for nothing?", 1,
       "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {"RFC 2202 3", "sha1", std::string(20, '\xaa'), std::string(50, '\xdd'), 1,
       "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {"RFC 2202 4", "sha1", bytes_from(1, 25), std::string(50, '\xcd'), 1,
       "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {"RFC 2202 5", "sha1", std::string(20, '\x0c'), "Test With Truncation", 1,
       "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      {"RFC 2202 6", "sha1", std::string(80, '\xaa'),
       "Test Using Larger Than Block-Size Key - Hash Key First", 1,
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {"RFC 2202 7", "sha1", std::string(80, '\xaa'),
       "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data", 1,
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  return v;
}

// Lua: digest(algorithm, key, data, times) -> hex, raw, computed through
// one object fed `times` chained updates; checks the shape of the results.
constexpr const char* kDigestHelper = R"lua(
function from_hex(hex)
  return (hex:gsub("..", function(h) return string.char(tonumber(h, 16)) end))
end

function digest(algorithm, key, data, times)
  local h = key and nixio.crypto.hmac(algorithm, key) or nixio.crypto.hash(algorithm)
  for _ = 1, times or 1 do
    expect(h:update(data), h, "update returns its object")
  end
  local hex, raw = h:final()
  local size = algorithm == "md5" and 16 or 20
  expect(#hex, 2 * size, algorithm .. " hex length")
  expect(#raw, size, algorithm .. " raw length")
  expect(hex, hex:lower(), "hex is lower case")
  expect((raw:gsub(".", function(c) return string.format("%02x", c:byte()) end)), hex,
         "raw matches hex")
  return hex, raw
end

-- the same digest, with data fed in pieces cut at pseudo-random places
function digest_in_pieces(algorithm, key, data, seed)
  local h = key and nixio.crypto.hmac(algorithm, key) or nixio.crypto.hash(algorithm)
  math.randomseed(seed)
  local pos = 1
  while pos <= #data do
    local n = math.random(0, 3) == 0 and 0 or math.random(1, 200)
    h = h:update(data:sub(pos, pos + n - 1))
    pos = pos + n
  end
  return (h:final())
end
)lua";

TEST(cipherkit_hash, published_vectors) {
  Lua lua;
  ASSERT_EQ("", lua.run(kDigestHelper));
  for (const Vector& v : vectors()) {
    std::string what = std::string(v.source) + " " + v.algorithm;
    lua.set_string("algorithm", v.algorithm);
    lua.set_string("data", v.data);
    lua.set_integer("times", static_cast<long long>(v.times));
    lua.set_string("want", v.hex);
    if (v.key.empty()) {
      lua.run("key = nil");
    } else {
      lua.set_string("key", v.key);
    }
    EXPECT_EQ("", lua.run(R"lua(
      local hex, raw = digest(algorithm, key, data, times)
      expect(hex, want, "hex digest")
      expect(raw, from_hex(want), "raw digest")
      -- one update with everything gives the same as chained pieces
      if times == 1 then
        expect(digest_in_pieces(algorithm, key, data, #data), want, "in pieces")
      end
    )lua"))
        << what;
  }
}

// Digests of random data (and HMACs with random keys around the block
// length) agree with the openssl tool.
TEST(cipherkit_hash, agrees_with_openssl_dgst) {
  testkit::TempDir dir("ckhash");
  Lua lua;
  ASSERT_EQ("", lua.run(kDigestHelper));

  struct Case {
    size_t data_len;
    size_t key_len;  // 0: plain hash
  };
  const Case cases[] = {
      {0, 0},    {1, 0},      {55, 0},  {56, 0},     {63, 0},   {64, 0},   {65, 0},
      {1000, 0}, {100000, 0}, {0, 1},   {77, 1},     {100, 20}, {500, 63}, {500, 64},
      {500, 65}, {64, 64},    {65, 65}, {3000, 100}, {10, 200},
  };
  int seed = 1;
  for (const Case& c : cases) {
    for (const char* algorithm : {"md5", "sha1"}) {
      seed++;
      ASSERT_EQ("", lua.run("data = random_bytes(" + std::to_string(c.data_len) + ", " +
                            std::to_string(seed) + ") key = random_bytes(" +
                            std::to_string(c.key_len) + ", " + std::to_string(seed + 1000) + ")"));
      std::string data = lua.get_string("data");
      std::string key = lua.get_string("key");
      ASSERT_TRUE(testkit::write_file(dir / "data", data));

      std::vector<std::string> argv = {"openssl", "dgst", std::string("-") + algorithm, "-r"};
      if (c.key_len) {
        std::string hexkey;
        char byte[3];
        for (unsigned char ch : key) {
          snprintf(byte, sizeof byte, "%02x", ch);
          hexkey += byte;
        }
        argv.insert(argv.end(), {"-mac", "HMAC", "-macopt", "hexkey:" + hexkey});
      }
      argv.push_back(dir / "data");
      std::string out;
      ASSERT_EQ(0, testkit::run(argv, &out)) << out;
      std::string want = out.substr(0, out.find(' '));

      lua.set_string("algorithm", algorithm);
      lua.set_string("want", want);
      lua.set_integer("seed", seed);
      if (!c.key_len) lua.run("key = nil");
      EXPECT_EQ("", lua.run(R"lua(
        expect((digest(algorithm, key, data)), want, "one update")
        expect(digest_in_pieces(algorithm, key, data, seed), want, "pieces")
      )lua"))
          << algorithm << " data " << c.data_len << " bytes, key " << c.key_len << " bytes";
    }
  }
}

TEST(cipherkit_hash, binary_safe_data_and_keys) {
  Lua lua;
  ASSERT_EQ("", lua.run(kDigestHelper));
  // Bytes after a NUL count: a digest that stopped there would equal the
  // digest of the prefix.
  EXPECT_EQ("", lua.run(R"lua(
    for _, algorithm in ipairs{"md5", "sha1"} do
      local whole = digest(algorithm, nil, "ab\0cd")
      local prefix = digest(algorithm, nil, "ab")
      if whole == prefix then error(algorithm .. ": data cut at the NUL byte") end
      local k1 = digest(algorithm, "k\0one", "data")
      local k2 = digest(algorithm, "k\0two", "data")
      if k1 == k2 then error(algorithm .. ": key cut at the NUL byte") end
    end
  )lua"));
}

TEST(cipherkit_hash, final_twice_and_update_after_final) {
  Lua lua;
  EXPECT_EQ("", lua.run(R"lua(
    cases({
        function() return nixio.crypto.hash("md5") end,
        function() return nixio.crypto.hash("sha1", "ignored second argument") end,
        function() return nixio.crypto.hmac("sha1", "key") end}, function(make)
      local h = make():update("some data")
      local hex1, raw1 = h:final()
      local hex2, raw2 = h:final()
      expect(hex2, hex1, "second final, hex")
      expect(raw2, raw1, "second final, raw")
      expect_error(function() h:update("more") end, "Tried to update finalized hash object.",
                   "update after final")
      expect((h:final()), hex1, "final after the failed update")
    end, "md5, sha1 with an ignored argument, HMAC-SHA1")
    -- the ignored second argument of hash() really is ignored
    expect((nixio.crypto.hash("md5", "key"):final()), (nixio.crypto.hash("md5"):final()),
           "hash with a second argument")
  )lua"));
}

TEST(cipherkit_hash, objects_and_metatable) {
  Lua lua;
  EXPECT_EQ("", lua.run(R"lua(
    local h = nixio.crypto.hash("sha1")
    local meta = getmetatable(h)
    expect(rawequal(meta, debug.getregistry()["nixio.crypto.hash"]), true, "registry metatable")
    expect(rawequal(meta.__index, meta), true, "__index")
    cases({"update", "final", "__gc", "__tostring"}, function(name)
      expect(type(meta[name]), "function", name .. " is a function")
    end, "hash methods")
    expect(nixio.meta_crypto_hash, nil, "hash metatable stays out of the module")
    local text = tostring(h)
    expect_match(text, "^nixio hash object: 0x%x+$", "tostring")
    if text == tostring(nixio.crypto.hash("sha1")) then error("two objects print the same") end
    expect(type(nixio.crypto.hash), "function", "crypto holds hash")
    expect(type(nixio.crypto.hmac), "function", "crypto holds hmac")
  )lua"));
}

TEST(cipherkit_hash, argument_errors) {
  struct Case {
    const char* what;
    const char* code;  // body of a function that must raise
    const char* message;
  };
  const Case cases[] = {
      {"upper-case name", "nixio.crypto.hash('MD5')",
       "bad argument #1 to 'hash' (supported values: md5, sha1)"},
      {"unknown algorithm", "nixio.crypto.hash('sha256')",
       "bad argument #1 to 'hash' (supported values: md5, sha1)"},
      {"unknown hmac algorithm", "nixio.crypto.hmac('SHA1', 'k')",
       "bad argument #1 to 'hmac' (supported values: md5, sha1)"},
      {"no algorithm", "nixio.crypto.hash()",
       "bad argument #1 to 'hash' (string expected, got no value)"},
      {"algorithm not a string", "nixio.crypto.hash({})",
       "bad argument #1 to 'hash' (string expected, got table)"},
      {"hmac without key", "nixio.crypto.hmac('md5')",
       "bad argument #2 to 'hmac' (string expected, got no value)"},
      {"data not a string", "local h = nixio.crypto.hash('md5') h.update(h, {})",
       "bad argument #2 to 'update' (string expected, got table)"},
      {"update on a table", "local h = nixio.crypto.hash('md5') h.update({}, 'x')",
       "bad argument #1 to 'update' (nixio.crypto.hash expected, got table)"},
      {"final on another userdata", "local h = nixio.crypto.hash('md5') h.final(io.stdout)",
       "bad argument #1 to 'final' (nixio.crypto.hash expected, got userdata)"},
      {"method call, bad self",
       "local h = nixio.crypto.hash('md5') local t = {update = h.update} t:update('x')",
       "calling 'update' on bad self (nixio.crypto.hash expected, got table)"},
  };
  Lua lua;
  for (const Case& c : cases) {
    lua.set_string("message", c.message);
    EXPECT_EQ("", lua.run(std::string("expect_error(function() ") + c.code + " end, message, '" +
                          c.what + "')"));
  }
}

// Unfinished objects give their digest context back when collected.
TEST(cipherkit_hash, collection_releases_contexts) {
  ASSERT_TRUE(cktest::alloc_hooks_installed()) << "OpenSSL allocation hooks missing";
  Lua lua;
  ASSERT_EQ("", lua.run("nixio.crypto.hmac('md5', 'warm-up'):final()"
                        " nixio.crypto.hash('sha1'):final() collectgarbage('collect')"));
  long before = cktest::live_openssl_blocks();
  ASSERT_EQ("", lua.run(R"lua(
    held = {}
    for i = 1, 200 do
      local algorithm = i % 2 == 0 and "md5" or "sha1"
      held[i] = i % 3 == 0 and nixio.crypto.hmac(algorithm, ("k"):rep(i)) or
                nixio.crypto.hash(algorithm)
      held[i]:update("data")
      if i % 5 == 0 then held[i]:final() end
    end
  )lua"));
  long held = cktest::live_openssl_blocks();
  EXPECT_GT(held, before + 100) << "the unfinished objects should hold their contexts";
  ASSERT_EQ("", lua.run("held = nil collectgarbage('collect')"));
  EXPECT_EQ(before, cktest::live_openssl_blocks()) << "blocks still live after collection";
}

// When OpenSSL cannot allocate, hash() fails with an error and leaks
// nothing; with enough memory it works.
TEST(cipherkit_hash, allocation_failure) {
  ASSERT_TRUE(cktest::alloc_hooks_installed()) << "OpenSSL allocation hooks missing";
  Lua lua;
  ASSERT_EQ("", lua.run("nixio.crypto.hmac('md5', ('k'):rep(100)):final()"
                        " nixio.crypto.hmac('sha1', ('k'):rep(100)):final()"
                        " collectgarbage('collect')"));
  long before = cktest::live_openssl_blocks();
  for (const char* call :
       {"nixio.crypto.hash('md5')", "nixio.crypto.hmac('sha1', ('k'):rep(100))"}) {
    bool succeeded = false;
    for (long allowed = 0; allowed < 50 && !succeeded; allowed++) {
      cktest::fail_allocations_after(allowed);
      lua.run(std::string("ok, result = pcall(function() return ") + call +
              " end)"
              " if not ok then result = result:gsub('^[^:]*:%d+: ', '') end");
      cktest::fail_allocations_after(-1);
      std::string result = lua.get_string("result");
      succeeded = lua.run("assert(ok)").empty();
      if (!succeeded) {
        if (allowed == 0) {
          EXPECT_EQ("out of memory", result) << call;
        } else {
          EXPECT_TRUE(result == "out of memory" || result == "unable to initialise digest" ||
                      result == "digest failure")
              << call << " with " << allowed << " allocations: " << result;
        }
      } else {
        EXPECT_EQ("", lua.run(std::string("expect(result:update('x'):final(), (") + call +
                              "):update('x'):final(), 'works after failures')"));
      }
      ASSERT_EQ("", lua.run("ok, result = nil collectgarbage('collect')"));
      EXPECT_EQ(before, cktest::live_openssl_blocks())
          << call << " leaked with " << allowed << " allocations allowed";
    }
    EXPECT_TRUE(succeeded) << call << " never succeeded";
  }
}

}  // namespace
