// SPDX-License-Identifier: ISC
// ubus: command-line client of the bus, for scripts, tests and the demo.
//
//   ubus [-s socket] [-t timeout] [-S] [-v] <command> [arguments...]
//     list [-v] [path]            objects (with -v their methods)
//     call <path> <method> [json] invoke, print every reply as JSON
//     listen [pattern...]         print events (all when no pattern)
//     send <type> [json]          send an event
//     subscribe <path...>         print the notifications of objects
//     wait_for <path...>          return once all objects exist
//
// Exit status: 0, or the bus status code of the failure; 255 when the bus
// cannot be reached.
#include <getopt.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
#include <libubus.h>
}

namespace {

int timeout_s = 30;
bool timeout_given = false;
bool simple_output = false;
bool verbose = false;

constexpr int kJsonFlags = JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_PRETTY_TAB |
                           JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_NOSLASHESCAPE;
constexpr int kJsonFlagsCompact = JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE;

// ---- JSON to blobmsg ----

bool add_json(struct blob_buf* b, const char* name, json_object* obj);

bool add_json_members(struct blob_buf* b, json_object* obj) {
  bool ok = true;
  json_object_object_foreach(obj, key, val) ok = ok && add_json(b, key, val);
  return ok;
}

bool add_json(struct blob_buf* b, const char* name, json_object* obj) {
  switch (json_object_get_type(obj)) {
    case json_type_object: {
      void* c = blobmsg_open_table(b, name);
      bool ok = add_json_members(b, obj);
      blobmsg_close_table(b, c);
      return ok;
    }
    case json_type_array: {
      void* c = blobmsg_open_array(b, name);
      bool ok = true;
      for (size_t i = 0, n = json_object_array_length(obj); i < n && ok; i++)
        ok = add_json(b, "", json_object_array_get_idx(obj, i));
      blobmsg_close_array(b, c);
      return ok;
    }
    case json_type_string:
      return blobmsg_add_string(b, name, json_object_get_string(obj)) == 0;
    case json_type_boolean:
      return blobmsg_add_u8(b, name, json_object_get_boolean(obj)) == 0;
    case json_type_int: {
      int64_t v = json_object_get_int64(obj);
      if (v >= INT32_MIN && v <= INT32_MAX)
        return blobmsg_add_u32(b, name, uint32_t(int32_t(v))) == 0;
      return blobmsg_add_u64(b, name, uint64_t(v)) == 0;
    }
    case json_type_double:
      return blobmsg_add_double(b, name, json_object_get_double(obj)) == 0;
    case json_type_null:
      return blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, name, "", 0) == 0;
  }
  return false;
}

// Fills b with the members of the JSON object in text; false unless text
// is one JSON object.
bool parse_json_arg(struct blob_buf* b, const char* text) {
  json_object* obj = json_tokener_parse(text);
  bool ok = obj && json_object_is_type(obj, json_type_object) && add_json_members(b, obj);
  json_object_put(obj);
  return ok;
}

// ---- blobmsg to JSON ----

json_object* to_json(struct blob_attr* attr);

json_object* table_to_json(struct blob_attr* data, size_t len, bool array) {
  json_object* out = array ? json_object_new_array() : json_object_new_object();
  struct blob_attr* cur;
  size_t rem = len;
  __blob_for_each_attr(cur, data, rem) {
    if (!blobmsg_check_attr(cur, !array)) continue;
    json_object* v = to_json(cur);
    if (array)
      json_object_array_add(out, v);
    else
      json_object_object_add(out, blobmsg_name(cur), v);
  }
  return out;
}

