// SPDX-License-Identifier: ISC
/*
 * The HTTP server's records as its plug-ins see them: the configuration,
 * the per-connection client record, dispatch handlers and the operations
 * table handed to every plug-in at init.
 *
 * A plug-in claims requests with a dispatch handler. Its request handler
 * either answers at once (send_error, finish_request) or fills the client's
 * dispatch slots and answers later from the event loop through write_body
 * and finish_request. Request-body bytes arrive through data_send (return
 * how many were taken; set data_blocked to pause delivery until
 * resume_read) and the end of the body through data_done. The server calls
 * the free slot once when the request ends for any reason.
 *
 * Response bytes written with write_body get a "200 OK" head and the
 * server's transfer framing (chunked on HTTP/1.1, close-delimited on
 * HTTP/1.0, bare on HTTP/0.9), unless they start with "HTTP/": then the
 * plug-in wrote its own status line and headers, the bytes go out unchanged
 * and the connection closes after the response. finish_request(cl, true)
 * may keep the connection for the next request; with false it closes. A
 * request finished before any response byte gets an empty "200 OK" (true)
 * or a "500 Internal Server Error" (false).
 *
 * The inactivity timer runs while a handler works on a request (the script
 * timeout); when it fires the server only lets it lapse.
 *
 * write_body never waits for the peer: bytes the socket does not take are
 * queued on the connection stream. A handler that relays a source of its
 * own stops reading it while that queue holds bytes
 * (ustream_pending_data(cl->us, true)) and goes on from its write_cb slot,
 * which the server calls each time the queue has been written out. A peer
 * that takes no queued byte for the network timeout is disconnected.
 */
#ifndef UHTTPD_H
#define UHTTPD_H

#include <netinet/in.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus

extern "C" {
#endif

#include <libubox/blob.h>
#include <libubox/list.h>
#include <libubox/uloop.h>
#include <libubox/ustream.h>

enum http_method {
  UH_HTTP_MSG_GET,
  UH_HTTP_MSG_POST,
  UH_HTTP_MSG_HEAD,
  UH_HTTP_MSG_OPTIONS,
  UH_HTTP_MSG_PUT,
  UH_HTTP_MSG_PATCH,
  UH_HTTP_MSG_DELETE,
};

enum http_version {
  UH_HTTP_VER_0_9,
  UH_HTTP_VER_1_0,
  UH_HTTP_VER_1_1,
};

enum client_state {
  CLIENT_STATE_INIT,    /* waiting for a request */
  CLIENT_STATE_HEADER,  /* reading the request head */
  CLIENT_STATE_DATA,    /* receiving the request body */
  CLIENT_STATE_DONE,    /* request read, response in progress */
  CLIENT_STATE_CLOSE,   /* response done, flushing before close */
  CLIENT_STATE_CLEANUP, /* being released */
};

struct config {
  const char *ubus_socket; /* NULL: the bus library's default */
  const char *ubus_fd_prefix;
  const char *ubus_fd_object;

  int script_timeout;  /* ms a dispatch may stay silent */
  int network_timeout; /* ms an idle connection is kept */
  int max_header_size; /* bytes of request line and headers */
  int max_headers;
  int max_connections;
};

struct uh_addr {
  uint8_t family;
  uint16_t port; /* host order */
  union {
    struct in_addr in;
    struct in6_addr in6;
  };
};

struct http_request {
  enum http_method method;
  enum http_version version;
  int content_length;          /* body bytes still to come (of the
                                * current chunk when chunked) */
  uint8_t transfer_chunked;    /* non-zero while a chunked body arrives */
  uint8_t body_without_length; /* the body's length was not declared */
  bool expect_continue;
  bool connection_close;
  bool connection_keep_alive;
};

struct client;
struct path_info;

/* Room for a handler's per-request state: 304 bytes on the 32-bit device,
 * more where pointers are wider. */
#define UH_DISPATCH_PRIV_LEN (sizeof(void *) == 4 ? 304 : 512)

struct dispatch {
  int (*data_send)(struct client *cl, const char *data, int len);
  void (*data_done)(struct client *cl);
  void (*write_cb)(struct client *cl);
  void (*close_fds)(struct client *cl);
  void (*free)(struct client *cl);

  bool data_blocked;

  union {
    char priv[UH_DISPATCH_PRIV_LEN];
    void *align_ptr;
    uint64_t align_u64;
    double align_double;
  };
};

/* How the response of the current request goes out (the server's own). */
enum uh_response {
  UH_RESPONSE_NONE,     /* nothing written yet */
  UH_RESPONSE_FRAMED,   /* server head sent, body framed */
  UH_RESPONSE_RAW,      /* plug-in wrote its own head */
  UH_RESPONSE_COMPLETE, /* full response (error page) sent */
};

struct client {
  struct list_head list;
  int id;

  struct ustream *us;           /* connection stream */
  struct ustream_fd sfd;        /* sfd.fd.fd is the socket */
  struct uloop_timeout timeout; /* inactivity timer */
  struct uloop_timeout kick;    /* deferred work of the server */
  struct uloop_timeout watch;   /* peer check while reading is paused */
  struct uloop_timeout drain;   /* a peer that takes none of its response */
  struct uloop_timeout flush;   /* sends what the current callback wrote */

  enum client_state state;
  bool tls;
  uint8_t nodelay; /* current TCP_NODELAY of the socket */

  struct http_request request;
  struct uh_addr srv_addr, peer_addr;

  struct blob_buf hdr; /* request headers: blobmsg strings */
  struct dispatch dispatch;

  /* the server's own bookkeeping */
  char *url;
  char *line; /* the line being read */
  int line_len;
  int head_bytes;
  int head_lines;
  int chunk_state;
  int zero_takes;
  int paused_ms; /* how long the body has not moved */
  enum uh_response response;
  char corked[4096]; /* small writes of one callback, sent as one */
  int corked_len;
  char sniff[8];
  int sniff_len;
  bool respond_chunked;
  bool keep_alive;
  bool head_only;
  bool dispatching;
  bool finished;
  bool closing;
  bool lingering;
};

struct dispatch_handler {
  struct list_head list;
  bool script;

  bool (*check_url)(const char *url);
  bool (*check_path)(struct path_info *pi, const char *url);
  void (*handle_request)(struct client *cl, char *url, struct path_info *pi);
};

/* Every slot is one function pointer; plug-ins reach them by position. */
struct uhttpd_ops {
  void (*add_dispatch)(struct dispatch_handler *d);                                      /* 0 */
  bool (*match_prefix)(const char *prefix, const char *url);                             /* 1 */
  void (*send_header)(struct client *cl, int code, const char *summary, int64_t length); /* 2 */
  int (*body_printf)(struct client *cl, const char *format, ...);                        /* 3 */
  int (*body_vprintf)(struct client *cl, const char *format, va_list arg);               /* 4 */
  void (*send_error)(struct client *cl, int code, const char *summary, const char *format,
                     ...);                                          /* 5 */
  void (*finish_request)(struct client *cl, bool keep);             /* 6 */
  void (*write_body)(struct client *cl, const void *data, int len); /* 7 */
  void (*block_read)(struct client *cl);                            /* 8 */
  void (*resume_read)(struct client *cl);                           /* 9 */
  const char *(*get_header)(struct client *cl, const char *name);   /* 10 */
  void (*close_connection)(struct client *cl);                      /* 11 */
  int (*check_path_info)(char *path);                               /* 12 */
};

#ifdef __cplusplus
}
#endif

#endif
