// SPDX-License-Identifier: ISC
// A device of the test's own behind the hooks the MIB side calls: its
// outlets, the power of its buses (each with a nameplate, 1200 W where none
// is given) and the writes the MIB made to it; and readers of the tables
// the MIB built over it.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "mib.h"

struct FakeDevice {
  struct Outlet {
    bool physical, transient;
  };
  struct Write {
    std::string requester;  // "(none)" for null
    int index;
    bool value;
  };

  std::vector<Outlet> outlets;
  std::vector<float> bus_powers;
  std::vector<float> nameplates;
  std::vector<Write> writes;

  static int enumerate_outlets(void *relay, outlet_visitor visit, void *data) {
    auto *dev = static_cast<FakeDevice *>(relay);
    for (size_t i = 0; i < dev->outlets.size(); ++i)
      visit(data, static_cast<int>(i), dev->outlets[i].physical, dev->outlets[i].transient,
            "unknown");
    return static_cast<int>(dev->outlets.size());
  }

  static int enumerate_buses(void *meter, bus_visitor visit, void *data) {
    auto *dev = static_cast<FakeDevice *>(meter);
    for (size_t i = 0; i < dev->bus_powers.size(); ++i)
      visit(data, static_cast<int>(i), dev->bus_powers[i],
            i < dev->nameplates.size() ? dev->nameplates[i] : 1200.0f, 0.01f);
    return static_cast<int>(dev->bus_powers.size());
  }

  static int set_outlet(void *relay, const char *requester, int index, bool value, const char *) {
    static_cast<FakeDevice *>(relay)->writes.push_back(
        {requester ? requester : "(none)", index, value});
    return 0;
  }

  // Points `ops` at this device (every other hook null) and builds the MIB
  // tables over it; returns their context, null when none was built.
  mib_context *start_mib(device_ops *ops) {
    *ops = device_ops{};
    ops->relay = ops->reachable_relay = ops->meter = this;
    ops->enumerate_outlets = enumerate_outlets;
    ops->enumerate_buses = enumerate_buses;
    ops->set_outlet_transient = set_outlet;
    init_mib_tables(ops);
    return static_cast<mib_context *>(ops->mib_context);
  }
};

// The row of `set` with `indexes`, null when there is none.
inline netsnmp_table_row *table_row(netsnmp_table_data_set *set, const std::vector<long> &indexes) {
  netsnmp_variable_list *vars = nullptr;
  for (long i : indexes) snmp_varlist_add_variable(&vars, nullptr, 0, ASN_INTEGER, &i, sizeof i);
  netsnmp_table_row *found = netsnmp_table_data_get(set->table, vars);
  snmp_free_varbind(vars);
  return found;
}

// A column of a power-table row as stored: "no row" without the row, "none"
// without the column, a string as its text, an unsigned column (with
// `is_unsigned`) read as such whatever the width of long.
inline std::string stored_power_column(mib_context *ctx, long entity, unsigned column,
                                       bool is_unsigned = false) {
  netsnmp_table_row *r = table_row(ctx->power_table, {entity});
  if (!r) return "no row";
  auto *data = netsnmp_table_data_set_find_column(
      static_cast<netsnmp_table_data_set_storage *>(r->data), column);
  if (!data) return "none";
  if (data->type == ASN_OCTET_STR)
    return std::string(reinterpret_cast<char *>(data->data.string), data->data_len);
  if (is_unsigned) return std::to_string(static_cast<unsigned long>(*data->data.integer));
  return std::to_string(*data->data.integer);
}
