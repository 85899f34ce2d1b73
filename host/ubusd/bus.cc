// SPDX-License-Identifier: ISC
#include "bus.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace ubusd {

namespace {

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

template <typename V, typename T>
void erase_value(V& v, const T& value) {
  v.erase(std::remove(v.begin(), v.end(), value), v.end());
}

bool event_matches(const EventReg& r, std::string_view id) {
  if (r.prefix) return id.substr(0, r.pattern.size()) == r.pattern;
  return id == r.pattern;
}

// A method signature: blobmsg tables named after the methods.
bool valid_signature(const Attr& sig) {
  AttrIter it(sig.payload, sig.len);
  Attr a;
  Field f;
  while (it.next(&a)) {
    if (!field_of(a, &f) || f.type != kMsgTable || f.name.empty()) return false;
  }
  return !it.broken();
}

}  // namespace

Bus::~Bus() {
  for (auto& [id, c] : clients_) {
    close_fd(c->in_fd);
    for (auto& m : c->out) close_fd(m.fd);
    close_fd(c->fd);
    delete c;
  }
  for (auto& [id, o] : objects_) delete o;
  for (auto& [id, t] : types_) delete t;
  close_fd(random_fd_);
}

// Ids are drawn at random, as the device's daemon does: a client that kept
// the id of an object registered again, or of a restarted daemon, must not
// find it still valid by luck of the order.
uint32_t Bus::alloc_id() {
  for (;;) {
    uint32_t id = random_word();
    if (id <= UBUS_SYSTEM_OBJECT_MAX) continue;
    if (!clients_.count(id) && !objects_.count(id) && !types_.count(id)) return id;
  }
}

uint32_t Bus::random_word() {
  if (random_left_ == 0) {
    size_t got = 0;
    if (random_fd_ < 0) random_fd_ = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (random_fd_ >= 0) {
      ssize_t n;
      do {
        n = read(random_fd_, random_pool_.data(), sizeof(random_pool_));
      } while (n < 0 && errno == EINTR);
      if (n > 0) got = size_t(n) / sizeof(uint32_t);
    }
    // without /dev/urandom: a scrambled counter, still in no useful order
    for (size_t i = got; i < random_pool_.size(); i++) {
      fallback_ = fallback_ * 6364136223846793005ull + 1442695040888963407ull;
      random_pool_[i] = uint32_t(fallback_ >> 32);
    }
    random_left_ = random_pool_.size();
  }
  return random_pool_[--random_left_];
}

Object* Bus::find_object(uint32_t id) const {
  auto it = objects_.find(id);
  return it == objects_.end() ? nullptr : it->second;
}

Client* Bus::find_client(uint32_t id) const {
  auto it = clients_.find(id);
  return it == clients_.end() || it->second->dead ? nullptr : it->second;
}

Client* Bus::add_client(int fd) {
  auto* c = new Client;
  c->id = alloc_id();
  c->fd = fd;
  clients_[c->id] = c;
  std::vector<uint8_t> hello;
  Builder b(&hello);
  b.header(UBUS_MSG_HELLO, 0, c->id);
  b.finish();
  send(c, std::move(hello));
  return c;
}

void Bus::send(Client* c, std::vector<uint8_t>&& bytes, int fd) {
  if (c->dead || c->out_bytes + bytes.size() > max_queue) {
    // a reader this far behind is not coming back
    close_fd(fd);
    c->dead = true;
    return;
  }
  c->out_bytes += bytes.size();
  c->out.push_back(OutMsg{std::move(bytes), fd});
  if (on_queued) on_queued(*this, c);
}

void Bus::send_status(Client* c, uint16_t seq, uint32_t peer, int32_t status) {
  std::vector<uint8_t> msg;
  Builder b(&msg);
  b.header(UBUS_MSG_STATUS, seq, peer);
  b.put_u32(UBUS_ATTR_STATUS, uint32_t(status));
  b.finish();
  send(c, std::move(msg));
}

