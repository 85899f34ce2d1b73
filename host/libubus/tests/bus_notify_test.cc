// SPDX-License-Identifier: ISC
// Subscribers, notifications, removal of watched objects, and events.
#include <signal.h>

#include <chrono>
#include <string>

#include "bus_fixture.h"

namespace bus_test {
namespace {

class BusNotify : public BusTest {};

struct Watcher {
  struct ubus_subscriber sub = {};
  std::vector<std::string> got;  // "<method> <seq>"
  std::vector<uint32_t> removed;

  Watcher() {
    sub.cb = [](struct ubus_context*, struct ubus_object* obj, struct ubus_request_data*,
                const char* method, struct blob_attr* msg) {
      auto* w = container_of(container_of(obj, struct ubus_subscriber, obj), Watcher, sub);
      w->got.push_back(std::string(method) + " " + std::to_string(int_field(msg, "seq")));
      return 0;
    };
    sub.remove_cb = [](struct ubus_context*, struct ubus_subscriber* s, uint32_t id) {
      container_of(s, Watcher, sub)->removed.push_back(id);
    };
  }
};

struct AsyncCall {
  struct ubus_request req;
  int status = -999;
  int64_t reply_status = -999;

  void start(struct ubus_context* ctx, uint32_t id, const char* method, struct blob_attr* msg) {
    ASSERT_EQ(ubus_invoke_async(ctx, id, method, msg, &req), 0);
    req.data_cb = [](struct ubus_request* r, int, struct blob_attr* m) {
      container_of(r, AsyncCall, req)->reply_status = int_field(m, "status");
    };
    req.complete_cb = [](struct ubus_request* r, int ret) {
      container_of(r, AsyncCall, req)->status = ret;
    };
    ubus_complete_request_async(ctx, &req);
  }
};

TEST_F(BusNotify, SubscriberGetsNotificationsThenHearsOfTheTargetsEnd) {
  testkit::Child& target = start_peer({"serve", "test.a"});
  auto* ctx = connect();
  Watcher w;
  ASSERT_EQ(ubus_register_subscriber(ctx, &w.sub), 0);
  uint32_t id = lookup(ctx, "test.a");
  ASSERT_EQ(ubus_subscribe(ctx, &w.sub, id), 0);
  EXPECT_TRUE(wait_output(target, "subscribers 1")) << target.output();

  // the target notifies three times and waits for our replies
  Msg m;
  m.str("type", "change").u32("count", 3).u32("timeout", 3000);
  AsyncCall c;
  c.start(ctx, id, "notify", m.head());
  ASSERT_TRUE(run_until([&] { return c.status != -999; }));
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.reply_status, 0) << "the notifier did not collect our replies";
  EXPECT_EQ(w.got, (std::vector<std::string>{"change 0", "change 1", "change 2"}));

