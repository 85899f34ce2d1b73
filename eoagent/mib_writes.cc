// SPDX-License-Identifier: ISC
// SNMP writes: eoPowerAdminState switches an outlet through the relay,
// eoPowerEnableStatusNotification turns the power-state notification on
// and off. The notification itself is built here too.
#include "mib.h"

#include <stdlib.h>
#include <string.h>

#include <string_view>

// snmpTrapOID.0, exported by the agent library without a declaration.
extern "C" const oid snmptrap_oid[];
extern "C" const size_t snmptrap_oid_len;

using namespace eo_mib;

namespace {

bool valid_power_state(long value) { return value == power_state_off || value == power_state_on; }

long integer_value(const netsnmp_request_info *request) {
  const netsnmp_variable_list *vb = request->requestvb;
  return vb->type == ASN_INTEGER && vb->val.integer ? *vb->val.integer : 0;
}

void drop_requester(mib_context *ctx) {
  free(ctx->requester_address);
  ctx->requester_address = nullptr;
}

const netsnmp_pdu *request_pdu(const netsnmp_agent_request_info *reqinfo) {
  return reqinfo && reqinfo->asp ? reqinfo->asp->pdu : nullptr;
}

// Outlet rows are entities 1 .. accounting_count (see mib_context).
bool has_outlet_row(const mib_context *ctx, const netsnmp_table_request_info *info) {
  if (!info->indexes || !info->indexes->val.integer) return false;
  long entity = *info->indexes->val.integer;
  return entity >= 1 && entity <= ctx->accounting_count;
}

// First-phase check of a new eoPowerStateEnterReason.
int check_reason(const netsnmp_request_info *request) {
  const netsnmp_variable_list *vb = request->requestvb;
  if (vb->type != ASN_OCTET_STR) return SNMP_ERR_WRONGTYPE;
  if (vb->val_len > max_reason_length) return SNMP_ERR_WRONGLENGTH;
  return SNMP_ERR_NOERROR;
}

// First-phase check of one eoPowerTable write; an SNMP error or 0.
int check_power_write(mib_context *ctx, netsnmp_request_info *request) {
  netsnmp_table_request_info *info = netsnmp_extract_table_info(request);
  if (!info) return SNMP_ERR_NOERROR;
  // rows are fixed: a write never creates one
  if (!netsnmp_table_data_get(ctx->power_table->table, info->indexes))
    return SNMP_ERR_INCONSISTENTNAME;
  if (info->colnum != admin_state && info->colnum != state_enter_reason) return SNMP_ERR_NOERROR;
  // only outlets can be switched or given a reason; bus rows have no relay
  if (!has_outlet_row(ctx, info)) return SNMP_ERR_NOTWRITABLE;
  if (info->colnum == state_enter_reason) return check_reason(request);
  if (!valid_power_state(integer_value(request))) return SNMP_ERR_WRONGVALUE;
  // while the bus is away a switch could not reach the relay: say so now
  // rather than accept it and drop it
  if (!ctx->ops->reachable_relay) return SNMP_ERR_RESOURCEUNAVAILABLE;
  return SNMP_ERR_NOERROR;
}

// Second look just before the commit: the bus may have gone since the
// first phase (an AgentX set takes several exchanges with the master).
int recheck_power_writes(mib_context *ctx, netsnmp_agent_request_info *reqinfo,
                         netsnmp_request_info *requests) {
  for (netsnmp_request_info *request = requests; request; request = request->next) {
    netsnmp_table_request_info *info = netsnmp_extract_table_info(request);
    if (!info || info->colnum != admin_state || ctx->ops->reachable_relay) continue;
    netsnmp_set_request_error(reqinfo, request, SNMP_ERR_COMMITFAILED);
    return SNMP_ERR_COMMITFAILED;
  }
  return SNMP_ERR_NOERROR;
}

int reserve_power_writes(mib_context *ctx, netsnmp_agent_request_info *reqinfo,
                         netsnmp_request_info *requests) {
  for (netsnmp_request_info *request = requests; request; request = request->next) {
    if (request->processed) return SNMP_ERR_NOERROR;
    if (int err = check_power_write(ctx, request)) {
      netsnmp_set_request_error(reqinfo, request, err);
      return err;
    }
  }
  drop_requester(ctx);
  const netsnmp_pdu *pdu = request_pdu(reqinfo);
  if (pdu && pdu->contextName)
    ctx->requester_address = requester_from_context(pdu->contextName, pdu->contextNameLen);
  return SNMP_ERR_NOERROR;
}

int commit_power_writes(mib_context *ctx, netsnmp_agent_request_info *reqinfo,
                        netsnmp_request_info *requests) {
  const device_ops *ops = ctx->ops;
  for (netsnmp_request_info *request = requests; request; request = request->next) {
    netsnmp_table_request_info *info = netsnmp_extract_table_info(request);
    if (!info || info->number_indexes != 1 || info->colnum != admin_state) continue;
    long outlet = info->indexes && info->indexes->val.integer ? *info->indexes->val.integer : 0;
    long value = integer_value(request);
    if (!ops->set_outlet_transient || !ops->reachable_relay || !valid_power_state(value)) {
      netsnmp_set_request_error(reqinfo, request, SNMP_ERR_COMMITFAILED);
      drop_requester(ctx);
      return SNMP_ERR_COMMITFAILED;
    }
    int status =
        ops->set_outlet_transient(ops->reachable_relay, ctx->requester_address,
                                  static_cast<int>(outlet - 1), value == power_state_on, "snmp");
    // the master has answered the manager by now: the log is all that is left
    if (status != 0)
      snmp_log(LOG_ERR, "eoPowerAdminState.%ld = %ld did not reach the relay (bus status %d)\n",
               outlet, value, status);
  }
  drop_requester(ctx);
  return SNMP_ERR_NOERROR;
}

// The instance of `column` of power-table row `entity`.
void add_power_column(netsnmp_variable_list **vars, unsigned column, long entity, u_char type,
                      const void *value, size_t len) {
  oid name[] = {EO_MIB_OID, 1, 2, entry_arc, column, static_cast<oid>(entity)};
  snmp_varlist_add_variable(vars, name, OID_LENGTH(name), type, value, len);
}

}  // namespace

