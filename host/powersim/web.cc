// SPDX-License-Identifier: ISC
// The simulator's web face: the "request" object that the HTTP server's
// ubus-fd plug-in calls, with a status page of the outlets and buses and a
// switch for one outlet.
#include <stdio.h>

#include <string>

#include "powersim.h"
#include "request.h"

namespace {

const char *state_word(bool on) { return on ? "on" : "off"; }

std::string status_page(void *) {
  std::string page =
      "<!doctype html>\n<html><head><title>Power switch</title>"
      "<meta http-equiv=\"refresh\" content=\"5\"></head><body>\n"
      "<h1>Outlets</h1>\n<table border=\"1\">\n"
      "<tr><th>outlet</th><th>admin</th><th>relay</th></tr>\n";
  char row[256];
  for (size_t i = 0; i < g_sim.outlets.size(); ++i) {
    const sim_outlet &o = g_sim.outlets[i];
    snprintf(row, sizeof row, "<tr><td>%zu</td><td>%s</td><td>%s</td></tr>\n", i + 1,
             state_word(o.transient_state), state_word(o.physical_state));
    page += row;
  }
  page +=
      "</table>\n<h1>Buses</h1>\n<table border=\"1\">\n"
      "<tr><th>bus</th><th>value</th><th>reading</th></tr>\n";
  for (const sim_value &v : g_sim.values) {
    snprintf(row, sizeof row, "<tr><td>%d</td><td>%s</td><td>%.2f</td></tr>\n", v.bus + 1,
             v.name.c_str(), v.value);
    page += row;
  }
  page += "</table>\n</body></html>\n";
  return page;
}

// Outlets are numbered from 1 on the web page, as in the MIB.
int switch_from_web(void *, int outlet, bool on) {
  if (outlet < 1 || outlet > static_cast<int>(g_sim.outlets.size()))
    return UBUS_STATUS_INVALID_ARGUMENT;
  switch_outlet(outlet - 1, on, true);
  return UBUS_STATUS_OK;
}

}  // namespace

bool publish_web(const std::string &path) {
  request_method::hooks h;
  h.status_page = status_page;
  h.switch_outlet = switch_from_web;
  return request_method::add_request_object(g_sim.ctx, path.c_str(), h);
}