void Bus::handle(Client* c, std::vector<uint8_t>&& msg, int fd) {
  if (c->dead || msg.size() < kHeaderSize + kBlobHeaderSize || msg[0] != 0) {
    close_fd(fd);
    c->dead = true;
    return;
  }
  uint8_t type = msg[1];
  uint16_t seq = get_be16(&msg[2]);
  uint32_t peer = get_be32(&msg[4]);
  size_t body = (get_be32(&msg[kHeaderSize]) & kAttrLenMask);
  MsgAttrs a;
  bool foreign = false;
  if (body < kBlobHeaderSize || body > kMaxMsgLen || kHeaderSize + body != msg.size() ||
      !parse_msg_attrs(&msg[kHeaderSize + kBlobHeaderSize], body - kBlobHeaderSize, &a, &foreign)) {
    close_fd(fd);
    c->dead = true;
    return;
  }

  int ret = UBUS_STATUS_INVALID_COMMAND;
  switch (type) {
    case UBUS_MSG_PING:
      msg[1] = UBUS_MSG_DATA;
      send(c, std::move(msg));
      ret = -1;
      break;
    case UBUS_MSG_LOOKUP:
      ret = handle_lookup(c, seq, peer, a);
      break;
    case UBUS_MSG_INVOKE:
      ret = handle_invoke(c, std::move(msg), fd, a, foreign);
      break;
    case UBUS_MSG_ADD_OBJECT:
      ret = handle_add(c, seq, peer, a);
      break;
    case UBUS_MSG_REMOVE_OBJECT:
      ret = handle_remove(c, seq, peer, a);
      break;
    case UBUS_MSG_SUBSCRIBE:
    case UBUS_MSG_UNSUBSCRIBE:
      ret = handle_subscribe(c, a, type == UBUS_MSG_SUBSCRIBE);
      break;
    case UBUS_MSG_NOTIFY:
      ret = handle_notify(c, seq, peer, a);
      break;
    case UBUS_MSG_STATUS:
    case UBUS_MSG_DATA:
      handle_response(c, std::move(msg), fd, a);
      ret = -1;
      break;
    default:
      break;
  }
  close_fd(fd);
  if (ret >= 0) send_status(c, seq, peer, ret);
}

void Bus::send_object(Client* c, uint16_t seq, uint32_t peer, const Object* o) {
  std::vector<uint8_t> msg;
  Builder b(&msg);
  b.header(UBUS_MSG_DATA, seq, peer);
  b.put_string(UBUS_ATTR_OBJPATH, o->path);
  b.put_u32(UBUS_ATTR_OBJID, o->id);
  b.put_u32(UBUS_ATTR_OBJTYPE, o->type ? o->type->id : 0);
  const std::string& sig = o->type ? o->type->signature : std::string();
  b.put(UBUS_ATTR_SIGNATURE, sig.data(), sig.size());
  b.finish();
  send(c, std::move(msg));
}

int Bus::handle_lookup(Client* c, uint16_t seq, uint32_t peer, const MsgAttrs& a) {
  std::string_view path = a[UBUS_ATTR_OBJPATH] ? a[UBUS_ATTR_OBJPATH].str() : std::string_view();
  if (path.empty()) {
    for (auto& [name, o] : paths_) send_object(c, seq, peer, o);
    return UBUS_STATUS_OK;
  }
  if (path.back() != '*') {
    auto it = paths_.find(path);
    if (it == paths_.end()) return UBUS_STATUS_NOT_FOUND;
    send_object(c, seq, peer, it->second);
    return UBUS_STATUS_OK;
  }
  path.remove_suffix(1);
  bool found = false;
  for (auto it = paths_.lower_bound(path);
       it != paths_.end() && std::string_view(it->first).substr(0, path.size()) == path; ++it) {
    send_object(c, seq, peer, it->second);
    found = true;
  }
  return found ? UBUS_STATUS_OK : UBUS_STATUS_NOT_FOUND;
}