json_object* to_json(struct blob_attr* attr) {
  void* data = blobmsg_data(attr);
  switch (blobmsg_type(attr)) {
    case BLOBMSG_TYPE_TABLE:
      return table_to_json(static_cast<struct blob_attr*>(data), blobmsg_data_len(attr), false);
    case BLOBMSG_TYPE_ARRAY:
      return table_to_json(static_cast<struct blob_attr*>(data), blobmsg_data_len(attr), true);
    case BLOBMSG_TYPE_STRING:
      return json_object_new_string(static_cast<const char*>(data));
    case BLOBMSG_TYPE_INT64:
      return json_object_new_int64(int64_t(blobmsg_get_u64(attr)));
    case BLOBMSG_TYPE_INT32:
      return json_object_new_int64(int32_t(blobmsg_get_u32(attr)));
    case BLOBMSG_TYPE_INT16:
      return json_object_new_int(int16_t(blobmsg_get_u16(attr)));
    case BLOBMSG_TYPE_INT8:
      return json_object_new_boolean(blobmsg_get_u8(attr) != 0);
    case BLOBMSG_TYPE_DOUBLE:
      return json_object_new_double(blobmsg_get_double(attr));
    default:
      return nullptr;
  }
}

// Prints the members of a message (a DATA attribute) as one JSON object.
void print_message(struct blob_attr* msg, bool compact) {
  json_object* obj =
      msg ? table_to_json(static_cast<struct blob_attr*>(blob_data(msg)), blob_len(msg), false)
          : json_object_new_object();
  printf("%s\n", json_object_to_json_string_ext(
                     obj, compact || simple_output ? kJsonFlagsCompact : kJsonFlags));
  json_object_put(obj);
}

// One line `{ "<name>": <message> }`, as listen and subscribe print.
void print_named(const char* name, struct blob_attr* msg) {
  json_object* key = json_object_new_string(name);
  json_object* obj =
      msg ? table_to_json(static_cast<struct blob_attr*>(blob_data(msg)), blob_len(msg), false)
          : json_object_new_object();
  printf("{ %s: %s }\n", json_object_to_json_string_ext(key, kJsonFlagsCompact),
         json_object_to_json_string_ext(obj, kJsonFlagsCompact));
  fflush(stdout);
  json_object_put(key);
  json_object_put(obj);
}

// ---- commands ----

const char* type_name(int type) {
  switch (type) {
    case BLOBMSG_TYPE_ARRAY:
      return "Array";
    case BLOBMSG_TYPE_TABLE:
      return "Table";
    case BLOBMSG_TYPE_STRING:
      return "String";
    case BLOBMSG_TYPE_INT64:
    case BLOBMSG_TYPE_INT32:
    case BLOBMSG_TYPE_INT16:
      return "Integer";
    case BLOBMSG_TYPE_INT8:
      return "Boolean";
    case BLOBMSG_TYPE_DOUBLE:
      return "Double";
    default:
      return "(unknown)";
  }
}

void list_cb(struct ubus_context*, struct ubus_object_data* obj, void*) {
  if (!verbose || simple_output) {
    printf("%s\n", obj->path);
    return;
  }
  printf("'%s' @%08x\n", obj->path, obj->id);
  if (!obj->signature) return;
  struct blob_attr* method;
  size_t rem;
  blob_for_each_attr(method, obj->signature, rem) {
    if (!blobmsg_check_attr(method, true)) continue;
    json_object* args = json_object_new_object();
    struct blob_attr* arg;
    size_t arem = blobmsg_data_len(method);
    __blob_for_each_attr(arg, static_cast<struct blob_attr*>(blobmsg_data(method)), arem) {
      if (!blobmsg_check_attr(arg, true) || blobmsg_type(arg) != BLOBMSG_TYPE_INT32) continue;
      json_object_object_add(args, blobmsg_name(arg),
                             json_object_new_string(type_name(int(blobmsg_get_u32(arg)))));
    }
    printf("\t\"%s\":%s\n", blobmsg_name(method),
           json_object_to_json_string_ext(args, kJsonFlagsCompact));
    json_object_put(args);
  }
}

int cmd_list(struct ubus_context* ctx, int argc, char** argv) {
  if (argc > 1) return -2;
  return ubus_lookup(ctx, argc ? argv[0] : nullptr, list_cb, nullptr);
}

void call_cb(struct ubus_request*, int, struct blob_attr* msg) { print_message(msg, false); }

