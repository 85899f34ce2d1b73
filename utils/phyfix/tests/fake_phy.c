// SPDX-License-Identifier: ISC
/* Preloaded into phyfix by its tests: a PHY behind the interface named by
 * FAKE_PHY_IFNAME answers the MII register ioctls from a register file
 * (FAKE_PHY_REGS, "reg=value,..." in hex) and appends every access to
 * FAKE_PHY_LOG as "read|write <phy> <reg> <value>". Writing the restart bit
 * to the control register makes the status register read FAKE_PHY_STATUS_
 * AFTER_RESTART from then on, as a link that came up. Every other ioctl
 * goes to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static unsigned short regs[32];
static int loaded;

static void load_registers(void) {
  const char *text = getenv("FAKE_PHY_REGS");
  loaded = 1;
  while (text && *text) {
    char *end;
    unsigned long reg = strtoul(text, &end, 16);
    if (*end != '=') return;
    unsigned long value = strtoul(end + 1, &end, 16);
    if (reg < 32) regs[reg] = (unsigned short)value;
    text = *end == ',' ? end + 1 : end;
  }
}

static void note(const char *what, unsigned phy, unsigned reg, unsigned value) {
  const char *path = getenv("FAKE_PHY_LOG");
  if (!path) return;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[64];
  int len = snprintf(line, sizeof line, "%s %02X %02X %04X\n", what, phy, reg, value);
  if (write(fd, line, (size_t)len) != len) {
    /* the test sees the line missing */
  }
  close(fd);
}

static int fake_access(unsigned long request, struct ifreq *ifr) {
  struct mii_ioctl_data mii;
  memcpy(&mii, &ifr->ifr_ifru, sizeof mii);
  if (!loaded) load_registers();
  if (mii.reg_num >= 32) {
    errno = EINVAL;
    return -1;
  }
  if (request == SIOCGMIIREG) {
    mii.val_out = regs[mii.reg_num];
    note("read", mii.phy_id, mii.reg_num, mii.val_out);
    memcpy(&ifr->ifr_ifru, &mii, sizeof mii);
    return 0;
  }
  note("write", mii.phy_id, mii.reg_num, mii.val_in);
  regs[mii.reg_num] = mii.val_in;
  if (mii.reg_num == MII_BMCR && (mii.val_in & BMCR_ANRESTART)) {
    const char *after = getenv("FAKE_PHY_STATUS_AFTER_RESTART");
    if (after) regs[MII_BMSR] = (unsigned short)strtoul(after, NULL, 16);
  }
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  const char *name = getenv("FAKE_PHY_IFNAME");
  if ((request == SIOCGMIIREG || request == SIOCSMIIREG) && arg && name &&
      strncmp(((struct ifreq *)arg)->ifr_name, name, IFNAMSIZ) == 0)
    return fake_access(request, (struct ifreq *)arg);
  static int (*real_ioctl)(int, unsigned long, ...);
  if (!real_ioctl) real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  if (!real_ioctl) {
    errno = ENOSYS;
    return -1;
  }
  return real_ioctl(fd, request, arg);
}