int Bus::handle_invoke(Client* c, std::vector<uint8_t>&& msg, int& fd, const MsgAttrs& a,
                       bool foreign) {
  if (!a[UBUS_ATTR_OBJID] || !a[UBUS_ATTR_METHOD]) return UBUS_STATUS_INVALID_ARGUMENT;
  uint32_t objid = a[UBUS_ATTR_OBJID].u32();
  if (objid == UBUS_SYSTEM_OBJECT_EVENT)
    return handle_event_call(c, a[UBUS_ATTR_METHOD].str(), a[UBUS_ATTR_DATA]);
  Object* o = find_object(objid);
  if (!o || !o->owner || o->owner->dead) return UBUS_STATUS_NOT_FOUND;

  uint16_t seq = get_be16(&msg[2]);
  bool no_reply = a[UBUS_ATTR_NO_REPLY] && a[UBUS_ATTR_NO_REPLY].u8();
  std::vector<uint8_t> out;
  if (foreign) {
    // pass on only what the protocol defines (no caller-supplied identity)
    Builder b(&out);
    b.header(UBUS_MSG_INVOKE, seq, c->id);
    b.put_u32(UBUS_ATTR_OBJID, objid);
    b.put_string(UBUS_ATTR_METHOD, a[UBUS_ATTR_METHOD].str());
    if (a[UBUS_ATTR_DATA]) b.put(UBUS_ATTR_DATA, a[UBUS_ATTR_DATA].payload, a[UBUS_ATTR_DATA].len);
    if (no_reply) b.put_u8(UBUS_ATTR_NO_REPLY, 1);
    b.finish();
  } else {
    out = std::move(msg);
    put_be32(&out[4], c->id);
  }
  if (!no_reply) o->owner->pending.push_back(Pending{c->id, objid, seq});
  send(o->owner, std::move(out), fd);
  fd = -1;
  return -1;
}

void Bus::handle_response(Client* c, std::vector<uint8_t>&& msg, int& fd, const MsgAttrs& a) {
  if (!a[UBUS_ATTR_OBJID]) return;
  uint32_t objid = a[UBUS_ATTR_OBJID].u32();
  Object* o = find_object(objid);
  Client* dest = find_client(get_be32(&msg[4]));
  if (!o || o->owner != c || !dest) return;
  uint16_t seq = get_be16(&msg[2]);
  if (msg[1] == UBUS_MSG_STATUS) {
    auto& p = c->pending;
    auto it = std::find_if(p.begin(), p.end(), [&](const Pending& e) {
      return e.caller == dest->id && e.objid == objid && e.seq == seq;
    });
    if (it != p.end()) p.erase(it);
  }
  put_be32(&msg[4], objid);
  send(dest, std::move(msg), fd);
  fd = -1;
}

ObjType* Bus::type_for(std::string_view signature) {
  auto it = types_by_sig_.find(signature);
  ObjType* t;
  if (it != types_by_sig_.end()) {
    t = it->second;
  } else {
    t = new ObjType;
    t->id = alloc_id();
    t->signature.assign(signature);
    types_[t->id] = t;
    types_by_sig_.emplace(t->signature, t);
  }
  t->refs++;
  return t;
}

void Bus::put_type(ObjType* t) {
  if (!t || --t->refs) return;
  types_.erase(t->id);
  types_by_sig_.erase(t->signature);
  delete t;
}

