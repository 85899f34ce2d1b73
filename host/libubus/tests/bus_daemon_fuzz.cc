// SPDX-License-Identifier: ISC
// Fuzz target: arbitrary message sequences from three clients into the
// daemon's protocol core. Each chunk of input is one message; a leading
// byte chooses the client and whether the header is taken raw or built
// around the bytes (so that most inputs get past the framing checks).
#include <stddef.h>
#include <stdint.h>

#include "bus.h"

using namespace ubusd;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bus bus;
  bus.max_queue = 1 << 20;
  uint32_t ids[3];
  for (auto& id : ids) id = bus.add_client(-1)->id;

  while (size >= 4) {
    uint8_t ctl = data[0];
    size_t len = size_t(data[1] | data[2] << 8);
    data += 3;
    size -= 3;
    if (len > size) len = size;

    uint32_t& id = ids[ctl % 3];
    auto it = bus.clients().find(id);
    Client* c = it == bus.clients().end() ? bus.add_client(-1) : it->second;
    id = c->id;

    std::vector<uint8_t> msg;
    if (ctl & 0x80) {
      msg.assign(data, data + len);
    } else {
      // valid framing around the fuzz bytes: type from ctl, root sized right
      msg.resize(kHeaderSize + kBlobHeaderSize);
      msg[1] = uint8_t((ctl >> 2) % (__UBUS_MSG_LAST + 1));
      msg.insert(msg.end(), data, data + len);
      put_be32(&msg[kHeaderSize], uint32_t(msg.size() - kHeaderSize));
      // peers and object ids the fuzzer can hit: the clients' own
      put_be32(&msg[4], ids[(ctl >> 5) % 3]);
    }
    data += len;
    size -= len;
    bus.handle(c, std::move(msg), -1);
    bus.reap();
    for (auto& [cid, cl] : bus.clients()) {
      cl->out.clear();
      cl->out_bytes = 0;
    }
  }
  return 0;
}
