// SPDX-License-Identifier: ISC
#include "phy_check.h"

#include <stdlib.h>
#include <syslog.h>

namespace phyfix {

namespace {

bool read_reg(const phy_port& port, uint16_t reg, uint16_t* value) {
  return port.access(port, false, reg, value);
}

bool write_reg(const phy_port& port, uint16_t reg, uint16_t value) {
  return port.access(port, true, reg, &value);
}

}  // namespace

check_result check_phy(const phy_port& port) {
  uint16_t status, advertise, control;

  if (!read_reg(port, reg_status, &status)) return check_result::access_failed;
  if (status & (status_link_up | status_aneg_complete)) return check_result::link_ok;

  if (!read_reg(port, reg_advertise, &advertise)) return check_result::access_failed;
  if (!(advertise & advertise_next_page)) return check_result::no_next_page;
  if (!write_reg(port, reg_advertise, advertise & ~advertise_next_page))
    return check_result::access_failed;

  if (!read_reg(port, reg_control, &control) ||
      !write_reg(port, reg_control, control | control_restart_aneg))
    return check_result::access_failed;

  port.sleep(port, settle_seconds);
  if (!read_reg(port, reg_status, &status)) return check_result::access_failed;
  if (!(status & status_link_up)) return check_result::still_down;

  syslog(LOG_WARNING, "%s/%02X: workaround applied", port.ifname, port.phy_id);
  return check_result::applied;
}

bool parse_phy_number(const char* text, uint16_t* phy_id) {
  if (*text == '\0') return false;
  char* end;
  long value = strtol(text, &end, 0);
  // Out-of-range text saturates at LONG_MIN/LONG_MAX, which fails here too.
  if (*end != '\0' || value < 0 || value > 0xFFFF) return false;
  *phy_id = static_cast<uint16_t>(value);
  return true;
}

}  // namespace phyfix