int cmd_call(struct ubus_context* ctx, int argc, char** argv) {
  if (argc < 2 || argc > 3) return -2;
  struct blob_buf b;
  memset(&b, 0, sizeof(b));
  blob_buf_init(&b, 0);
  if (argc == 3 && !parse_json_arg(&b, argv[2])) {
    if (!simple_output) fprintf(stderr, "Failed to parse message data\n");
    blob_buf_free(&b);
    return UBUS_STATUS_PARSE_ERROR;
  }
  uint32_t id;
  int ret = ubus_lookup_id(ctx, argv[0], &id);
  if (!ret) ret = ubus_invoke(ctx, id, argv[1], b.head, call_cb, nullptr, timeout_s * 1000);
  blob_buf_free(&b);
  return ret;
}

int cmd_send(struct ubus_context* ctx, int argc, char** argv) {
  if (argc < 1 || argc > 2) return -2;
  struct blob_buf b;
  memset(&b, 0, sizeof(b));
  blob_buf_init(&b, 0);
  if (argc == 2 && !parse_json_arg(&b, argv[1])) {
    if (!simple_output) fprintf(stderr, "Failed to parse message data\n");
    blob_buf_free(&b);
    return UBUS_STATUS_PARSE_ERROR;
  }
  int ret = ubus_send_event(ctx, argv[0], b.head);
  blob_buf_free(&b);
  return ret;
}

void stop_loop(struct uloop_timeout*) { uloop_end(); }

// Runs the loop until a signal, or for -t seconds when given.
void run_loop(struct ubus_context* ctx) {
  struct uloop_timeout stop;
  memset(&stop, 0, sizeof(stop));
  stop.cb = stop_loop;
  ubus_add_uloop(ctx);
  if (timeout_given) uloop_timeout_set(&stop, timeout_s * 1000);
  uloop_run();
  uloop_timeout_cancel(&stop);
}

void event_cb(struct ubus_context*, struct ubus_event_handler*, const char* type,
              struct blob_attr* msg) {
  print_named(type, msg);
}

int cmd_listen(struct ubus_context* ctx, int argc, char** argv) {
  struct ubus_event_handler listener;
  memset(&listener, 0, sizeof(listener));
  listener.cb = event_cb;
  int ret = 0;
  if (!argc) ret = ubus_register_event_handler(ctx, &listener, "*");
  for (int i = 0; i < argc && !ret; i++) ret = ubus_register_event_handler(ctx, &listener, argv[i]);
  if (ret) return ret;
  run_loop(ctx);
  return 0;
}

int notify_cb(struct ubus_context*, struct ubus_object*, struct ubus_request_data*,
              const char* method, struct blob_attr* msg) {
  print_named(method, msg);
  return 0;
}

void target_gone_cb(struct ubus_context*, struct ubus_subscriber*, uint32_t id) {
  fprintf(stderr, "Object %08x went away\n", id);
}

int cmd_subscribe(struct ubus_context* ctx, int argc, char** argv) {
  if (argc < 1) return -2;
  struct ubus_subscriber sub;
  memset(&sub, 0, sizeof(sub));
  sub.cb = notify_cb;
  sub.remove_cb = target_gone_cb;
  int ret = ubus_register_subscriber(ctx, &sub);
  for (int i = 0; i < argc && !ret; i++) {
    uint32_t id;
    ret = ubus_lookup_id(ctx, argv[i], &id);
    if (!ret) ret = ubus_subscribe(ctx, &sub, id);
  }
  if (ret) return ret;
  run_loop(ctx);
  return 0;
}

struct WaitState {
  struct ubus_event_handler ev;
  int count;
  char** paths;
  bool* found;
  int missing;
};

void wait_check(struct ubus_context* ctx, WaitState* w, const char* added) {
  for (int i = 0; i < w->count; i++) {
    if (w->found[i]) continue;
    uint32_t id;
    if (added ? strcmp(added, w->paths[i]) == 0 : ubus_lookup_id(ctx, w->paths[i], &id) == 0) {
      w->found[i] = true;
      w->missing--;
    }
  }
  if (!w->missing) uloop_end();
}

