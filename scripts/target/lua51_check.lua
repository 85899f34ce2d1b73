-- SPDX-License-Identifier: ISC
-- nixio.cipherkit loaded by the stand-alone Lua 5.1 interpreter built for
-- the target (run under the emulator): usage: lua5.1 lua51_check.lua MODULE_DIR
local dir = assert(arg[1], "usage: lua51_check.lua MODULE_DIR")
package.cpath = dir .. "/?.so"
local nixio = require "nixio"
local install = require "nixio.cipherkit"
assert(install(nixio) == nixio, "the installer returns its table")

-- digests are byte strings: word order inside them is the algorithm's,
-- whatever the machine's
local function hex(algorithm, data, key)
  local h = key and nixio.crypto.hmac(algorithm, key) or nixio.crypto.hash(algorithm)
  return (h:update(data):final())
end
assert(hex("md5", "") == "d41d8cd98f00b204e9800998ecf8427e", "md5")
assert(hex("sha1", "abc") == "a9993e364706816aba3e25717850c26c9cd0d89d", "sha1")
-- RFC 2104 and RFC 2202, test case 2
assert(hex("md5", "what do ya want for nothing?", "Jefe") == "750c783e6ab0b503eaa86e310a5db738",
  "hmac-md5")
assert(hex("sha1", "what do ya want for nothing?", "Jefe") ==
  "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79", "hmac-sha1")
print("lua 5.1 modules: ok")