int Bus::handle_add(Client* c, uint16_t seq, uint32_t peer, const MsgAttrs& a) {
  const Attr& path = a[UBUS_ATTR_OBJPATH];
  if (path && (path.str().empty() || paths_.count(path.str()))) return UBUS_STATUS_INVALID_ARGUMENT;

  ObjType* type = nullptr;
  if (a[UBUS_ATTR_OBJTYPE]) {
    auto it = types_.find(a[UBUS_ATTR_OBJTYPE].u32());
    if (it == types_.end()) return UBUS_STATUS_INVALID_ARGUMENT;
    type = it->second;
    type->refs++;
  } else if (a[UBUS_ATTR_SIGNATURE]) {
    if (!valid_signature(a[UBUS_ATTR_SIGNATURE])) return UBUS_STATUS_INVALID_ARGUMENT;
    type = type_for({reinterpret_cast<const char*>(a[UBUS_ATTR_SIGNATURE].payload),
                     a[UBUS_ATTR_SIGNATURE].len});
  } else if (path) {
    return UBUS_STATUS_INVALID_ARGUMENT;  // a named object needs a type
  }

  auto* o = new Object;
  o->id = alloc_id();
  o->owner = c;
  o->type = type;
  objects_[o->id] = o;
  c->objects.push_back(o->id);
  if (path) {
    o->path.assign(path.str());
    paths_.emplace(o->path, o);
  }

  std::vector<uint8_t> msg;
  Builder b(&msg);
  b.header(UBUS_MSG_DATA, seq, peer);
  b.put_u32(UBUS_ATTR_OBJID, o->id);
  if (type) b.put_u32(UBUS_ATTR_OBJTYPE, type->id);
  b.finish();
  send(c, std::move(msg));
  if (path) object_event("ubus.object.add", o);
  return UBUS_STATUS_OK;
}

int Bus::handle_remove(Client* c, uint16_t seq, uint32_t peer, const MsgAttrs& a) {
  if (!a[UBUS_ATTR_OBJID]) return UBUS_STATUS_INVALID_ARGUMENT;
  Object* o = find_object(a[UBUS_ATTR_OBJID].u32());
  if (!o || !o->owner) return UBUS_STATUS_NOT_FOUND;
  if (o->owner != c) return UBUS_STATUS_PERMISSION_DENIED;

  std::vector<uint8_t> msg;
  Builder b(&msg);
  b.header(UBUS_MSG_DATA, seq, peer);
  b.put_u32(UBUS_ATTR_OBJID, o->id);
  if (o->type) b.put_u32(UBUS_ATTR_OBJTYPE, o->type->id);
  b.finish();
  send(c, std::move(msg));
  remove_object(o);
  return UBUS_STATUS_OK;
}

void Bus::notify_active(Object* target) {
  Client* owner = target->owner;
  if (!owner || owner->dead) return;
  std::vector<uint8_t> msg;
  Builder b(&msg);
  b.header(UBUS_MSG_NOTIFY, 0, target->id);
  b.put_u32(UBUS_ATTR_OBJID, target->id);
  b.put_u8(UBUS_ATTR_ACTIVE, target->subscribers.empty() ? 0 : 1);
  b.finish();
  send(owner, std::move(msg));
}

void Bus::subscribe(Object* sub, Object* target) {
  auto& s = target->subscribers;
  if (std::find(s.begin(), s.end(), sub->id) != s.end()) return;
  s.push_back(sub->id);
  sub->targets.push_back(target->id);
  if (s.size() == 1) notify_active(target);
}

void Bus::unsubscribe(Object* sub, Object* target) {
  auto& s = target->subscribers;
  if (std::find(s.begin(), s.end(), sub->id) == s.end()) return;
  erase_value(s, sub->id);
  erase_value(sub->targets, target->id);
  if (s.empty()) notify_active(target);
}

int Bus::handle_subscribe(Client* c, const MsgAttrs& a, bool on) {
  if (!a[UBUS_ATTR_OBJID] || !a[UBUS_ATTR_TARGET]) return UBUS_STATUS_INVALID_ARGUMENT;
  Object* sub = find_object(a[UBUS_ATTR_OBJID].u32());
  if (!sub) return UBUS_STATUS_NOT_FOUND;
  if (sub->owner != c) return UBUS_STATUS_PERMISSION_DENIED;
  Object* target = find_object(a[UBUS_ATTR_TARGET].u32());
  if (!target || !target->owner) return UBUS_STATUS_NOT_FOUND;
  if (on)
    subscribe(sub, target);
  else
    unsubscribe(sub, target);
  return UBUS_STATUS_OK;
}

