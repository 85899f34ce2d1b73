-- SPDX-License-Identifier: ISC
-- hash.lua <algorithm> <update size> <seconds>: bytes per second hashed
-- through one object fed updates of the given size, per second of CPU time
-- (as `openssl speed` counts it).
local nixio = require "nixio"
require("nixio.cipherkit")(nixio)
local algorithm, size, seconds = arg[1], tonumber(arg[2]), tonumber(arg[3])
local chunk = string.rep("\90", size)
local batch = math.max(1, math.floor(4 * 1024 * 1024 / size))
local h = nixio.crypto.hash(algorithm)
local done, t0 = 0, os.clock()
local elapsed
repeat
  for _ = 1, batch do h:update(chunk) end
  done = done + batch * size
  elapsed = os.clock() - t0
until elapsed >= seconds
h:final()
print(string.format("%.0f", done / elapsed))
