-- SPDX-License-Identifier: ISC
-- tls.lua <pki dir> <port> <MiB>: one TLS connection over loopback between
-- two processes; the server sends, the client receives and reports bytes
-- per second from the end of the handshake to the last byte.
local nixio = require "nixio"
require("nixio.cipherkit")(nixio)
local pki, port, total = arg[1], tonumber(arg[2]), tonumber(arg[3]) * 1024 * 1024

local listener = assert(nixio.bind("127.0.0.1", port))
assert(listener:listen(1))
local pid = fork()
if pid == 0 then
  local ctx = nixio.tls("server")
  assert(ctx:set_cert(pki .. "/server.pem"))
  assert(ctx:set_key(pki .. "/server.key"))
  local sock = assert(listener:accept())
  local conn = ctx:create(sock)
  assert(conn:accept())
  local block = string.rep("\165", 64 * 1024)
  local sent = 0
  while sent < total do
    sent = sent + assert(conn:send(block))
  end
  conn:shutdown()
  assert(conn:recv(1) == "")
  os.exit(0)
end
listener:close()

local ctx = nixio.tls()
assert(ctx:set_verify_locations(pki .. "/server.pem"))
ctx:set_verify("peer")
local sock = assert(nixio.connect("127.0.0.1", port))
local conn = ctx:create(sock)
assert(conn:connect())
local got, t0 = 0, now()
while got < total do
  got = got + #assert(conn:recv(8192))
end
local elapsed = now() - t0
conn:shutdown()
wait(pid)
print(string.format("%.0f", got / elapsed))
