// SPDX-License-Identifier: ISC
// What this agent serves of ENERGY-OBJECT-MIB, stated once: object
// identifiers, the tables with their columns (type, writability), and the
// constants the rows show. The tables, the writes and the notification
// read their facts from here.
#pragma once

#include <stddef.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

// energyObjectMib, 1.3.6.1.2.1.229, as the head of an OID initialiser.
#define EO_MIB_OID 1, 3, 6, 1, 2, 1, 229

namespace eo_mib {

constexpr oid enable_notification_oid[] = {EO_MIB_OID, 0, 1};  // eoPowerEnableStatusNotification
constexpr oid power_state_change_oid[] = {EO_MIB_OID, 0, 2};   // the notification
constexpr oid meter_capabilities_oid[] = {EO_MIB_OID, 1, 1};
constexpr oid power_table_oid[] = {EO_MIB_OID, 1, 2};
constexpr oid power_state_table_oid[] = {EO_MIB_OID, 1, 3};
constexpr oid energy_parameters_oid[] = {EO_MIB_OID, 1, 4};
constexpr oid energy_table_oid[] = {EO_MIB_OID, 1, 5};
constexpr size_t table_oid_len = OID_LENGTH(power_table_oid);
// An entry of a table: the table's OID and 1.
constexpr oid entry_arc = 1;

struct column_def {
  unsigned number;
  u_char type;
  bool writable;  // in the data set; rows still decide per column
};

struct table_def {
  const char *name;
  const oid *table_oid;
  u_char index_types[2];  // 0 ends the list
  const column_def *columns;
  size_t column_count;
};

// eoPowerTable columns.
enum power_column : unsigned {
  power = 1,
  nameplate = 2,
  unit_multiplier = 3,
  accuracy = 4,
  measurement_caliber = 5,
  current_type = 6,
  measurement_local = 7,
  admin_state = 8,
  oper_state = 9,
  state_enter_reason = 10,
};

// eoPowerStateTable columns.
enum power_state_column : unsigned {
  state_index = 1,
  state_max_power = 2,
  state_unit_multiplier = 3,
  state_total_time = 4,
  state_enter_count = 5,
};

constexpr column_def meter_capabilities_columns[] = {{1, ASN_OCTET_STR, false}};
constexpr column_def power_columns[] = {
    {power, ASN_INTEGER, false},
    {nameplate, ASN_UNSIGNED, false},
    {unit_multiplier, ASN_INTEGER, false},
    {accuracy, ASN_INTEGER, false},
    {measurement_caliber, ASN_INTEGER, false},
    {current_type, ASN_INTEGER, false},
    {measurement_local, ASN_INTEGER, false},
    {admin_state, ASN_INTEGER, true},
    {oper_state, ASN_INTEGER, false},
    {state_enter_reason, ASN_OCTET_STR, true},
};
constexpr column_def power_state_columns[] = {
    {state_index, ASN_INTEGER, false},           {state_max_power, ASN_INTEGER, false},
    {state_unit_multiplier, ASN_INTEGER, false}, {state_total_time, ASN_TIMETICKS, false},
    {state_enter_count, ASN_COUNTER, false},
};
constexpr column_def energy_parameters_columns[] = {
    {2, ASN_INTEGER, false}, {3, ASN_INTEGER, true}, {4, ASN_UNSIGNED, true},
    {5, ASN_INTEGER, true},  {6, ASN_INTEGER, true}, {7, ASN_UNSIGNED, true},
    {8, ASN_INTEGER, true},  {9, ASN_INTEGER, true},
};
constexpr column_def energy_columns[] = {
    {1, ASN_TIMETICKS, false}, {2, ASN_UNSIGNED, false}, {3, ASN_UNSIGNED, false},
    {4, ASN_UNSIGNED, false},  {5, ASN_INTEGER, false},  {6, ASN_INTEGER, false},
    {7, ASN_UNSIGNED, false},  {8, ASN_UNSIGNED, false}, {9, ASN_TIMETICKS, false},
};

template <size_t n>
constexpr table_def table(const char *name, const oid *table_oid, u_char first_index,
                          u_char second_index, const column_def (&columns)[n]) {
  return {name, table_oid, {first_index, second_index}, columns, n};
}

constexpr table_def meter_capabilities_table = table(
    "eoMeterCapabilitiesTable", meter_capabilities_oid, ASN_INTEGER, 0, meter_capabilities_columns);
constexpr table_def power_table =
    table("eoPowerTable", power_table_oid, ASN_INTEGER, 0, power_columns);
constexpr table_def power_state_table = table("eoPowerStateTable", power_state_table_oid,
                                              ASN_INTEGER, ASN_INTEGER, power_state_columns);
constexpr table_def energy_parameters_table =
    table("eoEnergyParametersTable", energy_parameters_oid, ASN_INTEGER, ASN_INTEGER,
          energy_parameters_columns);
constexpr table_def energy_table =
    table("eoEnergyTable", energy_table_oid, ASN_INTEGER, ASN_TIMETICKS, energy_columns);

// eoPowerStateEnterReason is an SnmpAdminString (SIZE (0..255)).
constexpr size_t max_reason_length = 255;

// Values of the rows.
constexpr long no_relay_state = 255;             // admin and oper state of a bus row
constexpr long caliber_unavailable = 1;          // outlets measure nothing
constexpr long caliber_actual = 3;               // buses are measured
constexpr long current_ac = 1;                   // eoPowerCurrentType
constexpr long truth_true = 1, truth_false = 2;  // TruthValue
constexpr long outlet_on_max_power = 400;        // eoPowerStateMaxPower of the on state, W
constexpr long shown_unit_multiplier = 1;        // multiplier column of bus and power-state rows

}  // namespace eo_mib
