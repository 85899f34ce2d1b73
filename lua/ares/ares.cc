// SPDX-License-Identifier: ISC
// ares: asynchronous DNS for Lua 5.4 over c-ares.
//
// The module owns no event loop. Lua code asks a channel which sockets to
// watch and how long to wait (fds), watches them itself and hands back what
// became ready (process). Requests (query, getaddrinfo) complete from inside
// process, or at once inside the request method, by calling their Lua
// callback on the main thread under the event loop's error handler.
//
// Lua errors are longjmps: every frame below that can raise is kept free of
// objects with destructors, and nothing raises through a c-ares callback
// (completions run their Lua work inside a protected call).

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <ctype.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <ares.h>

#include <array>
#include <string_view>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

namespace {

constexpr const char kChannelType[] = "ares_channel";
constexpr const char kErrorHandler[] = "__uloop_error_cb";

// ---------------------------------------------------------------------------
// Channel and options

enum class Field { timeout, tries, ndots, udp_port, tcp_port, sndbuf, rcvbuf, ednspsz };

struct OptionKey {
  std::string_view name;
  int mask;
  Field field;
};

constexpr std::array<OptionKey, 8> kOptions{{
    {"timeout", ARES_OPT_TIMEOUT, Field::timeout},
    {"tries", ARES_OPT_TRIES, Field::tries},
    {"ndots", ARES_OPT_NDOTS, Field::ndots},
    {"udp_port", ARES_OPT_UDP_PORT, Field::udp_port},
    {"tcp_port", ARES_OPT_TCP_PORT, Field::tcp_port},
    {"socket_send_buffer_size", ARES_OPT_SOCK_SNDBUF, Field::sndbuf},
    {"socket_receive_buffer_size", ARES_OPT_SOCK_RCVBUF, Field::rcvbuf},
    {"ednspsz", ARES_OPT_EDNSPSZ, Field::ednspsz},
}};

// c-ares options this binding does not offer (the socket-state callback in
// particular: the event loop learns about sockets only through fds).
constexpr std::array<std::string_view, 6> kUnimplemented{
    {"flags", "servers", "domains", "lookups", "sock_state_cb", "sortlist"}};

void store_option(ares_options* options, Field field, lua_Integer value) {
  switch (field) {
    case Field::timeout:
      options->timeout = static_cast<int>(value);
      break;
    case Field::tries:
      options->tries = static_cast<int>(value);
      break;
    case Field::ndots:
      options->ndots = static_cast<int>(value);
      break;
    case Field::udp_port:
      options->udp_port = static_cast<unsigned short>(value);
      break;
    case Field::tcp_port:
      options->tcp_port = static_cast<unsigned short>(value);
      break;
    case Field::sndbuf:
      options->socket_send_buffer_size = static_cast<int>(value);
      break;
    case Field::rcvbuf:
      options->socket_receive_buffer_size = static_cast<int>(value);
      break;
    case Field::ednspsz:
      options->ednspsz = static_cast<int>(value);
      break;
  }
}

// Applies the key at -2 and value at -1 of a table walk; raises for keys
// that are not options. Leaves the stack as it found it.
void apply_option(lua_State* L, ares_options* options, int* mask) {
  if (lua_type(L, -2) != LUA_TSTRING) {
    if (lua_type(L, -2) != LUA_TNUMBER) luaL_error(L, "unknown option %s", luaL_typename(L, -2));
    // a copy: converting the key itself would confuse lua_next
    lua_pushvalue(L, -2);
    luaL_error(L, "unknown option %s", lua_tostring(L, -1));
  }
  size_t len;
  const char* key = lua_tolstring(L, -2, &len);
  std::string_view name(key, len);
  for (const OptionKey& option : kOptions) {
    if (option.name != name) continue;
    *mask |= option.mask;
    store_option(options, option.field, lua_tointegerx(L, -1, nullptr));
    return;
  }
  for (std::string_view unimplemented : kUnimplemented)
    if (unimplemented == name) luaL_error(L, "unimplemented init option %s", key);
  luaL_error(L, "unknown option %s", key);
}

// ---------------------------------------------------------------------------
// Sockets of a channel
//
// c-ares reports every socket it opens, every change of what it wants to
// wait for on it and every close through the socket-state callback; the
// channel keeps that list, ordered by descriptor, so that fds and process
// work for any descriptor number (fixed-size descriptor sets stop at 1023).
// The list lives as long as the c-ares channel, which is never destroyed.

struct watched_socket {
  ares_socket_t fd;
  bool read;   // c-ares waits for it to become readable
  bool write;  // ... writable
  bool ready_read;
  bool ready_write;
};

struct socket_list {
  watched_socket* items;
  int count;
  int capacity;
};

// The channel userdata: the c-ares handle first, then its socket list.
struct channel_body {
  ares_channel handle;
  socket_list* sockets;
};

socket_list* socket_list_new() {
  auto* list = static_cast<socket_list*>(calloc(1, sizeof(socket_list)));
  if (list == nullptr) return nullptr;
  list->capacity = 4;
  list->items = static_cast<watched_socket*>(calloc(list->capacity, sizeof(watched_socket)));
  if (list->items == nullptr) {
    free(list);
    return nullptr;
  }
  return list;
}

// Position of `fd` in the list, or of the first socket above it.
int socket_position(const socket_list* list, ares_socket_t fd) {
  int low = 0, high = list->count;
  while (low < high) {
    int mid = (low + high) / 2;
    if (list->items[mid].fd < fd)
      low = mid + 1;
    else
      high = mid;
  }
  return low;
}

// The socket-state callback. Called from inside c-ares: raises nothing. A
// socket the list has no room for (memory exhausted) goes unwatched; its
// queries then time out and are retried like lost answers.
void note_socket_state(void* data, ares_socket_t fd, int readable, int writable) {
  auto* list = static_cast<socket_list*>(data);
  int at = socket_position(list, fd);
  bool known = at < list->count && list->items[at].fd == fd;
  if (!readable && !writable) {
    if (!known) return;
    memmove(list->items + at, list->items + at + 1,
            sizeof(watched_socket) * static_cast<size_t>(list->count - at - 1));
    --list->count;
    return;
  }
  if (!known) {
    if (list->count == list->capacity) {
      int capacity = list->capacity * 2;
      void* grown = realloc(list->items, sizeof(watched_socket) * static_cast<size_t>(capacity));
      if (grown == nullptr) return;
      list->items = static_cast<watched_socket*>(grown);
      list->capacity = capacity;
    }
    memmove(list->items + at + 1, list->items + at,
            sizeof(watched_socket) * static_cast<size_t>(list->count - at));
    ++list->count;
    list->items[at] = watched_socket{fd, false, false, false, false};
  }
  list->items[at].read = readable != 0;
  list->items[at].write = writable != 0;
}

channel_body* check_channel(lua_State* L) {
  return static_cast<channel_body*>(luaL_checkudata(L, 1, kChannelType));
}

// ares.init([options]) -> channel | nil, message
int channel_init(lua_State* L) {
  auto* body = static_cast<channel_body*>(lua_newuserdatauv(L, sizeof(channel_body), 1));
  body->handle = nullptr;
  body->sockets = nullptr;
  luaL_setmetatable(L, kChannelType);
  ares_options options;
  memset(&options, 0, sizeof options);
  int mask = 0;
  if (lua_istable(L, 1)) {
    lua_pushnil(L);  // first key
    while (lua_next(L, 1) != 0) {
      apply_option(L, &options, &mask);
      lua_pop(L, 1);  // value; the key stays for the next round
    }
  }
  socket_list* sockets = socket_list_new();
  if (sockets == nullptr) {
    lua_pushnil(L);
    lua_pushstring(L, ares_strerror(ARES_ENOMEM));
    return 2;
  }
  options.sock_state_cb = note_socket_state;
  options.sock_state_cb_data = sockets;
  int status = ares_init_options(&body->handle, &options, mask | ARES_OPT_SOCK_STATE_CB);
  if (status != ARES_SUCCESS) {
    free(sockets->items);
    free(sockets);
    lua_pushnil(L);
    lua_pushstring(L, ares_strerror(status));
    return 2;
  }
  body->sockets = sockets;
  return 1;
}

// ---------------------------------------------------------------------------
// Event-loop hooks

// channel:fds() -> readers, writers, count, timeout|nil
int channel_fds(lua_State* L) {
  channel_body* channel = check_channel(L);
  const socket_list* sockets = channel->sockets;
  for (int pass = 0; pass < 2; ++pass) {
    lua_createtable(L, sockets->count, 0);
    lua_Integer n = 0;
    for (int i = 0; i < sockets->count; ++i) {
      const watched_socket& s = sockets->items[i];
      if (!(pass == 0 ? s.read : s.write)) continue;
      lua_pushinteger(L, s.fd);
      lua_rawseti(L, -2, ++n);
    }
  }
  // the highest descriptor plus one, 0 when none
  lua_pushinteger(L, sockets->count > 0 ? sockets->items[sockets->count - 1].fd + 1 : 0);
  timeval tv;
  if (ares_timeout(channel->handle, nullptr, &tv) != nullptr)
    lua_pushnumber(L,
                   static_cast<lua_Number>(tv.tv_sec) + static_cast<lua_Number>(tv.tv_usec) * 1e-6);
  else
    lua_pushnil(L);  // nothing pending
  return 4;
}

// Marks the channel's sockets named in the list at `arg` (nil or absent:
// none) as ready. Entries that are not integers count as 0; descriptors
// that are not the channel's are ignored.
void mark_ready(lua_State* L, int arg, socket_list* sockets, bool writable) {
  for (lua_Integer i = 1; i <= static_cast<lua_Integer>(lua_rawlen(L, arg)); ++i) {
    lua_geti(L, arg, i);
    lua_Integer fd = lua_tointegerx(L, -1, nullptr);
    lua_pop(L, 1);
    if (fd < 0 || fd > INT_MAX) continue;
    int at = socket_position(sockets, static_cast<ares_socket_t>(fd));
    if (at == sockets->count || sockets->items[at].fd != fd) continue;
    if (writable)
      sockets->items[at].ready_write = true;
    else
      sockets->items[at].ready_read = true;
  }
}

// channel:process(readable, writable)
int channel_process(lua_State* L) {
  channel_body* channel = check_channel(L);
  socket_list* sockets = channel->sockets;
  for (int i = 0; i < sockets->count; ++i)
    sockets->items[i].ready_read = sockets->items[i].ready_write = false;
  // both lists are read before c-ares runs any completion
  mark_ready(L, 2, sockets, false);
  mark_ready(L, 3, sockets, true);
  // Completions may open and close sockets, so after every socket the list
  // is searched again, from the descriptor above the one just handled (the
  // list is in descriptor order, and only sockets known before the first
  // call are marked); each call also handles the time-outs.
  bool any = false;
  for (int i = 0;;) {
    while (i < sockets->count && !sockets->items[i].ready_read && !sockets->items[i].ready_write)
      ++i;
    if (i == sockets->count) break;
    watched_socket& s = sockets->items[i];
    const ares_socket_t fd = s.fd;
    ares_socket_t read_fd = s.ready_read ? fd : ARES_SOCKET_BAD;
    ares_socket_t write_fd = s.ready_write ? fd : ARES_SOCKET_BAD;
    s.ready_read = s.ready_write = false;
    any = true;
    ares_process_fd(channel->handle, read_fd, write_fd);
    i = socket_position(sockets, fd + 1);
  }
  if (!any) ares_process_fd(channel->handle, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
  return 0;
}

// ---------------------------------------------------------------------------
// Requests
//
// A request record is a userdata anchored in the registry by a reference to
// itself while c-ares holds its address; the completion drops that anchor
// last. `main` is the main thread of the requesting state: completions run
// there whatever coroutine started the request.

struct request {
  lua_State* main;
  int callback_ref;
  int self_ref;
};

struct query_request {
  request head;
};

struct addrinfo_request {
  request head;
  bool service_given;
  double time_base;
  int family;  // asked for: AF_UNSPEC, AF_INET or AF_INET6
};

// With the callback at stack index 5: creates a record of `size` bytes that
// references the callback and itself. Leaves the stack as it found it.
request* start_request(lua_State* L, size_t size) {
  auto* req = static_cast<request*>(lua_newuserdatauv(L, size, 1));
  memset(req, 0, size);
  req->callback_ref = LUA_NOREF;
  req->self_ref = LUA_NOREF;
  lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_MAINTHREAD);
  req->main = lua_tothread(L, -1);
  lua_pop(L, 1);
  lua_pushvalue(L, 5);
  req->callback_ref = luaL_ref(L, LUA_REGISTRYINDEX);
  req->self_ref = luaL_ref(L, LUA_REGISTRYINDEX);  // pops the record
  return req;
}

void release(lua_State* L, int* ref) {
  int old = *ref;
  *ref = LUA_NOREF;
  luaL_unref(L, LUA_REGISTRYINDEX, old);
}

// Pushes the message handler and returns its stack index.
int push_error_handler(lua_State* L) {
  lua_getglobal(L, kErrorHandler);
  return lua_gettop(L);
}

// Pushes the callback; its reference is dropped before it runs.
void push_callback(lua_State* L, request* req) {
  lua_rawgeti(L, LUA_REGISTRYINDEX, req->callback_ref);
  release(L, &req->callback_ref);
}

// Runs `deliver(data)` protected on the request's main thread, then drops
// whatever references are left, the record's anchor last. Raises nothing.
void complete(request* req, lua_CFunction deliver, void* data) {
  lua_State* L = req->main;
  if (!lua_checkstack(L, 3)) return;  // stack exhausted: leave the record anchored
  lua_pushcfunction(L, deliver);
  lua_pushlightuserdata(L, data);
  if (lua_pcall(L, 1, 0, 0) != LUA_OK) lua_pop(L, 1);
  release(L, &req->callback_ref);
  release(L, &req->self_ref);
}

struct query_result {
  query_request* req;
  int status;
  int timeouts;
  const unsigned char* reply;
  int length;
};

// Protected: callback(status, timeouts, reply) under the error handler.
int deliver_query(lua_State* L) {
  auto* r = static_cast<query_result*>(lua_touserdata(L, 1));
  int h = push_error_handler(L);
  push_callback(L, &r->req->head);
  lua_pushinteger(L, r->status);
  lua_pushinteger(L, r->timeouts);
  if (r->reply != nullptr && r->length > 0)
    lua_pushlstring(L, reinterpret_cast<const char*>(r->reply), static_cast<size_t>(r->length));
  else
    lua_pushliteral(L, "");
  if (lua_pcall(L, 3, 0, h) != LUA_OK) lua_pop(L, 1);  // the handler has seen it
  lua_settop(L, h - 1);
  return 0;
}

void query_done(void* arg, int status, int timeouts, unsigned char* abuf, int alen) {
  auto* req = static_cast<query_request*>(arg);
  query_result result{req, status, timeouts, abuf, alen};
  complete(&req->head, deliver_query, &result);
}

// channel:query(name, class, type, callback)
int channel_query(lua_State* L) {
  ares_channel channel = check_channel(L)->handle;
  const char* name = luaL_checkstring(L, 2);
  auto dnsclass = static_cast<int>(luaL_checkinteger(L, 3));
  auto type = static_cast<int>(luaL_checkinteger(L, 4));
  lua_settop(L, 5);
  auto* req = reinterpret_cast<query_request*>(start_request(L, sizeof(query_request)));
  ares_query(channel, name, dnsclass, type, query_done, req);
  return 0;
}

struct addrinfo_result {
  addrinfo_request* req;
  int status;
  int timeouts;
  const ares_addrinfo* info;
};

const char* socktype_name(int socktype) {
  switch (socktype) {
    case SOCK_STREAM:
      return "stream";
    case SOCK_DGRAM:
      return "dgram";
    case SOCK_RAW:
      return "raw";
    default:
      return nullptr;
  }
}

// Pushes the entry table of one address node; pushes nothing and returns
// false for a node of another family (than inet and inet6, or than the one
// asked for: a name server may answer a question for one family with
// addresses of the other) or an address that has no text form.
bool push_entry(lua_State* L, const ares_addrinfo_node* node, const addrinfo_request* req) {
  const void* address;
  unsigned port;
  const char* family;
  if (node->ai_addr == nullptr) return false;
  if (req->family != AF_UNSPEC && node->ai_family != req->family) return false;
  if (node->ai_family == AF_INET && node->ai_addrlen >= sizeof(sockaddr_in)) {
    auto* sin = reinterpret_cast<const sockaddr_in*>(node->ai_addr);
    address = &sin->sin_addr;
    port = ntohs(sin->sin_port);
    family = "inet";
  } else if (node->ai_family == AF_INET6 && node->ai_addrlen >= sizeof(sockaddr_in6)) {
    auto* sin6 = reinterpret_cast<const sockaddr_in6*>(node->ai_addr);
    address = &sin6->sin6_addr;
    port = ntohs(sin6->sin6_port);
    family = "inet6";
  } else {
    return false;
  }
  char text[128];
  if (inet_ntop(node->ai_family, address, text, sizeof text) == nullptr) return false;

  luaL_checkstack(L, 3, "too many addresses");
  lua_createtable(L, 0, 5);
  lua_pushstring(L, family);
  lua_setfield(L, -2, "family");
  if (req->service_given) {
    lua_pushinteger(L, port);
    lua_setfield(L, -2, "port");
    if (const char* socktype = socktype_name(node->ai_socktype)) {
      lua_pushstring(L, socktype);
      lua_setfield(L, -2, "socktype");
    }
  }
  lua_pushstring(L, text);
  lua_setfield(L, -2, "address");
  lua_pushnumber(L, static_cast<lua_Number>(node->ai_ttl) + req->time_base);
  lua_setfield(L, -2, "ttl");
  return true;
}

// Protected: callback(status, timeouts, entry...) under the error handler.
int deliver_addrinfo(lua_State* L) {
  auto* r = static_cast<addrinfo_result*>(lua_touserdata(L, 1));
  int h = push_error_handler(L);
  push_callback(L, &r->req->head);
  lua_pushinteger(L, r->status);
  lua_pushinteger(L, r->timeouts);
  int nargs = 2;
  for (const ares_addrinfo_node* node = r->info ? r->info->nodes : nullptr; node;
       node = node->ai_next)
    if (push_entry(L, node, r->req)) ++nargs;
  if (lua_pcall(L, nargs, 0, h) != LUA_OK) lua_pop(L, 1);
  lua_settop(L, h - 1);
  return 0;
}

void addrinfo_done(void* arg, int status, int timeouts, ares_addrinfo* info) {
  auto* req = static_cast<addrinfo_request*>(arg);
  addrinfo_result result{req, status, timeouts, info};
  complete(&req->head, deliver_addrinfo, &result);
  if (info != nullptr) ares_freeaddrinfo(info);
}

// channel:getaddrinfo(name, family, service, callback, base)
int channel_getaddrinfo(lua_State* L) {
  ares_channel channel = check_channel(L)->handle;
  const char* name = luaL_checkstring(L, 2);
  std::string_view family = luaL_optstring(L, 3, "any");
  ares_addrinfo_hints hints;
  memset(&hints, 0, sizeof hints);
  if (family == "any")
    hints.ai_family = AF_UNSPEC;
  else if (family == "inet")
    hints.ai_family = AF_INET;
  else if (family == "inet6")
    hints.ai_family = AF_INET6;
  else
    return luaL_argerror(L, 3, "supported values: any, inet, inet6");
  const char* service = luaL_optstring(L, 4, nullptr);
  double time_base = lua_tonumberx(L, 6, nullptr);
  lua_settop(L, 5);
  auto* req = reinterpret_cast<addrinfo_request*>(start_request(L, sizeof(addrinfo_request)));
  req->service_given = service != nullptr;
  req->time_base = time_base;
  req->family = hints.ai_family;
  ares_getaddrinfo(channel, name, service, &hints, addrinfo_done, req);
  return 0;
}

// ---------------------------------------------------------------------------
// Reply parsers

// Protected: builds the reply table from the hostent at index 1 (1 result).
int push_hostent(lua_State* L) {
  auto* host = static_cast<const hostent*>(lua_touserdata(L, 1));
  lua_createtable(L, 0, 4);
  lua_pushstring(L, host->h_name ? host->h_name : "");
  lua_setfield(L, -2, "name");
  lua_newtable(L);
  for (int i = 0; host->h_aliases && host->h_aliases[i]; ++i) {
    lua_pushstring(L, host->h_aliases[i]);
    lua_rawseti(L, -2, i + 1);
  }
  lua_setfield(L, -2, "aliases");
  bool inet = host->h_addrtype == AF_INET;
  lua_pushstring(L, inet ? "inet" : "inet6");
  lua_setfield(L, -2, "addrtype");
  lua_newtable(L);
  for (int i = 0; host->h_addr_list && host->h_addr_list[i]; ++i) {
    if (inet) {
      in_addr address;
      memcpy(&address, host->h_addr_list[i], sizeof address);
      lua_pushstring(L, inet_ntoa(address));
    } else {
      char text[46];
      lua_pushstring(L, inet_ntop(AF_INET6, host->h_addr_list[i], text, sizeof text) ? text : "");
    }
    lua_rawseti(L, -2, i + 1);
  }
  lua_setfield(L, -2, "addr_list");
  return 1;
}

using reply_parser = int (*)(const unsigned char*, int, hostent**);

int parse_a(const unsigned char* reply, int length, hostent** host) {
  return ares_parse_a_reply(reply, length, host, nullptr, nullptr);
}

int parse_aaaa(const unsigned char* reply, int length, hostent** host) {
  return ares_parse_aaaa_reply(reply, length, host, nullptr, nullptr);
}

// -> table | nil, message. The hostent is freed before returning, also
// when building the table fails (the error is raised again afterwards).
int parse_reply(lua_State* L, reply_parser parse) {
  size_t length;
  const char* reply = luaL_checklstring(L, 1, &length);
  hostent* host = nullptr;
  int status = length > INT_MAX ? ARES_EBADRESP
                                : parse(reinterpret_cast<const unsigned char*>(reply),
                                        static_cast<int>(length), &host);
  if (status != ARES_SUCCESS) {
    if (host != nullptr) ares_free_hostent(host);
    lua_pushnil(L);
    lua_pushstring(L, ares_strerror(status));
    return 2;
  }
  lua_pushcfunction(L, push_hostent);
  lua_pushlightuserdata(L, host);
  status = lua_pcall(L, 1, 1, 0);
  ares_free_hostent(host);
  if (status != LUA_OK) return lua_error(L);
  return 1;
}

int parse_a_reply(lua_State* L) { return parse_reply(L, parse_a); }
int parse_aaaa_reply(lua_State* L) { return parse_reply(L, parse_aaaa); }

// ---------------------------------------------------------------------------
// DNS constants: the enumerators of the resolver header, each published under
// its name without the "ns_c_" or "ns_t_" prefix, in upper case. So ns_c_2,
// the class number 2 that has no name of its own, becomes the key "2".

struct Constant {
  const char* suffix;  // the enumerator's name after the prefix
  lua_Integer value;
};

#define DNS_CLASS(suffix) \
  Constant { #suffix, ns_c_##suffix }
#define DNS_TYPE(suffix) \
  Constant { #suffix, ns_t_##suffix }

constexpr Constant kClasses[] = {
    DNS_CLASS(invalid), DNS_CLASS(in),   DNS_CLASS(2),   DNS_CLASS(chaos),
    DNS_CLASS(hs),      DNS_CLASS(none), DNS_CLASS(any), DNS_CLASS(max),
};

// The types of the device's resolver header. Newer C libraries give 256 to
// URI instead of ZXFR, so that one number is written here.
constexpr Constant kTypes[] = {
    DNS_TYPE(invalid),     DNS_TYPE(a),    DNS_TYPE(ns),     DNS_TYPE(md),       DNS_TYPE(mf),
    DNS_TYPE(cname),       DNS_TYPE(soa),  DNS_TYPE(mb),     DNS_TYPE(mg),       DNS_TYPE(mr),
    DNS_TYPE(null),        DNS_TYPE(wks),  DNS_TYPE(ptr),    DNS_TYPE(hinfo),    DNS_TYPE(minfo),
    DNS_TYPE(mx),          DNS_TYPE(txt),  DNS_TYPE(rp),     DNS_TYPE(afsdb),    DNS_TYPE(x25),
    DNS_TYPE(isdn),        DNS_TYPE(rt),   DNS_TYPE(nsap),   DNS_TYPE(nsap_ptr), DNS_TYPE(sig),
    DNS_TYPE(key),         DNS_TYPE(px),   DNS_TYPE(gpos),   DNS_TYPE(aaaa),     DNS_TYPE(loc),
    DNS_TYPE(nxt),         DNS_TYPE(eid),  DNS_TYPE(nimloc), DNS_TYPE(srv),      DNS_TYPE(atma),
    DNS_TYPE(naptr),       DNS_TYPE(kx),   DNS_TYPE(cert),   DNS_TYPE(a6),       DNS_TYPE(dname),
    DNS_TYPE(sink),        DNS_TYPE(opt),  DNS_TYPE(apl),    DNS_TYPE(tkey),     DNS_TYPE(tsig),
    DNS_TYPE(ixfr),        DNS_TYPE(axfr), DNS_TYPE(mailb),  DNS_TYPE(maila),    DNS_TYPE(any),
    Constant{"zxfr", 256}, DNS_TYPE(max),
};

#undef DNS_CLASS
#undef DNS_TYPE

// Pushes a table of the constants, keyed by their upper-case names (1 value).
template <size_t N>
void push_constants(lua_State* L, const Constant (&constants)[N]) {
  lua_createtable(L, 0, static_cast<int>(N));
  for (const Constant& c : constants) {
    char key[16];  // names are at most 15 characters
    size_t i = 0;
    for (; c.suffix[i] != '\0' && i + 1 < sizeof key; ++i)
      key[i] = static_cast<char>(toupper(static_cast<unsigned char>(c.suffix[i])));
    key[i] = '\0';
    lua_pushinteger(L, c.value);
    lua_setfield(L, -2, key);
  }
}

}  // namespace

extern "C" {

extern const luaL_Reg ares_functions[] = {
    {"init", channel_init},
    {"parse_a_reply", parse_a_reply},
    {"parse_aaaa_reply", parse_aaaa_reply},
    {nullptr, nullptr},
};

extern const luaL_Reg ares_channel_methods[] = {
    {"query", channel_query}, {"getaddrinfo", channel_getaddrinfo},
    {"fds", channel_fds},     {"process", channel_process},
    {nullptr, nullptr},
};

int luaopen_ares(lua_State* L) {
  ares_library_init(ARES_LIB_INIT_ALL);
  luaL_newmetatable(L, kChannelType);
  lua_newtable(L);
  luaL_setfuncs(L, ares_channel_methods, 0);
  lua_setfield(L, -2, "__index");
  lua_newtable(L);
  luaL_setfuncs(L, ares_functions, 0);
  push_constants(L, kClasses);
  lua_setfield(L, -2, "class");
  push_constants(L, kTypes);
  lua_setfield(L, -2, "type");
  return 1;
}

}  // extern "C"
