/* A small read-only HTTP server for the exporter and the demo, over
 * libmicrohttpd, on its own thread: GET /metrics answers with the text that
 * a render function makes; /, its scripts and style sheet are the page's
 * embedded files; /api/... the JSON that an api function makes. Only GET and
 * HEAD are accepted.
 *
 * One thread runs libmicrohttpd's epoll loop and every callback, so that
 * slow or many clients cost a socket each and block nobody; it cuts the
 * connections whose request header does not arrive in time, and the oldest
 * idle ones when the connections near their limit. With a web configuration
 * file (Prometheus' exporters' format) it serves TLS and asks for basic
 * authentication. */
#pragma once

#include "exporter/webconfig.h"

#include <map>
#include <string>

struct MHD_Daemon;
struct w4_http_srv;

/* Makes the body of /metrics; runs on the server's thread. */
typedef std::string (*w4_http_render_fn)(void *opaque);

/* Makes the JSON body of path (under /api/) from the query's arguments into
 * *body; false when there is no such path. Runs on the server's thread. */
typedef bool (*w4_http_api_fn)(void *opaque, const std::string &path,
                               const std::map<std::string, std::string> &args,
                               std::string *body);

/* The server's limits. */
/* A request's whole header, TLS handshake included, must arrive within this
 * many seconds of the connection's start or of the end of the previous
 * answer on it; an idle keep-alive connection is closed after as long. */
static const int W4_HTTP_HEADER_DEADLINE_S = 10;
/* An answer must be sent within this many seconds. */
static const int W4_HTTP_ANSWER_DEADLINE_S = 120;
/* A connection where nothing moves for this many seconds is closed. */
static const unsigned int W4_HTTP_IDLE_TIMEOUT_S = 30;
/* Connections at most (fewer when the limit of open files is lower). */
static const unsigned int W4_HTTP_MAX_CONNECTIONS = 4096;
/* Distinct bodies of /metrics alive at once: a scrape that comes while
 * this many are being sent, or while a body made less than a second ago is,
 * gets that body. */
static const int W4_HTTP_MAX_METRICS_BODIES = 4;
/* Bodies of /api/... being sent at once; more get 503. */
static const int W4_HTTP_MAX_API_BODIES = 16;

struct w4_http {
  MHD_Daemon *daemon = nullptr;
  int fd = -1;
  int port = 0; /* the port actually bound (useful with port 0) */
  w4_http_render_fn render = nullptr; /* none: no /metrics */
  void *opaque = nullptr;
  w4_http_api_fn api = nullptr; /* none: no page; set before starting */
  void *api_opaque = nullptr;
  /* The web configuration in force (w4_http_set_web_config); its file is
   * read again when it changes, and web replaced, on the server's thread
   * only once started. None: plain HTTP, no authentication. */
  w4_webconfig_ptr web;
  bool tls = false; /* serving TLS: fixed at start, readable from any thread */
  w4_http_srv *srv = nullptr; /* the serving thread's state */
};

/* Splits "ADDR:PORT", "[ADDR]:PORT" or ":PORT" (every address); false when
 * it is not one. */
bool w4_http_parse_listen(const std::string &s, std::string *addr, int *port);

/* Reads the web configuration file at path for the server to start with;
 * false with the reason in *err. Before w4_http_start. */
bool w4_http_set_web_config(w4_http *h, const std::string &path,
                            std::string *err);

/* Raises the soft limit of open files to the hard one, so that many
 * connections fit; the soft limit now. */
long w4_http_raise_nofile(void);

/* Binds addr:port and starts serving; false with a reason in *err (for
 * instance "Address already in use"). */
bool w4_http_start(w4_http *h, const std::string &addr, int port,
                   w4_http_render_fn render, void *opaque, std::string *err);

/* The base URL that a bound server answers at, "http://ADDR:PORT" or
 * "https://..." (an IPv6 address in brackets, 0.0.0.0 for every address). */
std::string w4_http_base_url(const w4_http &h, const std::string &addr);

/* Stops serving and closes the socket. */
void w4_http_stop(w4_http *h);
