// SPDX-License-Identifier: ISC
/* fdgate_example: a bus object whose "request" method answers the HTTP
 * requests that fdgate hands it.
 *
 *   fdgate_example [-s socket] <object path>
 *
 *   GET  <prefix>/hello    a whole response, status line and headers included
 *   POST <prefix>/upper    the request body in capitals, while it arrives
 *   GET  <prefix>/status   one "data" reply and status 0, no descriptor
 *   anything else          status 4 (not found), no descriptor
 */
#define _GNU_SOURCE /* pipe2 */
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubox/utils.h>
#include <libubus.h>

/* The thirteen entries of "env", in order. */
enum {
  ENV_METHOD,
  ENV_URL,
  ENV_QUERY,
  ENV_PATH_INFO,
  ENV_VERSION_NUMBER,
  ENV_VERSION,
  ENV_TLS,
  ENV_PEER_ADDRESS,
  ENV_PEER_PORT,
  ENV_SERVER_ADDRESS,
  ENV_SERVER_PORT,
  ENV_CONTENT_LENGTH,
  ENV_CONTENT_TYPE,
  ENV_SLOTS
};

enum { REQUEST_HEADERS, REQUEST_ENV, REQUEST_MAX };

static const struct blobmsg_policy request_policy[REQUEST_MAX] = {
    [REQUEST_HEADERS] = {.name = "headers", .type = BLOBMSG_TYPE_TABLE},
    [REQUEST_ENV] = {.name = "env", .type = BLOBMSG_TYPE_ARRAY},
};

static struct ubus_context *bus;

/* One POST being copied: body pipe in, response pipe out. */
struct upper_copy {
  struct uloop_fd body;
  int response;
};

/* An env entry as text; "" where the entry is false. */
static const char *env_text(struct blob_attr **env, int slot) {
  if (!env[slot] || blobmsg_type(env[slot]) != BLOBMSG_TYPE_STRING) return "";
  return blobmsg_get_string(env[slot]);
}

/* A new pipe whose read end goes back with the reply; returns the write
 * end, or -1. The bus library closes the read end once it is sent. */
static int response_pipe(struct ubus_request_data *req) {
  int fds[2];

  if (pipe2(fds, O_CLOEXEC) < 0) return -1;
  ubus_request_set_fd(bus, req, fds[0]);
  return fds[1];
}

static int answer_hello(struct ubus_request_data *req, struct blob_attr **env) {
  char text[128], response[256];
  int len = snprintf(text, sizeof(text), "hello, %s\n", env_text(env, ENV_PEER_ADDRESS));
  int total = snprintf(response, sizeof(response),
                       "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                       "Content-Length: %d\r\n\r\n%s",
                       len, text);
  int out = response_pipe(req);

  if (out < 0) return UBUS_STATUS_UNKNOWN_ERROR;
  /* a small response fits the pipe: write it and close, the caller reads */
  if (write(out, response, (size_t)total) != total) fprintf(stderr, "short write\n");
  close(out);
  return UBUS_STATUS_OK;
}

static void upper_readable(struct uloop_fd *fd, unsigned int events) {
  struct upper_copy *copy = container_of(fd, struct upper_copy, body);
  char buf[4096];
  ssize_t len;

  (void)events;
  while ((len = read(fd->fd, buf, sizeof(buf))) > 0) {
    for (ssize_t i = 0; i < len; i++) buf[i] = (char)toupper((unsigned char)buf[i]);
    if (write(copy->response, buf, (size_t)len) != len) break;
  }
  if (len < 0 && errno == EAGAIN) return; /* more later */

  /* end of the body (or an error): the response ends with it */
  uloop_fd_delete(fd);
  close(fd->fd);
  close(copy->response);
  free(copy);
}

static int answer_upper(struct ubus_request_data *req) {
  int body = ubus_request_get_caller_fd(req);
  struct upper_copy *copy = calloc(1, sizeof(*copy));

  if (body < 0 || !copy) {
    if (body >= 0) close(body);
    free(copy);
    return UBUS_STATUS_INVALID_ARGUMENT;
  }
  copy->response = response_pipe(req);
  if (copy->response < 0) {
    close(body);
    free(copy);
    return UBUS_STATUS_UNKNOWN_ERROR;
  }
  fcntl(body, F_SETFL, fcntl(body, F_GETFL) | O_NONBLOCK);
  copy->body.fd = body;
  copy->body.cb = upper_readable;
  uloop_fd_add(&copy->body, ULOOP_READ);
  return UBUS_STATUS_OK;
}

static int answer_status(struct ubus_request_data *req) {
  struct blob_buf reply = {0};

  blob_buf_init(&reply, 0);
  blobmsg_add_string(&reply, "data", "ready\n");
  ubus_send_reply(bus, req, reply.head);
  blob_buf_free(&reply);
  return UBUS_STATUS_OK;
}

static int handle_request(struct ubus_context *ctx, struct ubus_object *obj,
                          struct ubus_request_data *req, const char *method,
                          struct blob_attr *msg) {
  struct blob_attr *tb[REQUEST_MAX];
  struct blob_attr *env[ENV_SLOTS] = {0};
  struct blob_attr *cur;
  size_t rem;
  int slot = 0;

  (void)ctx;
  (void)obj;
  (void)method;
  blobmsg_parse(request_policy, REQUEST_MAX, tb, blob_data(msg), blob_len(msg));
  if (!tb[REQUEST_ENV]) return UBUS_STATUS_INVALID_ARGUMENT;
  blobmsg_for_each_attr(cur, tb[REQUEST_ENV], rem) {
    if (slot < ENV_SLOTS) env[slot++] = cur;
  }

  const char *verb = env_text(env, ENV_METHOD);
  const char *path = env_text(env, ENV_PATH_INFO);
  if (!strcmp(verb, "GET") && !strcmp(path, "/hello")) return answer_hello(req, env);
  if (!strcmp(verb, "POST") && !strcmp(path, "/upper")) return answer_upper(req);
  if (!strcmp(verb, "GET") && !strcmp(path, "/status")) return answer_status(req);
  return UBUS_STATUS_NOT_FOUND;
}

static const struct ubus_method methods[] = {
    UBUS_METHOD_NOARG("request", handle_request),
};

static struct ubus_object_type object_type = UBUS_OBJECT_TYPE("fdgate_example", methods);

static struct ubus_object object = {
    .type = &object_type,
    .methods = methods,
    .n_methods = ARRAY_SIZE(methods),
};

int main(int argc, char **argv) {
  const char *socket_path = NULL;
  int opt;

  while ((opt = getopt(argc, argv, "s:")) != -1) {
    if (opt != 's') break;
    socket_path = optarg;
  }
  if (optind != argc - 1 || opt == '?') {
    fprintf(stderr, "usage: %s [-s socket] <object path>\n", argv[0]);
    return 2;
  }
  object.name = argv[optind];

  signal(SIGPIPE, SIG_IGN); /* a client that leaves closes our pipe */
  uloop_init();
  bus = ubus_connect(socket_path);
  if (!bus) {
    fprintf(stderr, "cannot connect to the bus\n");
    return 1;
  }
  ubus_add_uloop(bus);
  if (ubus_add_object(bus, &object) != 0) {
    fprintf(stderr, "cannot publish %s\n", object.name);
    ubus_free(bus);
    return 1;
  }
  uloop_run();
  ubus_free(bus);
  uloop_done();
  return 0;
}
