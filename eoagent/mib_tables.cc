// The five energy-object tables as net-snmp table data sets, their rows
// for the outlets and buses, and the time-in-state accounting.
#include "mib.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr oid meter_capabilities_oid[] = {1, 3, 6, 1, 2, 1, 229, 1, 1};
constexpr oid power_table_oid[] = {1, 3, 6, 1, 2, 1, 229, 1, 2};
constexpr oid power_state_table_oid[] = {1, 3, 6, 1, 2, 1, 229, 1, 3};
constexpr oid energy_parameters_oid[] = {1, 3, 6, 1, 2, 1, 229, 1, 4};
constexpr oid energy_table_oid[] = {1, 3, 6, 1, 2, 1, 229, 1, 5};
constexpr size_t table_oid_len = 9;

constexpr unsigned power_column = 1, nameplate_column = 2, multiplier_column = 3,
                   accuracy_column = 4, caliber_column = 5, current_type_column = 6,
                   local_column = 7, admin_state_column = 8, oper_state_column = 9,
                   reason_column = 10;
constexpr unsigned state_time_column = 4, state_entries_column = 5;

constexpr long power_state_of(bool state) { return state ? power_state_on : power_state_off; }

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

netsnmp_table_row *new_row(long first_index) {
  netsnmp_table_row *row = netsnmp_create_table_data_row();
  if (row) netsnmp_table_row_add_index(row, ASN_INTEGER, &first_index, sizeof first_index);
  return row;
}

// net-snmp's variadic column lists read (unsigned column, int type, int
// writable, void *default, size_t default length) and end with column 0.
#define COLUMN(n, type, writable)                                               \
  static_cast<unsigned>(n), static_cast<int>(type), static_cast<int>(writable), \
      static_cast<void *>(nullptr), static_cast<size_t>(0)

netsnmp_handler_registration *make_registration(const char *name, const oid *table_oid, int modes,
                                                Netsnmp_Node_Handler *handler, void *context) {
  netsnmp_handler_registration *reg =
      netsnmp_create_handler_registration(name, handler, table_oid, table_oid_len, modes);
  if (reg) reg->my_reg_void = context;
  return reg;
}

void add_outlet_row(void *data, int index, bool physical_state, bool transient_state,
                    const char *reason) {
  auto *ctx = static_cast<mib_context *>(data);
  if (!outlet_published(index)) return;
  netsnmp_table_row *row = new_row(index + 1);
  if (!row) return;
  set_integer(row, power_column, 0);
  set_unsigned(row, nameplate_column, ASN_UNSIGNED, 0);
  set_integer(row, multiplier_column, 0);
  set_integer(row, accuracy_column, 0);
  set_integer(row, caliber_column, 1);
  set_integer(row, current_type_column, 1);
  set_integer(row, local_column, 1);
  set_integer(row, admin_state_column, power_state_of(transient_state));
  netsnmp_mark_row_column_writable(row, admin_state_column, 1);
  set_integer(row, oper_state_column, power_state_of(physical_state));
  netsnmp_set_row_column(row, reason_column, ASN_OCTET_STR, reason, strlen(reason));
  netsnmp_table_dataset_add_row(ctx->power_table, row);

  auto *grown = static_cast<outlet_accounting *>(
      realloc(ctx->accounting, (ctx->accounting_count + 1) * sizeof(outlet_accounting)));
  if (!grown) return;
  ctx->accounting = grown;
  outlet_accounting &entry = grown[ctx->accounting_count++];
  memset(&entry, 0, sizeof entry);
  entry.current_state = physical_state ? 1 : 0;
  entry.entries[entry.current_state] = 1;
  entry.since = static_cast<uint32_t>(netsnmp_get_agent_uptime());
}

void add_bus_row(void *data, int index, float power, float nameplate_power, float accuracy) {
  auto *ctx = static_cast<mib_context *>(data);
  netsnmp_table_row *row = new_row(index + first_bus_index);
  if (!row) return;
  set_integer(row, power_column, to_integer(power));
  set_unsigned(row, nameplate_column, ASN_UNSIGNED, to_unsigned(nameplate_power));
  set_integer(row, multiplier_column, 1);
  set_integer(row, accuracy_column, to_integer(accuracy * 10000));
  set_integer(row, caliber_column, 3);
  set_integer(row, current_type_column, 1);
  set_integer(row, local_column, 1);
  set_integer(row, admin_state_column, 255);
  set_integer(row, oper_state_column, 255);
  netsnmp_table_dataset_add_row(ctx->power_table, row);
}

