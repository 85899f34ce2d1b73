// SPDX-License-Identifier: ISC
// uh_request_server: a bus peer serving the "request" method on its own,
// with a few pretend outlets behind the status page and the switch path.
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <array>
#include <string>

#include "request.h"

namespace {

std::array<bool, 4> outlets;

std::string status_page(void *) {
  std::string page = "<!DOCTYPE html>\n<html><body><h1>Outlets</h1><ul>\n";
  for (size_t i = 0; i < outlets.size(); i++)
    page += "<li>outlet " + std::to_string(i) + ": " + (outlets[i] ? "on" : "off") + "</li>\n";
  return page + "</ul></body></html>\n";
}

int switch_outlet(void *, int outlet, bool on) {
  if (outlet < 0 || outlet >= static_cast<int>(outlets.size())) return UBUS_STATUS_NOT_FOUND;
  outlets[static_cast<size_t>(outlet)] = on;
  return UBUS_STATUS_OK;
}

}  // namespace

int main(int argc, char **argv) {
  const char *socket_path = nullptr;
  const char *object_path = "ubus-fd";
  int opt;

  while ((opt = getopt(argc, argv, "s:o:")) != -1) {
    switch (opt) {
      case 's':
        socket_path = optarg;
        break;
      case 'o':
        object_path = optarg;
        break;
      default:
        fputs("Usage: uh_request_server [-s socket] [-o object]\n", stderr);
        return 2;
    }
  }

  signal(SIGPIPE, SIG_IGN);
  uloop_init();
  struct ubus_context *ctx = ubus_connect(socket_path);
  if (!ctx) {
    fputs("uh_request_server: cannot connect to ubus\n", stderr);
    return 1;
  }
  ubus_add_uloop(ctx);

  request_method::hooks hooks;
  hooks.status_page = status_page;
  hooks.switch_outlet = switch_outlet;
  if (!request_method::add_request_object(ctx, object_path, hooks)) {
    fputs("uh_request_server: cannot publish the object\n", stderr);
    ubus_free(ctx);
    return 1;
  }
  printf("request server ready\n");
  fflush(stdout);

  uloop_run();
  ubus_free(ctx);
  uloop_done();
  return 0;
}
