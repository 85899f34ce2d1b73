// SPDX-License-Identifier: ISC
// The host HTTP server's internals shared by its source files.
#pragma once

extern "C" {
#include "plugin.h"
#include "uhttpd.h"
}

namespace uh {

extern struct config conf;
extern const struct uhttpd_ops ops;

// Takes a connected, non-blocking socket.
bool client_add(int fd);
int client_count();
// Ends every connection (at shutdown).
void client_close_all();

// Normalises a path remainder in place; negative when it is rejected.
int check_path_info(char *path);

}  // namespace uh