void add_power_state_row(mib_context *ctx, long entity, long state, long max_power) {
  netsnmp_table_row *row = new_row(entity);
  if (!row) return;
  netsnmp_table_row_add_index(row, ASN_INTEGER, &state, sizeof state);
  set_integer(row, 1, state);
  set_integer(row, 2, max_power);
  set_integer(row, 3, 1);
  // Stored placeholders: the data set serves only columns that hold a
  // value, so without them walks would never reach the accounting below.
  set_unsigned(row, state_time_column, ASN_TIMETICKS, 0);
  set_unsigned(row, state_entries_column, ASN_COUNTER, 0);
  netsnmp_table_dataset_add_row(ctx->power_state_table, row);
}

void add_power_state_rows(void *data, int index, bool, bool, const char *) {
  auto *ctx = static_cast<mib_context *>(data);
  if (!outlet_published(index)) return;
  add_power_state_row(ctx, index + 1, power_state_off, 0);
  add_power_state_row(ctx, index + 1, power_state_on, 400);
}

netsnmp_table_row *power_row(mib_context *ctx, long entity) {
  netsnmp_variable_list index{};
  snmp_set_var_typed_value(&index, ASN_INTEGER, &entity, sizeof entity);
  return netsnmp_table_data_get(ctx->power_table->table, &index);
}

}  // namespace