  target.signal(SIGKILL);
  ASSERT_TRUE(run_until([&] { return !w.removed.empty(); })) << "no removal callback";
  EXPECT_EQ(w.removed, std::vector<uint32_t>{id});
}

TEST_F(BusNotify, UnsubscribeEndsDeliveryAndTellsTheTarget) {
  testkit::Child& target = start_peer({"serve", "test.a"});
  auto* ctx = connect();
  Watcher w;
  ASSERT_EQ(ubus_register_subscriber(ctx, &w.sub), 0);
  uint32_t id = lookup(ctx, "test.a");
  ASSERT_EQ(ubus_subscribe(ctx, &w.sub, id), 0);
  ASSERT_TRUE(wait_output(target, "subscribers 1"));
  ASSERT_EQ(ubus_unsubscribe(ctx, &w.sub, id), 0);
  EXPECT_TRUE(wait_output(target, "subscribers 0")) << target.output();

  Msg m;
  m.u32("timeout", 1000);
  AsyncCall c;
  c.start(ctx, id, "notify", m.head());
  ASSERT_TRUE(run_until([&] { return c.status != -999; }));
  run_until([] { return false; }, 100);
  EXPECT_EQ(c.reply_status, 0);
  EXPECT_TRUE(w.got.empty()) << "notified after unsubscribing: " << w.got[0];
}

struct Notifier {
  struct ubus_object obj = {};
  int changes = 0;
};

const struct ubus_method no_methods[] = {
    UBUS_METHOD_NOARG("noop",
                      [](struct ubus_context*, struct ubus_object*, struct ubus_request_data*,
                         const char*, struct blob_attr*) { return 0; }),
};
struct ubus_object_type notifier_type = UBUS_OBJECT_TYPE("notifier", no_methods);

TEST_F(BusNotify, NotifierCollectsEverySubscribersStatus) {
  auto* ctx = connect();
  Notifier n;
  n.obj.name = "notifier.x";
  n.obj.type = &notifier_type;
  n.obj.methods = no_methods;
  n.obj.n_methods = 1;
  n.obj.subscribe_cb = [](struct ubus_context*, struct ubus_object* o) {
    container_of(o, Notifier, obj)->changes++;
  };
  ASSERT_EQ(ubus_add_object(ctx, &n.obj), 0);
  testkit::Child& w1 = start_peer({"watch", "notifier.x"});
  testkit::Child& w2 = start_peer({"watch", "notifier.x"});
  ASSERT_TRUE(run_until([&] { return n.obj.has_subscribers; }));
  EXPECT_EQ(n.changes, 1) << "the first subscriber alone should flip has_subscribers";

  struct Collect {
    struct ubus_notify_request nreq;
    std::vector<int> statuses;
  } col;
  Msg m;
  m.u32("seq", 7);
  ASSERT_EQ(ubus_notify_async(ctx, &n.obj, "tick", m.head(), &col.nreq), 0);
  col.nreq.status_cb = [](struct ubus_notify_request* r, int, int ret) {
    container_of(r, Collect, nreq)->statuses.push_back(ret);
  };
  EXPECT_EQ(ubus_complete_request(ctx, &col.nreq.req, 3000), 0);
  EXPECT_EQ(col.statuses, (std::vector<int>{0, 0}));
  EXPECT_TRUE(wait_output(w1, "notify tick 7"));
  EXPECT_TRUE(wait_output(w2, "notify tick 7"));

  // without replies the call returns at once; the subscribers still hear it
  EXPECT_EQ(ubus_notify(ctx, &n.obj, "tock", m.head(), -1), 0);
  EXPECT_TRUE(wait_output(w1, "notify tock 7"));

  // a subscriber that vanished does not hold the notifier up
  w1.signal(SIGKILL);
  w1.wait(2000);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(ubus_notify(ctx, &n.obj, "tick", m.head(), 3000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));

  w2.signal(SIGKILL);
  EXPECT_TRUE(run_until([&] { return !n.obj.has_subscribers; })) << "has_subscribers stayed set";
}

struct Listener {
  struct ubus_event_handler ev = {};
  std::vector<std::string> got;  // "<type> <n>"
  Listener() {
    ev.cb = [](struct ubus_context*, struct ubus_event_handler* e, const char* type,
               struct blob_attr* msg) {
      container_of(e, Listener, ev)
          ->got.push_back(std::string(type) + " " + std::to_string(int_field(msg, "n")));
    };
  }
};

TEST_F(BusNotify, EventsReachEachMatchingHandlerOnce) {
  auto* ctx = connect();
  auto* sender = connect();
  Listener prefix, exact, twice, other;
  ASSERT_EQ(ubus_register_event_handler(ctx, &prefix.ev, "net.*"), 0);
  ASSERT_EQ(ubus_register_event_handler(ctx, &exact.ev, "net.up"), 0);
  ASSERT_EQ(ubus_register_event_handler(ctx, &twice.ev, "net.*"), 0);
  ASSERT_EQ(ubus_register_event_handler(ctx, &twice.ev, "net.up"), 0);
  ASSERT_EQ(ubus_register_event_handler(ctx, &other.ev, "sys.boot"), 0);

  const std::pair<const char*, uint32_t> sent[] = {
      {"net.up", 1}, {"net.down", 2}, {"netx", 3}, {"sys.boot", 4}, {"sys.bootx", 5}};
  for (auto& [type, n] : sent) {
    Msg m;
    m.u32("n", n);
    ASSERT_EQ(ubus_send_event(sender, type, m.head()), 0) << type;
  }
  run_until([&] {
    return prefix.got.size() == 2 && exact.got.size() == 1 && twice.got.size() == 2 &&
           other.got.size() == 1;
  });
  run_until([] { return false; }, 100);  // room for anything extra to show up
  EXPECT_EQ(prefix.got, (std::vector<std::string>{"net.up 1", "net.down 2"}));
  EXPECT_EQ(exact.got, (std::vector<std::string>{"net.up 1"}));
  EXPECT_EQ(twice.got, (std::vector<std::string>{"net.up 1", "net.down 2"}));
  EXPECT_EQ(other.got, (std::vector<std::string>{"sys.boot 4"}));

  ASSERT_EQ(ubus_unregister_event_handler(ctx, &prefix.ev), 0);
  Msg m;
  m.u32("n", 6);
  ASSERT_EQ(ubus_send_event(sender, "net.up", m.head()), 0);
  ASSERT_TRUE(run_until([&] { return exact.got.size() == 2; }));
  EXPECT_EQ(prefix.got.size(), 2u) << "an unregistered handler still got events";
}

}  // namespace
}  // namespace bus_test
