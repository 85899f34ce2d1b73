// SPDX-License-Identifier: ISC
// The five energy-object tables as net-snmp table data sets, their rows
// for the outlets and buses, and the time-in-state accounting.
#include "mib.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

using namespace eo_mib;

void *(*mib_realloc)(void *block, size_t size) = realloc;

namespace {

// A float reading as a 32-bit SNMP integer, truncated toward zero.
long to_integer(float value) {
  if (isnan(value)) return 0;
  if (value >= 2147483647.0f) return 2147483647L;
  if (value <= -2147483648.0f) return -2147483647L - 1;
  return static_cast<long>(value);
}

unsigned long to_unsigned(float value) {
  if (!(value > 0)) return 0;
  if (value >= 4294967295.0f) return 4294967295UL;
  return static_cast<unsigned long>(value);
}

int null_table_handler(netsnmp_mib_handler *, netsnmp_handler_registration *,
                       netsnmp_agent_request_info *, netsnmp_request_info *) {
  return SNMP_ERR_NOERROR;
}

void set_integer(netsnmp_table_row *row, unsigned column, long value) {
  netsnmp_set_row_column(row, column, ASN_INTEGER, &value, sizeof value);
}

void set_unsigned(netsnmp_table_row *row, unsigned column, int type, unsigned long value) {
  netsnmp_set_row_column(row, column, type, &value, sizeof value);
}

long integer_column(netsnmp_table_row *row, unsigned column) {
  auto *data = netsnmp_table_data_set_find_column(
      static_cast<netsnmp_table_data_set_storage *>(row->data), column);
  return data && data->data.integer ? *data->data.integer : 0;
}

netsnmp_table_row *new_row(long first_index) {
  netsnmp_table_row *row = netsnmp_create_table_data_row();
  if (row) netsnmp_table_row_add_index(row, ASN_INTEGER, &first_index, sizeof first_index);
  return row;
}

void log_out_of_memory(mib_context *ctx, const char *what) {
  if (ctx->out_of_memory_logged) return;
  ctx->out_of_memory_logged = true;
  snmp_log(LOG_ERR, "out of memory: %s\n", what);
}

// Creates, registers and returns the data set of `table`, its columns
// taken from the table's description.
netsnmp_table_data_set *register_table(const table_def &table, int modes,
                                       Netsnmp_Node_Handler *handler, void *context) {
  netsnmp_table_data_set *set = netsnmp_create_table_data_set(table.name);
  if (!set) return nullptr;
  for (u_char type : table.index_types)
    if (type) netsnmp_table_dataset_add_index(set, type);
  for (size_t i = 0; i < table.column_count; ++i) {
    const column_def &column = table.columns[i];
    netsnmp_table_set_add_default_row(set, column.number, column.type, column.writable, nullptr, 0);
  }
  netsnmp_handler_registration *reg = netsnmp_create_handler_registration(
      table.name, handler, table.table_oid, table_oid_len, modes);
  if (reg) reg->my_reg_void = context;
  netsnmp_register_table_data_set(reg, set, nullptr);
  return set;
}

// Makes room for one more outlet's accounting; false (logged once) when
// memory runs out.
bool grow_accounting(mib_context *ctx) {
  auto *grown = static_cast<outlet_accounting *>(
      mib_realloc(ctx->accounting, (ctx->accounting_count + 1) * sizeof(outlet_accounting)));
  if (!grown) {
    log_out_of_memory(ctx, "outlets from here on are not published");
    return false;
  }
  ctx->accounting = grown;
  return true;
}

void start_accounting(outlet_accounting *entry, bool physical_state) {
  memset(entry, 0, sizeof *entry);
  entry->current_state = physical_state ? 1 : 0;
  entry->entries[entry->current_state] = 1;
  entry->since = static_cast<uint32_t>(netsnmp_get_agent_uptime());
}

// Ends the current stay when the outlet's physical state changed.
void account_state(outlet_accounting *entry, bool physical_state) {
  uint8_t state = physical_state ? 1 : 0;
  if (state == entry->current_state) return;
  uint32_t now = static_cast<uint32_t>(netsnmp_get_agent_uptime());
  entry->time_in_state[entry->current_state] += now - entry->since;
  entry->since = now;
  entry->current_state = state;
  entry->entries[state] += 1;
}

void add_power_state_row(mib_context *ctx, long entity, long state, long max_power) {
  netsnmp_table_row *row = new_row(entity);
  if (!row) return;
  netsnmp_table_row_add_index(row, ASN_INTEGER, &state, sizeof state);
  set_integer(row, state_index, state);
  set_integer(row, state_max_power, max_power);
  set_integer(row, state_unit_multiplier, shown_unit_multiplier);
  // Stored placeholders: the data set serves only columns that hold a
  // value, so without them walks would never reach the accounting below.
  set_unsigned(row, state_total_time, ASN_TIMETICKS, 0);
  set_unsigned(row, state_enter_count, ASN_COUNTER, 0);
  netsnmp_table_dataset_add_row(ctx->power_state_table, row);
}

void add_power_state_rows(mib_context *ctx, long entity) {
  add_power_state_row(ctx, entity, power_state_off, 0);
  add_power_state_row(ctx, entity, power_state_on, outlet_on_max_power);
}

// The power-table row of outlet `index` and its accounting; outlets are
// published in order, so this is always the next one.
void add_outlet_row(void *data, int index, bool physical_state, bool transient_state,
                    const char *reason) {
  auto *ctx = static_cast<mib_context *>(data);
  if (!outlet_published(index) || index != ctx->accounting_count) return;
  if (!grow_accounting(ctx)) return;
  netsnmp_table_row *row = new_row(index + 1);
  if (!row) return;
  set_integer(row, power, 0);
  set_unsigned(row, nameplate, ASN_UNSIGNED, 0);
  set_integer(row, unit_multiplier, 0);
  set_integer(row, accuracy, 0);
  set_integer(row, measurement_caliber, caliber_unavailable);
  set_integer(row, current_type, current_ac);
  set_integer(row, measurement_local, truth_true);
  set_integer(row, admin_state, power_state_of(transient_state));
  netsnmp_mark_row_column_writable(row, admin_state, 1);
  set_integer(row, oper_state, power_state_of(physical_state));
  netsnmp_set_row_column(row, state_enter_reason, ASN_OCTET_STR, reason, strlen(reason));
  netsnmp_mark_row_column_writable(row, state_enter_reason, 1);
  netsnmp_table_dataset_add_row(ctx->power_table, row);
  start_accounting(&ctx->accounting[ctx->accounting_count++], physical_state);
}

void add_bus_row(void *data, int index, float power_w, float nameplate_power, float accuracy_part) {
  auto *ctx = static_cast<mib_context *>(data);
  netsnmp_table_row *row = new_row(index + first_bus_index);
  if (!row) return;
  set_integer(row, power, to_integer(power_w));
  set_unsigned(row, nameplate, ASN_UNSIGNED, to_unsigned(nameplate_power));
  set_integer(row, unit_multiplier, shown_unit_multiplier);
  // eoPowerAccuracy is in hundredths of a percent
  set_integer(row, accuracy, to_integer(accuracy_part * 10000));
  set_integer(row, measurement_caliber, caliber_actual);
  set_integer(row, current_type, current_ac);
  set_integer(row, measurement_local, truth_true);
  set_integer(row, admin_state, no_relay_state);
  set_integer(row, oper_state, no_relay_state);
  netsnmp_table_dataset_add_row(ctx->power_table, row);
  if (index >= ctx->bus_rows) ctx->bus_rows = index + 1;
}

netsnmp_table_row *find_row(netsnmp_table_data_set *set, long first, const long *second) {
  netsnmp_variable_list index{};
  netsnmp_variable_list next{};
  snmp_set_var_typed_value(&index, ASN_INTEGER, &first, sizeof first);
  if (second) {
    snmp_set_var_typed_value(&next, ASN_INTEGER, second, sizeof *second);
    index.next_variable = &next;
  }
  return netsnmp_table_data_get(set->table, &index);
}

netsnmp_table_row *power_row(mib_context *ctx, long entity) {
  return find_row(ctx->power_table, entity, nullptr);
}

void remove_row(netsnmp_table_data_set *set, netsnmp_table_row *row) {
  if (row) netsnmp_table_dataset_remove_and_delete_row(set, row);
}

// Outlet row `index` after the device was opened again.
void refresh_outlet(void *data, int index, bool physical_state, bool transient_state,
                    const char *reason) {
  auto *ctx = static_cast<mib_context *>(data);
  if (!outlet_published(index)) return;
  netsnmp_table_row *row = index < ctx->accounting_count ? power_row(ctx, index + 1) : nullptr;
  if (!row) {
    add_outlet_row(ctx, index, physical_state, transient_state, reason);
    if (index < ctx->accounting_count) add_power_state_rows(ctx, index + 1);
    return;
  }
  if (integer_column(row, admin_state) != power_state_of(transient_state) ||
      integer_column(row, oper_state) != power_state_of(physical_state))
    outlet_state_changed(ctx, index, physical_state, transient_state, reason);
}

// Bus row `index` after the device was opened again.
void refresh_bus(void *data, int index, float power_w, float nameplate_power, float accuracy_part) {
  auto *ctx = static_cast<mib_context *>(data);
  if (netsnmp_table_row *row = power_row(ctx, index + first_bus_index))
    set_integer(row, power, to_integer(power_w));
  else
    add_bus_row(ctx, index, power_w, nameplate_power, accuracy_part);
}

}  // namespace

