// SPDX-License-Identifier: ISC
// phyfix <iface> <phy_number>: every few minutes, looks at one Ethernet PHY
// and, when its link hangs with Next Page advertised, restarts
// auto-negotiation without it. Runs until killed.
#include <errno.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <time.h>

#include "phy_check.h"

// One MII register access through the interface's driver.
extern "C" bool mii_access(bool write, int sock, const char* ifname, uint16_t phy_id, uint16_t reg,
                           uint16_t* value) {
  ifreq request;
  memset(&request, 0, sizeof request);
  memcpy(request.ifr_name, ifname, strnlen(ifname, IFNAMSIZ - 1));

  // The MII data lives in the request's union itself, not behind a pointer.
  mii_ioctl_data mii{};
  static_assert(sizeof mii <= sizeof request.ifr_ifru, "MII data must fit the request");
  mii.phy_id = phy_id;
  mii.reg_num = reg;
  if (write) mii.val_in = *value;
  memcpy(&request.ifr_ifru, &mii, sizeof mii);

  if (ioctl(sock, write ? SIOCSMIIREG : SIOCGMIIREG, &request) != 0) {
    syslog(LOG_ERR, "failed to %s %s/%02X/%02X: %s", write ? "write" : "read", ifname, phy_id, reg,
           strerror(errno));
    return false;
  }
  if (!write) {
    memcpy(&mii, &request.ifr_ifru, sizeof mii);
    *value = mii.val_out;
  }
  return true;
}

namespace {

// port.ctx: the socket the MII requests go through.
bool kernel_access(const phyfix::phy_port& port, bool write, uint16_t reg, uint16_t* value) {
  return mii_access(write, *static_cast<int*>(port.ctx), port.ifname, port.phy_id, reg, value);
}

// Sleeps the whole time even when a stop/continue cuts the sleep short.
void sleep_seconds(unsigned seconds) {
  timespec left{static_cast<time_t>(seconds), 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void kernel_sleep(const phyfix::phy_port&, unsigned seconds) { sleep_seconds(seconds); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s <iface> <phy_number>\n", argc > 0 ? argv[0] : "phyfix");
    return 255;
  }
  uint16_t phy_id;
  if (!phyfix::parse_phy_number(argv[2], &phy_id)) {
    fprintf(stderr, "%s: invalid number\n", argv[2]);
    return 255;
  }
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    fprintf(stderr, "failed to create socket: %s\n", strerror(errno));
    return 255;
  }
  openlog("phyfix", LOG_PID | LOG_NDELAY | LOG_PERROR, LOG_DAEMON);

  const phyfix::phy_port port{argv[1], phy_id, &sock, kernel_access, kernel_sleep};
  for (;;) {
    phyfix::check_phy(port);
    sleep_seconds(phyfix::check_interval);
  }
}
