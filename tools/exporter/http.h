/* A small read-only HTTP server for the exporter and the demo, over
 * libmicrohttpd, on its own thread: GET /metrics answers with the text that
 * a render function makes; /, its scripts and style sheet are the page's
 * embedded files; /api/... the JSON that an api function makes. Only GET and
 * HEAD are accepted. */
#pragma once

#include <map>
#include <string>

struct MHD_Daemon;

/* Makes the body of /metrics; runs on the server's thread. */
typedef std::string (*w4_http_render_fn)(void *opaque);

/* Makes the JSON body of path (under /api/) from the query's arguments into
 * *body; false when there is no such path. Runs on the server's thread. */
typedef bool (*w4_http_api_fn)(void *opaque, const std::string &path,
                               const std::map<std::string, std::string> &args,
                               std::string *body);

struct w4_http {
  MHD_Daemon *daemon = nullptr;
  int fd = -1;
  int port = 0; /* the port actually bound (useful with port 0) */
  w4_http_render_fn render = nullptr; /* none: no /metrics */
  void *opaque = nullptr;
  w4_http_api_fn api = nullptr; /* none: no page; set before starting */
  void *api_opaque = nullptr;
};

/* Splits "ADDR:PORT", "[ADDR]:PORT" or ":PORT" (every address); false when
 * it is not one. */
bool w4_http_parse_listen(const std::string &s, std::string *addr, int *port);

/* Binds addr:port and starts serving; false with a reason in *err (for
 * instance "Address already in use"). */
bool w4_http_start(w4_http *h, const std::string &addr, int port,
                   w4_http_render_fn render, void *opaque, std::string *err);

/* The base URL that a bound server answers at, "http://ADDR:PORT" (an IPv6
 * address in brackets, 0.0.0.0 for every address). */
std::string w4_http_base_url(const w4_http &h, const std::string &addr);

/* Stops serving and closes the socket. */
void w4_http_stop(w4_http *h);