extern "C" {

void init_mib_tables(device_ops *ops) {
  auto *ctx = static_cast<mib_context *>(calloc(1, sizeof(mib_context)));
  if (!ctx) return;
  ctx->ops = ops;

  netsnmp_table_data_set *set = netsnmp_create_table_data_set("eoMeterCapabilitiesTable");
  netsnmp_table_set_add_indexes(set, ASN_INTEGER, 0);
  netsnmp_table_set_multi_add_default_row(set, COLUMN(1, ASN_OCTET_STR, 0), 0);
  netsnmp_register_table_data_set(
      make_registration("eoMeterCapabilitiesTable", meter_capabilities_oid,
                        HANDLER_CAN_GETANDGETNEXT, null_table_handler, nullptr),
      set, nullptr);

  set = ctx->power_table = netsnmp_create_table_data_set("eoPowerTable");
  netsnmp_table_set_add_indexes(set, ASN_INTEGER, 0);
  netsnmp_table_set_multi_add_default_row(
      set, COLUMN(1, ASN_INTEGER, 0), COLUMN(2, ASN_UNSIGNED, 0), COLUMN(3, ASN_INTEGER, 0),
      COLUMN(4, ASN_INTEGER, 0), COLUMN(5, ASN_INTEGER, 0), COLUMN(6, ASN_INTEGER, 0),
      COLUMN(7, ASN_INTEGER, 0), COLUMN(8, ASN_INTEGER, 1), COLUMN(9, ASN_INTEGER, 0),
      COLUMN(10, ASN_OCTET_STR, 1), 0);
  netsnmp_register_table_data_set(make_registration("eoPowerTable", power_table_oid,
                                                    HANDLER_CAN_RWRITE, power_table_handler, ctx),
                                  set, nullptr);
  if (ops->enumerate_outlets) {
    int outlets = ops->enumerate_outlets(ops->relay, add_outlet_row, ctx);
    if (outlets > max_outlets)
      snmp_log(LOG_WARNING, "%d outlets: only the first %d are published\n", outlets, max_outlets);
  }
  if (ops->enumerate_buses) ops->enumerate_buses(ops->meter, add_bus_row, ctx);

  set = ctx->power_state_table = netsnmp_create_table_data_set("eoPowerStateTable");
  netsnmp_table_set_add_indexes(set, ASN_INTEGER, ASN_INTEGER, 0);
  netsnmp_table_set_multi_add_default_row(set, COLUMN(1, ASN_INTEGER, 0), COLUMN(2, ASN_INTEGER, 0),
                                          COLUMN(3, ASN_INTEGER, 0), COLUMN(4, ASN_TIMETICKS, 0),
                                          COLUMN(5, ASN_COUNTER, 0), 0);
  netsnmp_register_table_data_set(
      make_registration("eoPowerStateTable", power_state_table_oid, HANDLER_CAN_GETANDGETNEXT,
                        power_state_table_handler, ctx),
      set, nullptr);
  if (ops->enumerate_outlets) ops->enumerate_outlets(ops->relay, add_power_state_rows, ctx);

  set = netsnmp_create_table_data_set("eoEnergyParametersTable");
  netsnmp_table_set_add_indexes(set, ASN_INTEGER, ASN_INTEGER, 0);
  netsnmp_table_set_multi_add_default_row(set, COLUMN(2, ASN_INTEGER, 0), COLUMN(3, ASN_INTEGER, 1),
                                          COLUMN(4, ASN_UNSIGNED, 1), COLUMN(5, ASN_INTEGER, 1),
                                          COLUMN(6, ASN_INTEGER, 1), COLUMN(7, ASN_UNSIGNED, 1),
                                          COLUMN(8, ASN_INTEGER, 1), COLUMN(9, ASN_INTEGER, 1), 0);
  netsnmp_register_table_data_set(
      make_registration("eoEnergyParametersTable", energy_parameters_oid, HANDLER_CAN_GETANDGETNEXT,
                        null_table_handler, nullptr),
      set, nullptr);

  set = netsnmp_create_table_data_set("eoEnergyTable");
  netsnmp_table_set_add_indexes(set, ASN_INTEGER, ASN_TIMETICKS, 0);
  netsnmp_table_set_multi_add_default_row(
      set, COLUMN(1, ASN_TIMETICKS, 0), COLUMN(2, ASN_UNSIGNED, 0), COLUMN(3, ASN_UNSIGNED, 0),
      COLUMN(4, ASN_UNSIGNED, 0), COLUMN(5, ASN_INTEGER, 0), COLUMN(6, ASN_INTEGER, 0),
      COLUMN(7, ASN_UNSIGNED, 0), COLUMN(8, ASN_UNSIGNED, 0), COLUMN(9, ASN_TIMETICKS, 0), 0);
  netsnmp_register_table_data_set(
      make_registration("eoEnergyTable", energy_table_oid, HANDLER_CAN_GETANDGETNEXT,
                        null_table_handler, nullptr),
      set, nullptr);

  ops->outlet_listener = ctx;
  ops->outlet_state_changed = outlet_state_changed;
  ops->bus_listener = ctx;
  ops->bus_power_changed = bus_power_changed;
  ops->mib_context = ctx;
  ops->free_mib_context = free_mib_context;
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
  if (!outlet_published(index)) return;
  netsnmp_table_row *row = power_row(ctx, index + 1);
  if (!row) return;
  set_integer(row, admin_state_column, power_state_of(transient_state));
  set_integer(row, oper_state_column, power_state_of(physical_state));

  if (index >= 0 && index < ctx->accounting_count) {
    outlet_accounting &entry = ctx->accounting[index];
    uint8_t state = physical_state ? 1 : 0;
    if (state != entry.current_state) {
      uint32_t now = static_cast<uint32_t>(netsnmp_get_agent_uptime());
      entry.time_in_state[entry.current_state] += now - entry.since;
      entry.since = now;
      entry.current_state = state;
      entry.entries[state] += 1;
    }
  }
  send_power_state_notification(index + 1, physical_state, transient_state, reason);
}

void bus_power_changed(void *context, int index, float power) {
  auto *ctx = static_cast<mib_context *>(context);
  if (netsnmp_table_row *row = power_row(ctx, index + first_bus_index))
    set_integer(row, power_column, to_integer(power));
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
    if (info->colnum != state_time_column && info->colnum != state_entries_column) continue;

    netsnmp_variable_list state_index{};
    netsnmp_variable_list entity_index{};
    entity_index.type = ASN_INTEGER;
    entity_index.next_variable = &state_index;
    state_index.type = ASN_INTEGER;
    int err = parse_oid_indexes(row->index_oid, row->index_oid_len, &entity_index);
    if (err != SNMPERR_SUCCESS) {
      netsnmp_set_request_error(reqinfo, request, SNMP_ERR_GENERR);
      return SNMP_ERR_GENERR;
    }
    long entity = *entity_index.val.integer;
    int state = *state_index.val.integer == power_state_on ? 1 : 0;
    if (entity < 1 || entity > ctx->accounting_count) continue;
    const outlet_accounting &entry = ctx->accounting[entity - 1];

    if (info->colnum == state_time_column) {
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
