/* A small HTTP server for the exporter: GET /metrics answers with the text
 * that a render function makes, on libmicrohttpd's own thread. */
#pragma once

#include <string>

struct MHD_Daemon;

/* Makes the body of /metrics; runs on the server's thread. */
typedef std::string (*w4_http_render_fn)(void *opaque);

struct w4_http {
  MHD_Daemon *daemon = nullptr;
  int fd = -1;
  int port = 0; /* the port actually bound (useful with port 0) */
  w4_http_render_fn render = nullptr;
  void *opaque = nullptr;
};

/* Splits "ADDR:PORT", "[ADDR]:PORT" or ":PORT" (every address); false when
 * it is not one. */
bool w4_http_parse_listen(const std::string &s, std::string *addr, int *port);

/* Binds addr:port and starts serving; false with a reason in *err (for
 * instance "Address already in use"). */
bool w4_http_start(w4_http *h, const std::string &addr, int port,
                   w4_http_render_fn render, void *opaque, std::string *err);

/* Stops serving and closes the socket. */
void w4_http_stop(w4_http *h);
