// SPDX-License-Identifier: ISC
/*
 * The record a plug-in exports as "uhttpd_plugin". The server links the
 * plug-ins through `list`, calls init once the configuration is complete
 * (before the listeners open) and post_init once everything is set up,
 * right before the event loop starts.
 */
#ifndef UHTTPD_PLUGIN_H
#define UHTTPD_PLUGIN_H

#include "uhttpd.h"

#ifdef __cplusplus
extern "C" {
#endif

struct uhttpd_plugin {
  struct list_head list;

  int (*init)(const struct uhttpd_ops *ops, struct config *conf);
  void (*post_init)(void);
};

#ifdef __cplusplus
}
#endif

#endif
