// SPDX-License-Identifier: ISC
// Builds the structures net-snmp hands a table handler (request chain,
// table information, the row the data-set helper found, the PDU with its
// context name), so a handler can be driven the way the agent drives it.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "mib.h"

class HandlerCall {
 public:
  HandlerCall(void *context, const std::string &context_name = "") {
    pdu_.contextName = context_name.empty() ? nullptr : strdup(context_name.c_str());
    pdu_.contextNameLen = context_name.size();
    session_.pdu = &pdu_;
    reqinfo_.asp = &session_;
    reg_.my_reg_void = context;
  }
  ~HandlerCall() {
    for (netsnmp_request_info *r : requests_) {
      netsnmp_free_request_data_sets(r);
      snmp_free_varbind(r->requestvb);
      free(r);
    }
    free(pdu_.contextName);
  }
  HandlerCall(const HandlerCall &) = delete;
  HandlerCall &operator=(const HandlerCall &) = delete;

  // One request for `column` of the row with `indexes`, carrying an integer
  // value (or a string when `text` is given).
  netsnmp_request_info *add(unsigned column, const std::vector<long> &indexes, long value = 0,
                            const char *text = nullptr, netsnmp_table_row *row = nullptr) {
    auto *request = static_cast<netsnmp_request_info *>(calloc(1, sizeof(netsnmp_request_info)));
    std::vector<oid> name{EO_MIB_OID, 1, 2, 1, column};
    for (long index : indexes) name.push_back(static_cast<oid>(index));
    if (text)
      snmp_varlist_add_variable(&request->requestvb, name.data(), name.size(), ASN_OCTET_STR, text,
                                strlen(text));
    else
      snmp_varlist_add_variable(&request->requestvb, name.data(), name.size(), ASN_INTEGER, &value,
                                sizeof value);
    auto *info =
        static_cast<netsnmp_table_request_info *>(calloc(1, sizeof(netsnmp_table_request_info)));
    info->colnum = column;
    info->number_indexes = static_cast<int>(indexes.size());
    for (long index : indexes)
      snmp_varlist_add_variable(&info->indexes, nullptr, 0, ASN_INTEGER, &index, sizeof index);
    netsnmp_request_add_list_data(
        request, netsnmp_create_data_list(TABLE_HANDLER_NAME, info, free_table_info));
    if (row)
      netsnmp_request_add_list_data(request,
                                    netsnmp_create_data_list(TABLE_DATA_ROW, row, nullptr));
    request->agent_req_info = &reqinfo_;
    if (!requests_.empty()) {
      requests_.back()->next = request;
      request->prev = requests_.back();
    }
    requests_.push_back(request);
    return request;
  }

  int run(Netsnmp_Node_Handler *handler, int mode) {
    reqinfo_.mode = mode;
    return handler(nullptr, &reg_, &reqinfo_, requests_.empty() ? nullptr : requests_.front());
  }

  netsnmp_request_info *request(size_t i) const { return requests_[i]; }

 private:
  static void free_table_info(void *data) {
    auto *info = static_cast<netsnmp_table_request_info *>(data);
    snmp_free_varbind(info->indexes);
    free(info);
  }
  netsnmp_pdu pdu_{};
  netsnmp_agent_session session_{};
  netsnmp_agent_request_info reqinfo_{};
  netsnmp_handler_registration reg_{};
  std::vector<netsnmp_request_info *> requests_;
};
