// SPDX-License-Identifier: ISC
// The daemon's protocol core without sockets: what makes it drop a client
// and which status each refused request gets.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "bus.h"

namespace ubusd {
namespace {

using Fill = std::function<void(Builder&)>;

std::vector<uint8_t> build(uint8_t type, const Fill& fill, uint16_t seq = 7) {
  std::vector<uint8_t> msg;
  Builder b(&msg);
  b.header(type, seq, 0);
  fill(b);
  b.finish();
  return msg;
}

class BusCore : public ::testing::Test {
 protected:
  Client* add() {
    Client* c = bus_.add_client(-1);
    c->out.clear();  // the greeting
    c->out_bytes = 0;
    return c;
  }

  // Status of the last status message queued for c, or -999.
  int last_status(Client* c) {
    for (auto it = c->out.rbegin(); it != c->out.rend(); ++it) {
      const auto& m = it->bytes;
      if (m[1] != UBUS_MSG_STATUS) continue;
      MsgAttrs a;
      bool foreign;
      if (!parse_msg_attrs(&m[12], m.size() - 12, &a, &foreign) || !a[UBUS_ATTR_STATUS])
        return -998;
      return int(a[UBUS_ATTR_STATUS].u32());
    }
    return -999;
  }

  // Publishes a named object for c; returns its id.
  uint32_t add_object(Client* c, const char* path) {
    bus_.handle(c,
                build(UBUS_MSG_ADD_OBJECT,
                      [&](Builder& b) {
                        b.put_string(UBUS_ATTR_OBJPATH, path);
                        size_t sig = b.open(UBUS_ATTR_SIGNATURE);
                        size_t m = b.open(kMsgTable, true, "get");
                        b.close(m);
                        b.close(sig);
                      }),
                -1);
    MsgAttrs a;
    bool foreign;
    const auto& reply = c->out.front().bytes;
    EXPECT_TRUE(parse_msg_attrs(&reply[12], reply.size() - 12, &a, &foreign));
    uint32_t id = a[UBUS_ATTR_OBJID] ? a[UBUS_ATTR_OBJID].u32() : 0;
    c->out.clear();
    c->out_bytes = 0;
    return id;
  }

