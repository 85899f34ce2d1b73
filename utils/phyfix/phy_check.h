// SPDX-License-Identifier: ISC
// The stuck-link check of phyfix, apart from the MII ioctls and the real
// clock: the daemon hands it register access through the kernel, the tests
// a simulated PHY.
#pragma once

#include <stdint.h>

namespace phyfix {

// IEEE 802.3 clause 22 registers and the bits the check uses.
constexpr uint16_t reg_control = 0;
constexpr uint16_t reg_status = 1;
constexpr uint16_t reg_advertise = 4;

constexpr uint16_t control_restart_aneg = 0x0200;
constexpr uint16_t status_link_up = 0x0004;
constexpr uint16_t status_aneg_complete = 0x0020;
constexpr uint16_t advertise_next_page = 0x8000;

constexpr unsigned settle_seconds = 2;    // after restarting auto-negotiation
constexpr unsigned check_interval = 300;  // seconds between two checks

// One PHY as the check reaches it.
struct phy_port {
  const char* ifname;
  uint16_t phy_id;
  void* ctx;  // owned by whoever fills in the two functions
  // Reads register `reg` into *value, or writes *value to it; false when
  // the access failed (the access logs that itself).
  bool (*access)(const phy_port& port, bool write, uint16_t reg, uint16_t* value);
  void (*sleep)(const phy_port& port, unsigned seconds);
};

enum class check_result {
  link_ok,        // link up or auto-negotiation complete: nothing to do
  no_next_page,   // stuck, but Next Page is not advertised: nothing to do
  access_failed,  // a register access failed, the check ended there
  still_down,     // restarted without Next Page, the link stayed down
  applied,        // restarted without Next Page and the link came up (logged)
};

// One check: reads the status and, when the link is stuck with Next Page
// advertised, clears Next Page, restarts auto-negotiation and waits
// settle_seconds for the link.
check_result check_phy(const phy_port& port);

// Parses a PHY number: decimal, hexadecimal with 0x or octal with a leading
// 0. False for empty text, trailing characters or a value outside 16 bits.
bool parse_phy_number(const char* text, uint16_t* phy_id);

}  // namespace phyfix
