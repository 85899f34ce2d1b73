// SPDX-License-Identifier: ISC
// The bus daemon's state: clients, objects, types, subscriptions, event
// registrations and the invocations still waiting for their status. The
// protocol logic only queues messages; io.cc moves the bytes.
#pragma once

#include <stdint.h>

#include <array>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "wire.h"

namespace ubusd {

// One message on its way out; the descriptor (if any) rides on its first byte.
struct OutMsg {
  std::vector<uint8_t> bytes;
  int fd = -1;
};

// An invocation forwarded to a client whose status has not come back yet.
struct Pending {
  uint32_t caller;  // client that asked
  uint32_t objid;   // header peer the caller expects on the reply
  uint16_t seq;
};

struct Client {
  uint32_t id = 0;
  int fd = -1;
  bool dead = false;

  // input: header and body of the message being read
  std::vector<uint8_t> in;
  size_t in_have = 0;
  int in_fd = -1;

  // output queue; out_off bytes of the front message are already sent
  std::deque<OutMsg> out;
  size_t out_off = 0;
  size_t out_bytes = 0;
  bool write_armed = false;

  std::vector<uint32_t> objects;
  std::vector<Pending> pending;
};

struct ObjType {
  uint32_t id = 0;
  std::string signature;  // raw blobmsg tables, one per method
  unsigned refs = 0;
};

struct Object {
  uint32_t id = 0;
  Client* owner = nullptr;
  std::string path;  // empty: anonymous (subscribers, event handlers)
  ObjType* type = nullptr;
  std::vector<uint32_t> subscribers;  // subscriber object ids
  std::vector<uint32_t> targets;      // objects this one subscribed to
};

struct EventReg {
  std::string pattern;  // exact, or a prefix when it ended in '*'
  bool prefix = false;
  uint32_t objid = 0;
};

class Bus {
 public:
  Bus() = default;
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // A new connection: greets it and returns its record.
  Client* add_client(int fd);
  // Handles one complete message (header + root attribute) from c. Takes
  // ownership of fd. A malformed message marks the client dead.
  void handle(Client* c, std::vector<uint8_t>&& msg, int fd);
  // Releases every client marked dead, telling the peers concerned.
  void reap();
  void drop(Client* c) { c->dead = true; }

  // Upper bound of bytes queued for one client before it is dropped.
  size_t max_queue = size_t(64) << 20;

  // Transport hook: called after a message was queued for c.
  void (*on_queued)(Bus& bus, Client* c) = nullptr;
  void* io = nullptr;

  const std::unordered_map<uint32_t, Client*>& clients() const { return clients_; }
  size_t object_count() const { return objects_.size(); }

 private:
  uint32_t alloc_id();
  void send(Client* c, std::vector<uint8_t>&& bytes, int fd = -1);
  void send_status(Client* c, uint16_t seq, uint32_t peer, int32_t status);
  void release_client(Client* c);

  int handle_lookup(Client* c, uint16_t seq, uint32_t peer, const MsgAttrs& a);
  int handle_invoke(Client* c, std::vector<uint8_t>&& msg, int& fd, const MsgAttrs& a,
                    bool foreign);
  int handle_add(Client* c, uint16_t seq, uint32_t peer, const MsgAttrs& a);
  int handle_remove(Client* c, uint16_t seq, uint32_t peer, const MsgAttrs& a);
  int handle_subscribe(Client* c, const MsgAttrs& a, bool subscribe);
  int handle_notify(Client* c, uint16_t seq, uint32_t peer, const MsgAttrs& a);
  void handle_response(Client* c, std::vector<uint8_t>&& msg, int& fd, const MsgAttrs& a);
  int handle_event_call(Client* c, std::string_view method, const Attr& data);

  void send_object(Client* c, uint16_t seq, uint32_t peer, const Object* o);
  void remove_object(Object* o);
  void subscribe(Object* sub, Object* target);
  void unsubscribe(Object* sub, Object* target);
  void notify_active(Object* target);
  void emit_event(std::string_view id, const std::vector<uint8_t>& data, uint32_t from);
  void object_event(std::string_view id, const Object* o);
  ObjType* type_for(std::string_view signature);
  void put_type(ObjType* t);

  Object* find_object(uint32_t id) const;
  Client* find_client(uint32_t id) const;

  uint32_t random_word();
  int random_fd_ = -1;
  std::array<uint32_t, 64> random_pool_{};
  size_t random_left_ = 0;
  uint64_t fallback_ = 0x853c49e6748fea9bull;
  std::unordered_map<uint32_t, Client*> clients_;
  std::unordered_map<uint32_t, Object*> objects_;
  std::map<std::string, Object*, std::less<>> paths_;
  std::unordered_map<uint32_t, ObjType*> types_;
  std::map<std::string, ObjType*, std::less<>> types_by_sig_;
  std::vector<EventReg> events_;
  std::vector<uint8_t> scratch_;
};

}  // namespace ubusd
