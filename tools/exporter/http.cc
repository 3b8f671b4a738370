/* The exporter's HTTP server, over libmicrohttpd. */
#include "exporter/http.h"

#include "exporter/page.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

bool w4_http_parse_listen(const std::string &s, std::string *addr, int *port) {
  size_t colon = s.rfind(':');
  if (colon == std::string::npos)
    return false;
  std::string host = s.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  std::string digits = s.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  long p = strtol(digits.c_str(), nullptr, 10);
  if (p > 65535)
    return false;
  *addr = host;
  *port = static_cast<int>(p);
  return true;
}

/* Headers of every answer: the page loads nothing but its own files, runs
 * no inline script, is never framed, and no type is guessed. */
static void w4_http_common_headers(MHD_Response *resp) {
  MHD_add_response_header(resp, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(
      resp, "Content-Security-Policy",
      "default-src 'none'; script-src 'self'; style-src 'self'; "
      "img-src 'self'; connect-src 'self'; base-uri 'none'; "
      "form-action 'none'; frame-ancestors 'none'");
  MHD_add_response_header(resp, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(resp, "X-Frame-Options", "DENY");
}

/* Queues an answer with a status code; the body is copied. */
static MHD_Result w4_http_answer(MHD_Connection *conn, unsigned int status,
                                 const std::string &body,
                                 const char *content_type) {
  MHD_Response *resp = MHD_create_response_from_buffer(
      body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (!resp)
    return MHD_NO;
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  w4_http_common_headers(resp);
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
    MHD_add_response_header(resp, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  MHD_Result r = MHD_queue_response(conn, status, resp);
  MHD_destroy_response(resp);
  return r;
}

/* Queues one of the page's embedded files, which live as long as the
 * program. */
static MHD_Result w4_http_file(MHD_Connection *conn, const unsigned char *data,
                               size_t len, const char *content_type) {
  MHD_Response *resp = MHD_create_response_from_buffer(
      len, const_cast<unsigned char *>(data), MHD_RESPMEM_PERSISTENT);
  if (!resp)
    return MHD_NO;
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CACHE_CONTROL, "max-age=300");
  w4_http_common_headers(resp);
  MHD_Result r = MHD_queue_response(conn, MHD_HTTP_OK, resp);
  MHD_destroy_response(resp);
  return r;
}

/* Collects one query argument into the map that cls points to. */
static MHD_Result w4_http_arg(void *cls, enum MHD_ValueKind kind,
                              const char *key, const char *value) {
  (void)kind;
  auto *args = static_cast<std::map<std::string, std::string> *>(cls);
  (*args)[key] = value ? value : "";
  return MHD_YES;
}

/* libmicrohttpd's request handler, on the server's thread: /metrics, the
 * page's files and its JSON; anything else 404, methods other than GET and
 * HEAD 405. */
static MHD_Result w4_http_handle(void *cls, MHD_Connection *conn,
                                 const char *url, const char *method,
                                 const char *version, const char *upload_data,
                                 size_t *upload_data_size, void **con_cls) {
  (void)version;
  (void)upload_data;
  (void)con_cls;
  w4_http *h = static_cast<w4_http *>(cls);
  const char *text = "text/plain; charset=utf-8";
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
      strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    *upload_data_size = 0;
    return w4_http_answer(conn, MHD_HTTP_METHOD_NOT_ALLOWED,
                          "only GET and HEAD\n", text);
  }
  std::string path = url;
  if (path == "/metrics" && h->render)
    return w4_http_answer(conn, MHD_HTTP_OK, h->render(h->opaque),
                          "text/plain; version=0.0.4; charset=utf-8");
  if (!h->api) {
    if (path == "/" && h->render)
      return w4_http_answer(conn, MHD_HTTP_OK,
                            "w4metrics-exporter: metrics at /metrics\n", text);
    return w4_http_answer(conn, MHD_HTTP_NOT_FOUND, "not found\n", text);
  }
  const unsigned char *data;
  size_t len;
  const char *type;
  if (w4_page_asset(path, &data, &len, &type))
    return w4_http_file(conn, data, len, type);
  if (path.compare(0, 5, "/api/") == 0) {
    std::map<std::string, std::string> args;
    MHD_get_connection_values(conn, MHD_GET_ARGUMENT_KIND, w4_http_arg, &args);
    std::string body;
    if (h->api(h->api_opaque, path, args, &body))
      return w4_http_answer(conn, MHD_HTTP_OK, body,
                            "application/json; charset=utf-8");
  }
  return w4_http_answer(conn, MHD_HTTP_NOT_FOUND, "not found\n", text);
}

/* Creates, binds and listens on a socket for addr:port; -1 with *err. */
static int w4_http_listen(const std::string &addr, int port, std::string *err) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  struct addrinfo *res = nullptr;
  std::string service = std::to_string(port);
  int gai = getaddrinfo(addr.empty() ? nullptr : addr.c_str(), service.c_str(),
                        &hints, &res);
  if (gai != 0) {
    *err = std::string("bad address: ") + gai_strerror(gai);
    return -1;
  }
  int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *err = strerror(errno);
    freeaddrinfo(res);
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(fd, res->ai_addr, res->ai_addrlen) != 0 || listen(fd, 64) != 0) {
    *err = strerror(errno);
    close(fd);
    fd = -1;
  }
  freeaddrinfo(res);
  return fd;
}

/* The port a bound socket got. */
static int w4_http_bound_port(int fd) {
  struct sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&ss), &len) != 0)
    return 0;
  if (ss.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<struct sockaddr_in6 *>(&ss)->sin6_port);
  return ntohs(reinterpret_cast<struct sockaddr_in *>(&ss)->sin_port);
}

bool w4_http_start(w4_http *h, const std::string &addr, int port,
                   w4_http_render_fn render, void *opaque, std::string *err) {
  h->render = render;
  h->opaque = opaque;
  h->fd = w4_http_listen(addr, port, err);
  if (h->fd < 0)
    return false;
  h->port = w4_http_bound_port(h->fd);
  h->daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD, 0, nullptr, nullptr, w4_http_handle, h,
      MHD_OPTION_LISTEN_SOCKET, h->fd, MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned int>(30), MHD_OPTION_END);
  if (!h->daemon) {
    *err = "cannot start the HTTP server";
    close(h->fd);
    h->fd = -1;
    return false;
  }
  return true;
}

std::string w4_http_base_url(const w4_http &h, const std::string &addr) {
  bool v6 = addr.find(':') != std::string::npos;
  std::string host = addr.empty() ? "0.0.0.0" : addr;
  return "http://" + (v6 ? "[" + host + "]" : host) + ":" +
         std::to_string(h.port);
}

void w4_http_stop(w4_http *h) {
  if (h->daemon) {
    MHD_stop_daemon(h->daemon); /* closes the listening socket too */
    h->daemon = nullptr;
    h->fd = -1;
  }
  if (h->fd >= 0)
    close(h->fd);
  h->fd = -1;
}
