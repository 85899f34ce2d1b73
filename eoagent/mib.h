// SPDX-License-Identifier: ISC
// The energy-object MIB side of the subagent: the five tables, the
// accounting of time in each power state, writes of eoPowerAdminState,
// the notification scalar and the power-state notification.
#pragma once

#include <stdint.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "device.h"
#include "mib_schema.h"

// Power-state values of an outlet's two boolean states.
constexpr long power_state_off = 257;
constexpr long power_state_on = 259;
constexpr long power_state_of(bool state) { return state ? power_state_on : power_state_off; }
// Entity indexes: outlet i is i + 1, bus i is i + 257; outlets from the
// 257th on have no index of their own and are not published.
constexpr long first_bus_index = 257;
constexpr int max_outlets = static_cast<int>(first_bus_index - 1);

// Whether outlet `index` (from 0) has a row: beyond the first max_outlets
// its entity index would name a bus.
inline bool outlet_published(int index) { return index >= 0 && index < max_outlets; }

struct outlet_accounting {
  uint32_t time_in_state[2];  // hundredths of a second, earlier stays only
  uint32_t entries[2];
  uint8_t current_state;
  uint32_t since;  // agent uptime when the current stay began (the tables' birth for the first)
};

struct mib_context {
  device_ops *ops;
  netsnmp_table_data_set *power_table;
  netsnmp_table_data_set *power_state_table;
  // One entry per outlet row: outlets 1 .. accounting_count have rows, and
  // only they can be written.
  outlet_accounting *accounting;
  int accounting_count;
  int bus_rows;
  bool out_of_memory_logged;
  char *requester_address;
};

// Allocation used for the MIB context and the outlet accounting; tests
// put a failing one in its place.
extern void *(*mib_realloc)(void *block, size_t size);

extern "C" {

extern bool notifications_enabled;

void init_eoPowerEnableStatusNotification(void);
// False (with a log line) when the MIB context cannot be allocated.
bool init_mib_tables(device_ops *ops);
// Brings the rows in line with the device after it was opened again (the
// bus came back): rows of outlets and buses that are gone are removed, new
// ones added, the others take the current values (a changed outlet state
// counts and is notified as a change); reasons written by managers stay.
void refresh_mib_rows(void *context);
void free_mib_context(void *context);

// The agent's uptime jumped by `delta` hundredths of a second (modulo
// 2^32) with no time passing, as when a subagent takes its master's
// uptime: the current stays keep the length they had.
void shift_time_in_state(void *context, unsigned long delta);

void outlet_state_changed(void *context, int index, bool physical_state, bool transient_state,
                          const char *reason);
void bus_power_changed(void *context, int index, float power);
void send_power_state_notification(long entity, bool physical_state, bool transient_state,
                                   const char *reason);

Netsnmp_Node_Handler power_table_handler;
Netsnmp_Node_Handler power_state_table_handler;
Netsnmp_Node_Handler handle_eoPowerEnableStatusNotification;

// The requester address carried in a context name such as
// "switch[192.0.2.7]:161": a heap copy of the text between the first "["
// and the next "]", or null.
char *requester_from_context(const char *context_name, size_t len);

}  // extern "C"