extern "C" {

bool notifications_enabled = true;

char *requester_from_context(const char *context_name, size_t len) {
  std::string_view name(context_name, len);
  size_t open = name.find('[');
  if (open == std::string_view::npos) return nullptr;
  size_t close = name.find(']', open + 1);
  if (close == std::string_view::npos) return nullptr;
  return strndup(context_name + open + 1, close - open - 1);
}

void init_eoPowerEnableStatusNotification(void) {
  netsnmp_handler_registration *reg = netsnmp_create_handler_registration(
      "eoPowerEnableStatusNotification", handle_eoPowerEnableStatusNotification,
      enable_notification_oid, OID_LENGTH(enable_notification_oid), HANDLER_CAN_RWRITE);
  if (reg) netsnmp_register_scalar(reg);
}

int handle_eoPowerEnableStatusNotification(netsnmp_mib_handler *, netsnmp_handler_registration *,
                                           netsnmp_agent_request_info *reqinfo,
                                           netsnmp_request_info *requests) {
  switch (reqinfo->mode) {
    case MODE_GET:
      for (netsnmp_request_info *request = requests; request; request = request->next) {
        long value = notifications_enabled ? truth_true : truth_false;
        snmp_set_var_typed_value(request->requestvb, ASN_INTEGER, &value, sizeof value);
      }
      return SNMP_ERR_NOERROR;
    case MODE_SET_RESERVE1:
      for (netsnmp_request_info *request = requests; request; request = request->next) {
        if (request->processed) break;
        if (int err = netsnmp_check_vb_truthvalue(request->requestvb)) {
          netsnmp_set_request_error(reqinfo, request, err);
          return err;
        }
      }
      return SNMP_ERR_NOERROR;
    case MODE_SET_RESERVE2:
    case MODE_SET_ACTION:
    case MODE_SET_FREE:
    case MODE_SET_UNDO:
      return SNMP_ERR_NOERROR;
    case MODE_SET_COMMIT: {
      int last = 0;  // 0: no valid value seen yet
      for (netsnmp_request_info *request = requests; request; request = request->next) {
        long value = integer_value(request);
        if (value != truth_true && value != truth_false) {
          if (last) notifications_enabled = last == truth_true;
          netsnmp_set_request_error(reqinfo, request, SNMP_ERR_COMMITFAILED);
          return SNMP_ERR_COMMITFAILED;
        }
        last = static_cast<int>(value);
      }
      if (last) notifications_enabled = last == truth_true;
      return SNMP_ERR_NOERROR;
    }
    default:
      snmp_log(LOG_ERR, "unknown mode (%d) in handle_eoPowerEnableStatusNotification\n",
               reqinfo->mode);
      return SNMP_ERR_GENERR;
  }
}

int power_table_handler(netsnmp_mib_handler *, netsnmp_handler_registration *reginfo,
                        netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
  auto *ctx = static_cast<mib_context *>(reginfo->my_reg_void);
  switch (reqinfo->mode) {
    case MODE_SET_RESERVE1:
      return reserve_power_writes(ctx, reqinfo, requests);
    case MODE_SET_ACTION:
      return recheck_power_writes(ctx, reqinfo, requests);
    case MODE_SET_COMMIT:
      return commit_power_writes(ctx, reqinfo, requests);
    case MODE_SET_FREE:
      drop_requester(ctx);
      return SNMP_ERR_NOERROR;
    default:
      return SNMP_ERR_NOERROR;
  }
}

void send_power_state_notification(long entity, bool physical_state, bool transient_state,
                                   const char *reason) {
  if (!notifications_enabled) return;
  netsnmp_variable_list *vars = nullptr;
  snmp_varlist_add_variable(&vars, snmptrap_oid, snmptrap_oid_len, ASN_OBJECT_ID,
                            power_state_change_oid, sizeof power_state_change_oid);
  long admin = power_state_of(transient_state), oper = power_state_of(physical_state);
  add_power_column(&vars, admin_state, entity, ASN_INTEGER, &admin, sizeof admin);
  add_power_column(&vars, oper_state, entity, ASN_INTEGER, &oper, sizeof oper);
  add_power_column(&vars, state_enter_reason, entity, ASN_OCTET_STR, reason, strlen(reason));
  send_v2trap(vars);
  snmp_free_varbind(vars);
}

}  // extern "C"