void wait_event_cb(struct ubus_context* ctx, struct ubus_event_handler* ev, const char*,
                   struct blob_attr* msg) {
  auto* w = container_of(ev, WaitState, ev);
  static const struct blobmsg_policy path_policy = {"path", BLOBMSG_TYPE_STRING};
  struct blob_attr* path = nullptr;
  blobmsg_parse(&path_policy, 1, &path, blob_data(msg), unsigned(blob_len(msg)));
  if (path) wait_check(ctx, w, blobmsg_get_string(path));
}

int cmd_wait_for(struct ubus_context* ctx, int argc, char** argv) {
  if (argc < 1) return -2;
  WaitState w;
  memset(&w, 0, sizeof(w));
  w.ev.cb = wait_event_cb;
  w.count = w.missing = argc;
  w.paths = argv;
  w.found = static_cast<bool*>(calloc(size_t(argc), sizeof(bool)));
  int ret = ubus_register_event_handler(ctx, &w.ev, "ubus.object.add");
  if (!ret) {
    wait_check(ctx, &w, nullptr);  // objects that exist already
    if (w.missing) {
      timeout_given = true;
      run_loop(ctx);
    }
    ret = w.missing ? UBUS_STATUS_TIMEOUT : 0;
  }
  free(w.found);
  return ret;
}

struct Command {
  const char* name;
  int (*run)(struct ubus_context* ctx, int argc, char** argv);
};

constexpr Command kCommands[] = {
    {"list", cmd_list}, {"call", cmd_call},           {"listen", cmd_listen},
    {"send", cmd_send}, {"subscribe", cmd_subscribe}, {"wait_for", cmd_wait_for},
};

int usage(const char* prog) {
  fprintf(stderr,
          "Usage: %s [<options>] <command> [arguments...]\n"
          "Options:\n"
          " -s <socket>:\t\tSet the unix domain socket to connect to\n"
          " -t <timeout>:\t\tSet the timeout (in seconds) for a command to complete\n"
          " -S:\t\t\tUse simplified output (for scripts)\n"
          " -v:\t\t\tMore verbose output\n"
          "\n"
          "Commands:\n"
          " - list [<path>]\t\t\tList objects\n"
          " - call <path> <method> [<message>]\tCall an object method\n"
          " - listen [<path>...]\t\t\tListen for events\n"
          " - send <type> [<message>]\t\tSend an event\n"
          " - subscribe <path> [<path>...]\tSubscribe to object(s) notifications\n"
          " - wait_for <object> [<object>...]\tWait for multiple objects to appear on ubus\n",
          prog);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* socket_path = nullptr;
  int ch;
  while ((ch = getopt(argc, argv, "s:t:Sv")) != -1) {
    switch (ch) {
      case 's':
        socket_path = optarg;
        break;
      case 't':
        timeout_s = atoi(optarg);
        timeout_given = true;
        if (timeout_s <= 0) return usage(argv[0]);
        break;
      case 'S':
        simple_output = true;
        break;
      case 'v':
        verbose = true;
        break;
      default:
        return usage(argv[0]);
    }
  }
  argc -= optind;
  argv += optind;
  if (argc < 1) return usage(argv[-optind]);

  const Command* cmd = nullptr;
  for (const Command& c : kCommands) {
    if (!strcmp(c.name, argv[0])) cmd = &c;
  }
  if (!cmd) return usage(argv[-optind]);

  setvbuf(stdout, nullptr, _IOLBF, 0);
  uloop_init();
  struct ubus_context* ctx = ubus_connect(socket_path);
  if (!ctx) {
    if (!simple_output) fprintf(stderr, "Failed to connect to ubus\n");
    uloop_done();
    return 255;
  }
  int ret = cmd->run(ctx, argc - 1, argv + 1);
  if (ret == -2)
    ret = usage(argv[-optind]);
  else if (ret > 0 && !simple_output)
    fprintf(stderr, "Command failed: %s\n", ubus_strerror(ret));
  ubus_free(ctx);
  uloop_done();
  return ret < 0 ? 255 : ret;
}