  Bus bus_;
};

// Ids are drawn at random, as on the device: a client or object that comes
// again gets an id nobody could predict from the ones before.
TEST_F(BusCore, IdsAreDrawnAtRandom) {
  std::vector<uint32_t> ids;
  for (int i = 0; i < 12; i++) ids.push_back(add()->id);
  Client* c = add();
  for (int i = 0; i < 12; i++) {
    uint32_t id = add_object(c, "svc.again");
    ASSERT_NE(id, 0u);
    ids.push_back(id);
    bus_.handle(
        c, build(UBUS_MSG_REMOVE_OBJECT, [&](Builder& b) { b.put_u32(UBUS_ATTR_OBJID, id); }), -1);
    EXPECT_EQ(last_status(c), UBUS_STATUS_OK);
    c->out.clear();
    c->out_bytes = 0;
  }
  size_t rising = 0, next_in_line = 0;
  std::string seen;
  for (size_t i = 0; i < ids.size(); i++) {
    seen += std::to_string(ids[i]) + " ";
    EXPECT_GT(ids[i], uint32_t(UBUS_SYSTEM_OBJECT_MAX)) << "reserved for the system objects";
    for (size_t j = 0; j < i; j++) EXPECT_NE(ids[i], ids[j]) << "id given twice";
    if (i == 0) continue;
    rising += ids[i] > ids[i - 1];
    next_in_line += ids[i] - ids[i - 1] <= 4;
  }
  // 24 random draws: all rising has a chance of 1/24!, small steps of ~2^-30 each
  EXPECT_LT(rising, ids.size() - 1) << "ids in order: " << seen;
  EXPECT_EQ(next_in_line, 0u) << "ids close to the one before: " << seen;
}

TEST_F(BusCore, MalformedMessagesDropTheSenderOnly) {
  Client* other = add();
  struct Case {
    const char* what;
    std::function<std::vector<uint8_t>()> make;
  } cases[] = {
      {"protocol version 1",
       [] {
         auto m = build(UBUS_MSG_LOOKUP, [](Builder&) {});
         m[0] = 1;
         return m;
       }},
      {"root length disagrees with the message",
       [] {
         auto m = build(UBUS_MSG_LOOKUP, [](Builder& b) { b.put_string(UBUS_ATTR_OBJPATH, "x"); });
         m.push_back(0);
         return m;
       }},
      {"attribute overruns the root",
       [] {
         auto m =
             build(UBUS_MSG_LOOKUP, [](Builder& b) { b.put_string(UBUS_ATTR_OBJPATH, "abc"); });
         put_be32(&m[12], UBUS_ATTR_OBJPATH << 24 | 64);
         return m;
       }},
      {"object id of two bytes",
       [] { return build(UBUS_MSG_INVOKE, [](Builder& b) { b.put(UBUS_ATTR_OBJID, "ab", 2); }); }},
      {"int32 argument of three bytes",
       [] {
         return build(UBUS_MSG_INVOKE, [](Builder& b) {
           b.put_u32(UBUS_ATTR_OBJID, 5000);
           b.put_string(UBUS_ATTR_METHOD, "m");
           size_t d = b.open(UBUS_ATTR_DATA);
           b.put_field(kMsgInt32, "n", "abc", 3);
           b.close(d);
         });
       }},
      {"arguments nested 300 deep",
       [] {
         return build(UBUS_MSG_INVOKE, [](Builder& b) {
           b.put_u32(UBUS_ATTR_OBJID, 5000);
           b.put_string(UBUS_ATTR_METHOD, "m");
           size_t d = b.open(UBUS_ATTR_DATA);
           std::vector<size_t> open;
           for (int i = 0; i < 300; i++) open.push_back(b.open(kMsgTable, true, "t"));
           while (!open.empty()) {
             b.close(open.back());
             open.pop_back();
           }
           b.close(d);
         });
       }},
  };
  for (const Case& c : cases) {
    Client* bad = add();
    bus_.handle(bad, c.make(), -1);
    EXPECT_TRUE(bad->dead) << c.what << ": the sender was kept";
    bus_.reap();
    EXPECT_FALSE(other->dead) << c.what;
  }
  EXPECT_EQ(bus_.clients().size(), 1u);
}

TEST_F(BusCore, RefusedRequestsGetTheirStatus) {
  Client* owner = add();
  Client* c = add();
  uint32_t obj = add_object(owner, "svc.main");
  struct Case {
    const char* what;
    uint8_t type;
    Fill fill;
    int status;
  } cases[] = {
      {"invoke without a method", UBUS_MSG_INVOKE,
       [&](Builder& b) { b.put_u32(UBUS_ATTR_OBJID, obj); }, UBUS_STATUS_INVALID_ARGUMENT},
      {"invoke of an unknown object", UBUS_MSG_INVOKE,
       [&](Builder& b) {
         b.put_u32(UBUS_ATTR_OBJID, obj + 1000);
         b.put_string(UBUS_ATTR_METHOD, "get");
       },
       UBUS_STATUS_NOT_FOUND},
      {"unknown message type", 42, [](Builder&) {}, UBUS_STATUS_INVALID_COMMAND},
      {"removing someone else's object", UBUS_MSG_REMOVE_OBJECT,
       [&](Builder& b) { b.put_u32(UBUS_ATTR_OBJID, obj); }, UBUS_STATUS_PERMISSION_DENIED},
      {"subscribing through someone else's object", UBUS_MSG_SUBSCRIBE,
       [&](Builder& b) {
         b.put_u32(UBUS_ATTR_OBJID, obj);
         b.put_u32(UBUS_ATTR_TARGET, obj);
       },
       UBUS_STATUS_PERMISSION_DENIED},
      {"notifying for someone else's object", UBUS_MSG_NOTIFY,
       [&](Builder& b) {
         b.put_u32(UBUS_ATTR_OBJID, obj);
         b.put_string(UBUS_ATTR_METHOD, "x");
       },
       UBUS_STATUS_PERMISSION_DENIED},
      {"event handler on someone else's object", UBUS_MSG_INVOKE,
       [&](Builder& b) {
         b.put_u32(UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
         b.put_string(UBUS_ATTR_METHOD, "register");
         size_t d = b.open(UBUS_ATTR_DATA);
         b.put_field_u32("object", obj);
         b.close(d);
       },
       UBUS_STATUS_PERMISSION_DENIED},
      {"event without a name", UBUS_MSG_INVOKE,
       [&](Builder& b) {
         b.put_u32(UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
         b.put_string(UBUS_ATTR_METHOD, "send");
         size_t d = b.open(UBUS_ATTR_DATA);
         b.close(d);
       },
       UBUS_STATUS_INVALID_ARGUMENT},
      {"a path that is taken", UBUS_MSG_ADD_OBJECT,
       [&](Builder& b) {
         b.put_string(UBUS_ATTR_OBJPATH, "svc.main");
         b.put(UBUS_ATTR_SIGNATURE, "", 0);
       },
       UBUS_STATUS_INVALID_ARGUMENT},
      {"a named object without a type", UBUS_MSG_ADD_OBJECT,
       [&](Builder& b) { b.put_string(UBUS_ATTR_OBJPATH, "svc.x"); }, UBUS_STATUS_INVALID_ARGUMENT},
      {"a type id nobody registered", UBUS_MSG_ADD_OBJECT,
       [&](Builder& b) {
         b.put_string(UBUS_ATTR_OBJPATH, "svc.y");
         b.put_u32(UBUS_ATTR_OBJTYPE, 0x7ffffff);
       },
       UBUS_STATUS_INVALID_ARGUMENT},
  };
  for (const Case& k : cases) {
    bus_.handle(c, build(k.type, k.fill), -1);
    EXPECT_EQ(last_status(c), k.status) << k.what;
    EXPECT_FALSE(c->dead) << k.what;
    c->out.clear();
    c->out_bytes = 0;
  }
}

TEST_F(BusCore, ReaderFarBehindIsDroppedAlone) {
  bus_.max_queue = 4096;
  Client* sleepy = add();
  Client* busy = add();
  for (int i = 0; i < 4 && !sleepy->dead; i++) {
    bus_.handle(
        sleepy,
        build(UBUS_MSG_PING,
              [](Builder& b) { b.put(UBUS_ATTR_DATA, std::string(1500, 'x').data(), 1500); }),
        -1);
  }
  EXPECT_TRUE(sleepy->dead) << "queued " << sleepy->out_bytes << " bytes without limit";
  bus_.handle(busy, build(UBUS_MSG_PING, [](Builder&) {}), -1);
  EXPECT_FALSE(busy->dead);
  EXPECT_EQ(busy->out.size(), 1u);
}

TEST_F(BusCore, MessagesOverOneMebibyteDropTheSender) {
  Client* fits = add();
  Client* over = add();
  // root header, attribute header, text and NUL: exactly the limit
  std::string text(kMaxMsgLen - 9, 'y');
  bus_.handle(
      fits, build(UBUS_MSG_LOOKUP, [&](Builder& b) { b.put_string(UBUS_ATTR_OBJPATH, text); }), -1);
  EXPECT_FALSE(fits->dead);
  EXPECT_EQ(last_status(fits), UBUS_STATUS_NOT_FOUND);
  text += "yyyy";
  bus_.handle(
      over, build(UBUS_MSG_LOOKUP, [&](Builder& b) { b.put_string(UBUS_ATTR_OBJPATH, text); }), -1);
  EXPECT_TRUE(over->dead);
  EXPECT_FALSE(fits->dead);
}

// Callers of a vanished server, or of an object removed under their call,
// hear nothing: their own time-outs end the calls, as on the device.
TEST_F(BusCore, CallersOfAVanishedObjectHearNothing) {
  for (bool whole_client : {true, false}) {
    SCOPED_TRACE(whole_client ? "client gone" : "object removed");
    Client* server = add();
    Client* caller = add();
    uint32_t obj = add_object(server, whole_client ? "svc.gone" : "svc.removed");
    bus_.handle(caller,
                build(
                    UBUS_MSG_INVOKE,
                    [&](Builder& b) {
                      b.put_u32(UBUS_ATTR_OBJID, obj);
                      b.put_string(UBUS_ATTR_METHOD, "get");
                    },
                    31),
                -1);
    ASSERT_EQ(server->out.size(), 1u) << "the call was not forwarded";
    size_t before = caller->out.size();
    if (whole_client) {
      bus_.drop(server);
    } else {
      bus_.handle(
          server,
          build(UBUS_MSG_REMOVE_OBJECT, [&](Builder& b) { b.put_u32(UBUS_ATTR_OBJID, obj); }), -1);
      ASSERT_FALSE(server->dead);
    }
    bus_.reap();
    EXPECT_EQ(caller->out.size(), before) << "the caller was sent something";
    EXPECT_FALSE(caller->dead);
  }
}

TEST_F(BusCore, NotifierIsNotToldOfSubscribersOnTheirWayOut) {
  Client* owner = add();
  Client* leaving = add();
  Client* staying = add();
  uint32_t target = add_object(owner, "svc.watched");
  std::vector<uint32_t> subs;
  for (Client* c : {leaving, staying}) {
    bus_.handle(c, build(UBUS_MSG_ADD_OBJECT, [](Builder&) {}), -1);
    MsgAttrs a;
    bool foreign;
    ASSERT_TRUE(
        parse_msg_attrs(&c->out.front().bytes[12], c->out.front().bytes.size() - 12, &a, &foreign));
    subs.push_back(a[UBUS_ATTR_OBJID].u32());
    bus_.handle(c,
                build(UBUS_MSG_SUBSCRIBE,
                      [&](Builder& b) {
                        b.put_u32(UBUS_ATTR_OBJID, subs.back());
                        b.put_u32(UBUS_ATTR_TARGET, target);
                      }),
                -1);
    ASSERT_EQ(last_status(c), 0);
  }
  owner->out.clear();
  bus_.drop(leaving);  // gone, not yet released
  bus_.handle(owner,
              build(UBUS_MSG_NOTIFY,
                    [&](Builder& b) {
                      b.put_u32(UBUS_ATTR_OBJID, target);
                      b.put_string(UBUS_ATTR_METHOD, "change");
                    }),
              -1);
  ASSERT_FALSE(owner->out.empty());
  const auto& m = owner->out.front().bytes;
  MsgAttrs a;
  bool foreign;
  ASSERT_TRUE(parse_msg_attrs(&m[12], m.size() - 12, &a, &foreign));
  ASSERT_TRUE(a[UBUS_ATTR_SUBSCRIBERS]);
  std::vector<uint32_t> listed;
  AttrIter it(a[UBUS_ATTR_SUBSCRIBERS].payload, a[UBUS_ATTR_SUBSCRIBERS].len);
  for (Attr id; it.next(&id);) listed.push_back(id.u32());
  EXPECT_EQ(listed, std::vector<uint32_t>{subs[1]})
      << "a subscriber that will never answer was listed";
}

}  // namespace
}  // namespace ubusd