int Bus::handle_notify(Client* c, uint16_t seq, uint32_t peer, const MsgAttrs& a) {
  if (!a[UBUS_ATTR_OBJID] || !a[UBUS_ATTR_METHOD]) return UBUS_STATUS_INVALID_ARGUMENT;
  Object* o = find_object(a[UBUS_ATTR_OBJID].u32());
  if (!o) return UBUS_STATUS_NOT_FOUND;
  if (o->owner != c) return UBUS_STATUS_PERMISSION_DENIED;
  bool no_reply = a[UBUS_ATTR_NO_REPLY] && a[UBUS_ATTR_NO_REPLY].u8();

  // a subscriber whose client is on its way out would never answer
  std::vector<Object*> subs;
  for (uint32_t id : o->subscribers) {
    Object* sub = find_object(id);
    if (sub && sub->owner && !sub->owner->dead) subs.push_back(sub);
  }
  std::vector<uint8_t> msg;
  if (!no_reply) {
    // first the list of subscribers whose replies the notifier should expect
    Builder b(&msg);
    b.header(UBUS_MSG_STATUS, seq, peer);
    size_t nest = b.open(UBUS_ATTR_SUBSCRIBERS);
    for (Object* sub : subs) b.put_u32(0, sub->id);
    b.close(nest);
    b.finish();
    send(c, std::move(msg));
  }
  for (Object* sub : subs) {
    uint32_t id = sub->id;
    Builder b(&msg);
    b.header(UBUS_MSG_INVOKE, seq, c->id);
    b.put_u32(UBUS_ATTR_OBJID, id);
    b.put_string(UBUS_ATTR_METHOD, a[UBUS_ATTR_METHOD].str());
    if (a[UBUS_ATTR_DATA]) b.put(UBUS_ATTR_DATA, a[UBUS_ATTR_DATA].payload, a[UBUS_ATTR_DATA].len);
    if (no_reply) b.put_u8(UBUS_ATTR_NO_REPLY, 1);
    b.finish();
    if (!no_reply) sub->owner->pending.push_back(Pending{c->id, id, seq});
    send(sub->owner, std::move(msg));
  }
  return -1;
}

int Bus::handle_event_call(Client* c, std::string_view method, const Attr& data) {
  if (!data) return UBUS_STATUS_INVALID_ARGUMENT;
  Field f;
  if (method == "register") {
    if (!find_field(data.payload, data.len, "object", kMsgInt32, &f))
      return UBUS_STATUS_INVALID_ARGUMENT;
    Object* o = find_object(get_be32(f.data));
    if (!o) return UBUS_STATUS_NOT_FOUND;
    if (o->owner != c) return UBUS_STATUS_PERMISSION_DENIED;
    EventReg r;
    r.objid = o->id;
    r.pattern = "*";  // no pattern: every event
    if (find_field(data.payload, data.len, "pattern", kMsgString, &f))
      r.pattern.assign(reinterpret_cast<const char*>(f.data), f.len - 1);
    if (!r.pattern.empty() && r.pattern.back() == '*') {
      r.pattern.pop_back();
      r.prefix = true;
    }
    events_.push_back(std::move(r));
    return UBUS_STATUS_OK;
  }
  if (method == "send") {
    if (!find_field(data.payload, data.len, "id", kMsgString, &f) || f.len < 2)
      return UBUS_STATUS_INVALID_ARGUMENT;
    std::string_view id(reinterpret_cast<const char*>(f.data), f.len - 1);
    std::vector<uint8_t> payload;
    Field d;
    if (find_field(data.payload, data.len, "data", kMsgTable, &d))
      payload.assign(d.data, d.data + d.len);
    emit_event(id, payload, c->id);
    return UBUS_STATUS_OK;
  }
  return UBUS_STATUS_METHOD_NOT_FOUND;
}

