// SPDX-License-Identifier: ISC
// powersim: a simulated power switch on ubus for tests and the demo.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "powersim.h"

sim_state g_sim;

namespace {

const char usage[] =
    "Usage: powersim [options]\n"
    "  -s, --socket PATH          ubus socket (default: the library's)\n"
    "  --relay PATH               relay object path (relay)\n"
    "  --meter PATH               meter object path (meter)\n"
    "  --outlets N                number of outlets (2)\n"
    "  --buses N                  number of buses (1)\n"
    "  --key-type T               string|int|int64|int16|bool|double|mixed (string)\n"
    "  --on N                     outlet N (0-based) starts switched on; repeatable\n"
    "  --current A, --voltage V   initial bus readings (2.0, 230.0)\n"
    "  --power-factor P           power factor in percent (50)\n"
    "  --integer-values           publish readings as 32-bit integers\n"
    "  --extra-value BUS:NAME:V   one more value object; BUS may be 'missing' or 'string'\n"
    "  --switch-delay MS          physical_state follows transient_state after MS (0)\n"
    "  --drift MS                 readings drift every MS milliseconds (off)\n"
    "  --drift-step X             amperes per drift step; volts move ten times that (0.1)\n"
    "  --log FILE                 append every \"set\" as one JSON line\n"
    "  --remove PATH              never publish this object; repeatable\n"
    "  --keys-without-keys LIST   outlets|buses|values: answer \"keys\" without \"keys\"\n"
    "  --delay-replies MS         hold every relay and meter reply for MS\n"
    "  --http-object PATH         serve the HTTP plug-in's \"request\" method at PATH\n"
    "Control object \"powersim\": switch, set_value, fault, notify, log, state.\n";

enum {
  OPT_RELAY = 256,
  OPT_METER,
  OPT_OUTLETS,
  OPT_BUSES,
  OPT_KEY_TYPE,
  OPT_ON,
  OPT_CURRENT,
  OPT_VOLTAGE,
  OPT_POWER_FACTOR,
  OPT_INTEGER,
  OPT_EXTRA,
  OPT_SWITCH_DELAY,
  OPT_DRIFT,
  OPT_DRIFT_STEP,
  OPT_LOG,
  OPT_REMOVE,
  OPT_NO_KEYS,
  OPT_DELAY,
  OPT_HTTP_OBJECT,
  OPT_HELP
};

const option long_options[] = {
    {"socket", required_argument, nullptr, 's'},
    {"relay", required_argument, nullptr, OPT_RELAY},
    {"meter", required_argument, nullptr, OPT_METER},
    {"outlets", required_argument, nullptr, OPT_OUTLETS},
    {"buses", required_argument, nullptr, OPT_BUSES},
    {"key-type", required_argument, nullptr, OPT_KEY_TYPE},
    {"on", required_argument, nullptr, OPT_ON},
    {"current", required_argument, nullptr, OPT_CURRENT},
    {"voltage", required_argument, nullptr, OPT_VOLTAGE},
    {"power-factor", required_argument, nullptr, OPT_POWER_FACTOR},
    {"integer-values", no_argument, nullptr, OPT_INTEGER},
    {"extra-value", required_argument, nullptr, OPT_EXTRA},
    {"switch-delay", required_argument, nullptr, OPT_SWITCH_DELAY},
    {"drift", required_argument, nullptr, OPT_DRIFT},
    {"drift-step", required_argument, nullptr, OPT_DRIFT_STEP},
    {"log", required_argument, nullptr, OPT_LOG},
    {"remove", required_argument, nullptr, OPT_REMOVE},
    {"keys-without-keys", required_argument, nullptr, OPT_NO_KEYS},
    {"delay-replies", required_argument, nullptr, OPT_DELAY},
    {"http-object", required_argument, nullptr, OPT_HTTP_OBJECT},
    {"help", no_argument, nullptr, OPT_HELP},
    {nullptr, 0, nullptr, 0},
};

bool parse_count(const char *text, int *out) {
  char *end;
  long n = strtol(text, &end, 10);
  if (*end || n < 0 || n > 100000) return false;
  *out = static_cast<int>(n);
  return true;
}

// Returns 0 on success, else the exit status.
int parse_options(int argc, char **argv, sim_config *c) {
  int opt;
  while ((opt = getopt_long(argc, argv, "s:h", long_options, nullptr)) != -1) {
    bool ok = true;
    int n = 0;
    switch (opt) {
      case 's':
        c->socket = optarg;
        break;
      case OPT_RELAY:
        c->relay_path = optarg;
        break;
      case OPT_METER:
        c->meter_path = optarg;
        break;
      case OPT_OUTLETS:
        ok = parse_count(optarg, &c->outlets);
        break;
      case OPT_BUSES:
        ok = parse_count(optarg, &c->buses);
        break;
      case OPT_KEY_TYPE:
        ok = parse_key_type(optarg, &c->keys);
        break;
      case OPT_ON:
        ok = parse_count(optarg, &n);
        c->outlets_on.push_back(n);
        break;
      case OPT_CURRENT:
        c->current = atof(optarg);
        break;
      case OPT_VOLTAGE:
        c->voltage = atof(optarg);
        break;
      case OPT_POWER_FACTOR:
        c->power_factor = atof(optarg);
        break;
      case OPT_INTEGER:
        c->integer_values = true;
        break;
      case OPT_EXTRA:
        c->extra_values.push_back(optarg);
        break;
      case OPT_SWITCH_DELAY:
        ok = parse_count(optarg, &c->switch_delay_ms);
        break;
      case OPT_DRIFT:
        ok = parse_count(optarg, &c->drift_ms);
        break;
      case OPT_DRIFT_STEP:
        c->drift_step = atof(optarg);
        break;
      case OPT_LOG:
        c->log_path = optarg;
        break;
      case OPT_REMOVE:
        c->removed.push_back(optarg);
        break;
      case OPT_NO_KEYS:
        c->keys_without_keys = optarg;
        break;
      case OPT_DELAY:
        ok = parse_count(optarg, &c->reply_delay_ms);
        break;
      case OPT_HTTP_OBJECT:
        c->http_object = optarg;
        break;
      case 'h':
      case OPT_HELP:
        fputs(usage, stdout);
        return 0x100;
      default:
        ok = false;
        break;
    }
    if (!ok) {
      fprintf(stderr, "powersim: bad option value\n%s", usage);
      return 2;
    }
  }
  if (optind != argc) {
    fputs(usage, stderr);
    return 2;
  }
  if (c->keys == key_type::boolean && (c->outlets > 2 || c->buses > 2 || 2 * c->buses > 2)) {
    fprintf(stderr, "powersim: boolean keys allow at most two items per list\n");
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (int status = parse_options(argc, argv, &g_sim.config)) return status == 0x100 ? 0 : status;

  uloop_init();
  g_sim.ctx = ubus_connect(g_sim.config.socket);
  if (!g_sim.ctx) {
    fprintf(stderr, "powersim: cannot connect to ubus\n");
    return 1;
  }
  ubus_add_uloop(g_sim.ctx);
  if (!publish_relay() || !publish_meter() || !publish_control() ||
      (!g_sim.config.http_object.empty() && !publish_web(g_sim.config.http_object))) {
    ubus_free(g_sim.ctx);
    return 1;
  }
  start_drift();
  printf("powersim ready: %zu outlets, %zu buses\n", g_sim.outlets.size(), g_sim.buses.size());
  fflush(stdout);
  uloop_run();

  uloop_timeout_cancel(&g_sim.drift_timer);
  for (sim_object &o : g_sim.objects)
    if (o.added) ubus_remove_object(g_sim.ctx, &o.obj);
  ubus_free(g_sim.ctx);
  uloop_done();
  return 0;
}