extern "C" {

bool init_mib_tables(device_ops *ops) {
  auto *ctx = static_cast<mib_context *>(mib_realloc(nullptr, sizeof(mib_context)));
  if (!ctx) {
    snmp_log(LOG_ERR, "out of memory: the MIB tables cannot be built\n");
    return false;
  }
  memset(ctx, 0, sizeof *ctx);
  ctx->ops = ops;

  register_table(meter_capabilities_table, HANDLER_CAN_GETANDGETNEXT, null_table_handler, nullptr);
  ctx->power_table =
      register_table(eo_mib::power_table, HANDLER_CAN_RWRITE, power_table_handler, ctx);
  if (ops->enumerate_outlets) {
    int outlets = ops->enumerate_outlets(ops->relay, add_outlet_row, ctx);
    if (outlets > max_outlets)
      snmp_log(LOG_WARNING, "%d outlets: only the first %d are published\n", outlets, max_outlets);
  }
  if (ops->enumerate_buses) ops->enumerate_buses(ops->meter, add_bus_row, ctx);

  ctx->power_state_table = register_table(eo_mib::power_state_table, HANDLER_CAN_GETANDGETNEXT,
                                          power_state_table_handler, ctx);
  // two rows per published outlet, after the power table is complete
  for (int i = 0; i < ctx->accounting_count; ++i) add_power_state_rows(ctx, i + 1);

  register_table(energy_parameters_table, HANDLER_CAN_GETANDGETNEXT, null_table_handler, nullptr);
  register_table(energy_table, HANDLER_CAN_GETANDGETNEXT, null_table_handler, nullptr);

  ops->outlet_listener = ctx;
  ops->outlet_state_changed = outlet_state_changed;
  ops->bus_listener = ctx;
  ops->bus_power_changed = bus_power_changed;
  ops->mib_context = ctx;
  ops->free_mib_context = free_mib_context;
  return true;
}

void refresh_mib_rows(void *context) {
  auto *ctx = static_cast<mib_context *>(context);
  if (!ctx) return;
  const device_ops *ops = ctx->ops;
  int outlets = ops->relay && ops->enumerate_outlets
                    ? ops->enumerate_outlets(ops->relay, refresh_outlet, ctx)
                    : 0;
  int published = outlets < max_outlets ? outlets : max_outlets;
  // outlets that are gone lose their rows; new ones were added in order
  for (int i = ctx->accounting_count; i-- > published;) {
    remove_row(ctx->power_table, power_row(ctx, i + 1));
    remove_row(ctx->power_state_table, find_row(ctx->power_state_table, i + 1, &power_state_off));
    remove_row(ctx->power_state_table, find_row(ctx->power_state_table, i + 1, &power_state_on));
  }
  if (ctx->accounting_count > published) ctx->accounting_count = published;

  int buses =
      ops->meter && ops->enumerate_buses ? ops->enumerate_buses(ops->meter, refresh_bus, ctx) : 0;
  for (int i = ctx->bus_rows; i-- > buses;)
    remove_row(ctx->power_table, power_row(ctx, i + first_bus_index));
  ctx->bus_rows = buses;
}

void free_mib_context(void *context) {
  auto *ctx = static_cast<mib_context *>(context);
  if (!ctx) return;
  free(ctx->accounting);
  free(ctx->requester_address);
  free(ctx);
}

void shift_time_in_state(void *context, unsigned long delta) {
  auto *ctx = static_cast<mib_context *>(context);
  if (!ctx) return;
  for (int i = 0; i < ctx->accounting_count; ++i)
    ctx->accounting[i].since += static_cast<uint32_t>(delta);
}

void outlet_state_changed(void *context, int index, bool physical_state, bool transient_state,
                          const char *reason) {
  auto *ctx = static_cast<mib_context *>(context);
  if (!outlet_published(index) || index >= ctx->accounting_count) return;
  netsnmp_table_row *row = power_row(ctx, index + 1);
  if (!row) return;
  set_integer(row, admin_state, power_state_of(transient_state));
  set_integer(row, oper_state, power_state_of(physical_state));
  account_state(&ctx->accounting[index], physical_state);
  send_power_state_notification(index + 1, physical_state, transient_state, reason);
}

void bus_power_changed(void *context, int index, float power_w) {
  auto *ctx = static_cast<mib_context *>(context);
  if (netsnmp_table_row *row = power_row(ctx, index + first_bus_index))
    set_integer(row, power, to_integer(power_w));
}

int power_state_table_handler(netsnmp_mib_handler *, netsnmp_handler_registration *reginfo,
                              netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
  if (reqinfo->mode != MODE_GET) return SNMP_ERR_NOERROR;
  auto *ctx = static_cast<mib_context *>(reginfo->my_reg_void);
  for (netsnmp_request_info *request = requests; request; request = request->next) {
    if (request->processed) break;
    netsnmp_table_request_info *info = netsnmp_extract_table_info(request);
    netsnmp_table_row *row = netsnmp_extract_table_row(request);
    if (!info || !row) continue;
    if (info->colnum != state_total_time && info->colnum != state_enter_count) continue;

    netsnmp_variable_list state_index_var{};
    netsnmp_variable_list entity_index{};
    entity_index.type = ASN_INTEGER;
    entity_index.next_variable = &state_index_var;
    state_index_var.type = ASN_INTEGER;
    int err = parse_oid_indexes(row->index_oid, row->index_oid_len, &entity_index);
    if (err != SNMPERR_SUCCESS) {
      netsnmp_set_request_error(reqinfo, request, SNMP_ERR_GENERR);
      return SNMP_ERR_GENERR;
    }
    long entity = *entity_index.val.integer;
    int state = *state_index_var.val.integer == power_state_on ? 1 : 0;
    if (entity < 1 || entity > ctx->accounting_count) continue;
    const outlet_accounting &entry = ctx->accounting[entity - 1];

    if (info->colnum == state_total_time) {
      u_long ticks = entry.time_in_state[state];
      if (entry.current_state == state)
        ticks = static_cast<uint32_t>(
            ticks + (static_cast<uint32_t>(netsnmp_get_agent_uptime()) - entry.since));
      snmp_set_var_typed_value(request->requestvb, ASN_TIMETICKS, &ticks, sizeof ticks);
    } else {
      u_long count = entry.entries[state];
      snmp_set_var_typed_value(request->requestvb, ASN_COUNTER, &count, sizeof count);
    }
  }
  return SNMP_ERR_NOERROR;
}

}  // extern "C"