void Bus::emit_event(std::string_view id, const std::vector<uint8_t>& data, uint32_t from) {
  std::vector<uint32_t> done;  // one delivery per handler object
  for (size_t i = 0; i < events_.size(); i++) {
    const EventReg& r = events_[i];
    if (!event_matches(r, id) || std::find(done.begin(), done.end(), r.objid) != done.end())
      continue;
    done.push_back(r.objid);
    Object* o = find_object(r.objid);
    if (!o || !o->owner || o->owner->dead) continue;
    std::vector<uint8_t> msg;
    Builder b(&msg);
    b.header(UBUS_MSG_INVOKE, 0, from);
    b.put_u32(UBUS_ATTR_OBJID, o->id);
    b.put_string(UBUS_ATTR_METHOD, id);
    b.put(UBUS_ATTR_DATA, data.data(), data.size());
    b.put_u8(UBUS_ATTR_NO_REPLY, 1);
    b.finish();
    send(o->owner, std::move(msg));
  }
}

void Bus::object_event(std::string_view id, const Object* o) {
  std::vector<uint8_t> data;
  Builder b(&data);
  b.put_field_u32("id", o->id);
  b.put_field_string("path", o->path);
  emit_event(id, data, 0);
}

void Bus::remove_object(Object* o) {
  // Calls still waiting on this object get no answer: their callers'
  // time-outs end them, as they would on the device.
  if (Client* owner = o->owner) {
    auto& p = owner->pending;
    p.erase(std::remove_if(p.begin(), p.end(), [&](const Pending& e) { return e.objid == o->id; }),
            p.end());
    erase_value(owner->objects, o->id);
  }

  std::vector<uint32_t> subs = std::move(o->subscribers);
  for (uint32_t id : subs) {
    Object* sub = find_object(id);
    if (!sub || sub == o) continue;
    erase_value(sub->targets, o->id);
    if (!sub->owner || sub->owner->dead) continue;
    std::vector<uint8_t> msg;
    Builder b(&msg);
    b.header(UBUS_MSG_UNSUBSCRIBE, 0, 0);
    b.put_u32(UBUS_ATTR_OBJID, sub->id);
    b.put_u32(UBUS_ATTR_TARGET, o->id);
    b.finish();
    send(sub->owner, std::move(msg));
  }
  std::vector<uint32_t> targets = std::move(o->targets);
  for (uint32_t id : targets) {
    Object* t = find_object(id);
    if (t && t != o) unsubscribe(o, t);
  }

  events_.erase(std::remove_if(events_.begin(), events_.end(),
                               [&](const EventReg& r) { return r.objid == o->id; }),
                events_.end());
  objects_.erase(o->id);
  if (!o->path.empty()) {
    paths_.erase(o->path);
    object_event("ubus.object.remove", o);
  }
  put_type(o->type);
  delete o;
}

void Bus::release_client(Client* c) {
  std::vector<uint32_t> objs = c->objects;
  for (uint32_t id : objs) {
    if (Object* o = find_object(id)) remove_object(o);
  }
  // its own calls will never be collected
  for (auto& [id, other] : clients_) {
    auto& p = other->pending;
    p.erase(std::remove_if(p.begin(), p.end(), [&](const Pending& e) { return e.caller == c->id; }),
            p.end());
  }
  clients_.erase(c->id);
  close_fd(c->in_fd);
  for (auto& m : c->out) close_fd(m.fd);
  close_fd(c->fd);
  delete c;
}

void Bus::reap() {
  for (;;) {
    Client* dead = nullptr;
    for (auto& [id, c] : clients_) {
      if (c->dead) {
        dead = c;
        break;
      }
    }
    if (!dead) return;
    release_client(dead);
  }
}

}  // namespace ubusd
