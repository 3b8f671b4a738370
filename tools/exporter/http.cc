/* The exporter's HTTP server, over libmicrohttpd in its epoll mode, run by a
 * thread of ours so that it can also cut slow connections. */
#include "exporter/http.h"

#include "exporter/page.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gnutls/crypto.h>
#include <memory>
#include <microhttpd.h>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

/* One connection, from its start to its close: when its current phase
 * (waiting for a request's header, or answering) began. */
struct w4_http_conn {
  w4_http_srv *srv = nullptr;
  int fd = -1;
  int64_t since_ms = 0;
  bool answering = false;
  bool cut = false;    /* shut down by us, closing */
  void *tls = nullptr; /* its gnutls_session_t */
  /* The configuration in force when it started: its TLS handshake uses
   * that certificate and client CA. */
  w4_webconfig_ptr web;
};

/* A body being sent, shared by the answers that send it. */
struct w4_http_body {
  std::shared_ptr<const std::string> text;
  w4_http_srv *srv = nullptr;
  bool api = false;
};

/* The serving thread's state; everything here is touched by that thread
 * only (and by w4_http_stop once it has ended). */
struct w4_http_srv {
  w4_http *h = nullptr;
  std::thread thread;
  int wake_fd = -1;
  std::atomic<bool> stopping{false};
  std::unordered_set<w4_http_conn *> conns;
  size_t cut_count = 0; /* of conns, shut down and closing */
  size_t max_conns = W4_HTTP_MAX_CONNECTIONS;
  size_t evict_at = W4_HTTP_MAX_CONNECTIONS;
  int64_t next_sweep_ms = 0;
  /* /metrics bodies being sent, the newest last, and when it was made. */
  std::vector<std::weak_ptr<const std::string>> bodies;
  int64_t newest_ms = 0;
  int api_bodies = 0;
  /* Credentials that passed recently (SHA-256 of user, password and hash),
   * and a bucket of bcrypt checks for the others. */
  std::set<std::string> auth_ok;
  double auth_tokens = 20;
  int64_t auth_tokens_ms = 0;
  /* The web configuration file: the last failed attempt to read it again,
   * and what was said then. */
  int64_t web_tried_ms = 0;
  std::string web_said;
};

/* Milliseconds on the monotonic clock. */
static int64_t w4_http_now_ms(void) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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

/* ---- TLS sessions: which connection, so which configuration, each belongs
 * to. GnuTLS's callbacks get only the session; the map is shared by every
 * server of the process, under its own lock. */

static std::mutex w4_http_tls_lock;
static std::unordered_map<void *, w4_http_conn *> w4_http_tls_conns;

/* The connection of a TLS session, nullptr when unknown; the server's
 * thread, which alone adds and removes its sessions. */
static w4_http_conn *w4_http_tls_conn(gnutls_session_t s) {
  std::lock_guard<std::mutex> guard(w4_http_tls_lock);
  auto it = w4_http_tls_conns.find(s);
  return it == w4_http_tls_conns.end() ? nullptr : it->second;
}

/* Hands GnuTLS the certificate chain and key of the session's
 * configuration; during the handshake, on the server's thread. */
static int w4_http_tls_cert(gnutls_session_t s, const gnutls_datum_t *, int,
                            const gnutls_pk_algorithm_t *, int,
                            gnutls_pcert_st **pcert, unsigned int *n,
                            gnutls_privkey_t *key) {
  w4_http_conn *c = w4_http_tls_conn(s);
  if (!c || !c->web || !c->web->npcerts)
    return -1;
  *pcert = c->web->pcerts;
  *n = c->web->npcerts;
  *key = c->web->key;
  return 0;
}

/* Checks the client's certificate chain when the session's configuration
 * asks for it; a non-zero return ends the handshake. On the server's
 * thread. */
static int w4_http_tls_verify(gnutls_session_t s) {
  w4_http_conn *c = w4_http_tls_conn(s);
  if (!c || !c->web)
    return -1;
  unsigned int n = 0;
  const gnutls_datum_t *chain = gnutls_certificate_get_peers(s, &n);
  if (!chain || n == 0)
    /* None sent: GnuTLS itself refuses that where one is required. */
    return c->web->client_auth == W4_REQUIRE_AND_VERIFY_CLIENT_CERT ? -1 : 0;
  std::string why;
  return w4_webconfig_verify_chain(*c->web, chain, n, &why) ? 0 : -1;
}

/* Sets how a new TLS session asks for client certificates. */
static void w4_http_tls_setup(w4_http_conn *c, MHD_Connection *conn) {
  const MHD_ConnectionInfo *ci =
      MHD_get_connection_info(conn, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  if (!ci || !ci->tls_session)
    return;
  c->tls = ci->tls_session;
  {
    std::lock_guard<std::mutex> guard(w4_http_tls_lock);
    w4_http_tls_conns[c->tls] = c;
  }
  gnutls_session_t s = static_cast<gnutls_session_t>(c->tls);
  switch (c->web->client_auth) {
  case W4_NO_CLIENT_CERT:
    gnutls_certificate_server_set_request(s, GNUTLS_CERT_IGNORE);
    break;
  case W4_REQUEST_CLIENT_CERT:
  case W4_VERIFY_CLIENT_CERT_IF_GIVEN:
    gnutls_certificate_server_set_request(s, GNUTLS_CERT_REQUEST);
    break;
  case W4_REQUIRE_ANY_CLIENT_CERT:
  case W4_REQUIRE_AND_VERIFY_CLIENT_CERT:
    gnutls_certificate_server_set_request(s, GNUTLS_CERT_REQUIRE);
    break;
  }
  if (c->web->client_auth == W4_VERIFY_CLIENT_CERT_IF_GIVEN ||
      c->web->client_auth == W4_REQUIRE_AND_VERIFY_CLIENT_CERT)
    gnutls_session_set_verify_function(s, w4_http_tls_verify);
}

/* ---- The web configuration file, read again when it changes. */

bool w4_http_set_web_config(w4_http *h, const std::string &path,
                            std::string *err) {
  if (!w4_webconfig_load(path, &h->web, err))
    return false;
  if (h->web->tls && !MHD_is_feature_supported(MHD_FEATURE_TLS)) {
    *err = "this libmicrohttpd was built without TLS";
    return false;
  }
  return true;
}

/* Says a line about the web configuration on standard error, once for
 * each different line. */
static void w4_http_web_say(w4_http_srv *srv, const std::string &line) {
  if (line == srv->web_said)
    return;
  srv->web_said = line;
  fprintf(stderr, "w4metrics: web config %s: %s\n", srv->h->web->path.c_str(),
          line.c_str());
}

/* Reads the web configuration file again when it or a file it names
 * changed, at most once a second while it fails; a file that cannot be used
 * keeps the previous configuration. On the server's thread, at each new
 * connection and request. */
static void w4_http_web_reload(w4_http_srv *srv) {
  w4_http *h = srv->h;
  if (!h->web || !w4_webconfig_changed(*h->web))
    return;
  int64_t now = w4_http_now_ms();
  if (now - srv->web_tried_ms < 1000)
    return;
  srv->web_tried_ms = now;
  w4_webconfig_ptr fresh;
  std::string err;
  if (!w4_webconfig_load(h->web->path, &fresh, &err)) {
    w4_http_web_say(srv, "kept the previous one: " + err);
    return;
  }
  if (fresh->tls != h->web->tls) {
    w4_http_web_say(srv, "kept the previous one: TLS cannot be switched " +
                             std::string(h->web->tls ? "off" : "on") +
                             " without a restart");
    return;
  }
  h->web = fresh;
  srv->auth_ok.clear();
  srv->web_said.clear();
  w4_http_web_say(srv, "read again");
}

/* ---- Answers. */

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

/* Frees a body's share once its answer is done with it; on the server's
 * thread (or the stopping one). */
static void w4_http_body_free(void *cls) {
  w4_http_body *b = static_cast<w4_http_body *>(cls);
  if (b->api)
    b->srv->api_bodies--;
  delete b;
}

/* The body of an answer to HEAD: nothing, and no length. */
static ssize_t w4_http_no_body(void *cls, uint64_t pos, char *buf, size_t max) {
  (void)cls;
  (void)pos;
  (void)buf;
  (void)max;
  return MHD_CONTENT_READER_END_OF_STREAM;
}

/* An answer whose body is the shared text b (taken over), or headers only
 * when b is null (HEAD: no Content-Length then). */
static MHD_Response *w4_http_response(w4_http_body *b) {
  if (!b) {
    /* An HTTP/1.1 answer of unknown length is chunked, and libmicrohttpd
     * then sends the chunks' end even to HEAD; answered as HTTP/1.0 it has
     * neither length nor body. */
    MHD_Response *r = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 1024, w4_http_no_body, nullptr, nullptr);
    if (r)
      MHD_set_response_options(r, MHD_RF_HTTP_1_0_SERVER, MHD_RO_END);
    return r;
  }
  MHD_Response *r = MHD_create_response_from_buffer_with_free_callback_cls(
      b->text->size(), const_cast<char *>(b->text->data()), w4_http_body_free,
      b);
  if (!r)
    w4_http_body_free(b);
  return r;
}

/* Adds the headers of a dynamic answer to resp, queues it with status and
 * lets it go. */
static MHD_Result w4_http_send(MHD_Connection *conn, unsigned int status,
                               MHD_Response *resp, const char *content_type) {
  if (!resp)
    return MHD_NO;
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  w4_http_common_headers(resp);
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
    MHD_add_response_header(resp, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  if (status == MHD_HTTP_SERVICE_UNAVAILABLE)
    MHD_add_response_header(resp, MHD_HTTP_HEADER_RETRY_AFTER, "1");
  MHD_Result r = MHD_queue_response(conn, status, resp);
  MHD_destroy_response(resp);
  return r;
}

/* Queues an answer with a status code and the shared body b (null: none,
 * for HEAD). */
static MHD_Result w4_http_queue(MHD_Connection *conn, unsigned int status,
                                w4_http_body *b, const char *content_type) {
  return w4_http_send(conn, status, w4_http_response(b), content_type);
}

/* Queues a short answer; the body is copied. */
static MHD_Result w4_http_answer(MHD_Connection *conn, unsigned int status,
                                 const std::string &body,
                                 const char *content_type) {
  return w4_http_send(
      conn, status,
      MHD_create_response_from_buffer(
          body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY),
      content_type);
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

/* The body of /metrics for one more scrape: the newest one being sent when
 * it is less than a second old or when W4_HTTP_MAX_METRICS_BODIES are being
 * sent, else a new rendering (the render function takes the monitor's lock;
 * no socket is written meanwhile). On the server's thread. */
static w4_http_body *w4_http_metrics_body(w4_http_srv *srv) {
  auto gone = [](const std::weak_ptr<const std::string> &w) {
    return w.expired();
  };
  srv->bodies.erase(
      std::remove_if(srv->bodies.begin(), srv->bodies.end(), gone),
      srv->bodies.end());
  std::shared_ptr<const std::string> text;
  if (!srv->bodies.empty()) {
    std::shared_ptr<const std::string> newest = srv->bodies.back().lock();
    if (newest && (w4_http_now_ms() - srv->newest_ms < 1000 ||
                   srv->bodies.size() >= W4_HTTP_MAX_METRICS_BODIES))
      text = newest;
  }
  if (!text) {
    text = std::make_shared<const std::string>(srv->h->render(srv->h->opaque));
    srv->bodies.push_back(text);
    srv->newest_ms = w4_http_now_ms();
  }
  w4_http_body *b = new w4_http_body();
  b->text = text;
  b->srv = srv;
  return b;
}

/* Collects one query argument into the map that cls points to. */
static MHD_Result w4_http_arg(void *cls, enum MHD_ValueKind kind,
                              const char *key, const char *value) {
  (void)kind;
  auto *args = static_cast<std::map<std::string, std::string> *>(cls);
  (*args)[key] = value ? value : "";
  return MHD_YES;
}

/* ---- Authentication. */

/* Whether one more bcrypt check may run now: at most 10 a second with
 * bursts of 20, so that guesses cannot take the server's thread. */
static bool w4_http_auth_token(w4_http_srv *srv) {
  int64_t now = w4_http_now_ms();
  srv->auth_tokens = std::min(
      20.0, srv->auth_tokens + (now - srv->auth_tokens_ms) * 10 / 1000.0);
  srv->auth_tokens_ms = now;
  if (srv->auth_tokens < 1)
    return false;
  srv->auth_tokens -= 1;
  return true;
}

/* Whether the request's basic authentication names a user of the
 * configuration with the right password. A pair that passed is remembered
 * (as a digest) so that a scraper costs one bcrypt per configuration, not
 * one per scrape. On the server's thread. */
static bool w4_http_authorized(w4_http_srv *srv, MHD_Connection *conn,
                               const w4_webconfig &web) {
  char *pass = nullptr;
  char *user = MHD_basic_auth_get_username_password(conn, &pass);
  bool ok = false;
  if (user && pass) {
    auto it = web.users.find(user);
    std::string key = std::string(user) + '\0' + pass + '\0' +
                      (it == web.users.end() ? "" : it->second);
    unsigned char digest[32];
    gnutls_hash_fast(GNUTLS_DIG_SHA256, key.data(), key.size(), digest);
    std::string d(reinterpret_cast<char *>(digest), sizeof(digest));
    if (srv->auth_ok.count(d)) {
      ok = true;
    } else if (w4_http_auth_token(srv) && w4_webconfig_check(web, user, pass)) {
      if (srv->auth_ok.size() >= 64)
        srv->auth_ok.clear();
      srv->auth_ok.insert(d);
      ok = true;
    }
    std::fill(key.begin(), key.end(), '\0');
  }
  if (user)
    MHD_free(user);
  if (pass) {
    memset(pass, 0, strlen(pass));
    MHD_free(pass);
  }
  return ok;
}

/* Queues 401 with the header that asks for basic authentication. */
static MHD_Result w4_http_ask_auth(MHD_Connection *conn) {
  static const char body[] = "authentication required\n";
  MHD_Response *resp = MHD_create_response_from_buffer(
      sizeof(body) - 1, const_cast<char *>(body), MHD_RESPMEM_PERSISTENT);
  if (!resp)
    return MHD_NO;
  MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE,
                          "text/plain; charset=utf-8");
  w4_http_common_headers(resp);
  MHD_Result r = MHD_queue_basic_auth_fail_response(conn, "w4metrics", resp);
  MHD_destroy_response(resp);
  return r;
}

/* Whether a TLS connection that must carry a client certificate carries
 * one (the handshake refuses it otherwise; this is a second check). */
static bool w4_http_cert_ok(const w4_http_conn *c) {
  if (!c || !c->web || !c->web->tls)
    return true;
  w4_client_auth a = c->web->client_auth;
  if (a != W4_REQUIRE_ANY_CLIENT_CERT && a != W4_REQUIRE_AND_VERIFY_CLIENT_CERT)
    return true;
  unsigned int n = 0;
  return c->tls &&
         gnutls_certificate_get_peers(static_cast<gnutls_session_t>(c->tls),
                                      &n) &&
         n > 0;
}

/* ---- Requests. */

/* Answers a GET or HEAD of an authorized client: /metrics, the page's
 * files and its JSON; anything else 404. HEAD renders nothing. */
static MHD_Result w4_http_route(w4_http_srv *srv, MHD_Connection *conn,
                                const std::string &path, bool head) {
  w4_http *h = srv->h;
  const char *text = "text/plain; charset=utf-8";
  if (path == "/metrics" && h->render)
    return w4_http_queue(conn, MHD_HTTP_OK,
                         head ? nullptr : w4_http_metrics_body(srv),
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
  if (path.compare(0, 5, "/api/") != 0 || !w4_page_api_known(path))
    return w4_http_answer(conn, MHD_HTTP_NOT_FOUND, "not found\n", text);
  const char *json = "application/json; charset=utf-8";
  if (head)
    return w4_http_queue(conn, MHD_HTTP_OK, nullptr, json);
  if (srv->api_bodies >= W4_HTTP_MAX_API_BODIES)
    return w4_http_answer(conn, MHD_HTTP_SERVICE_UNAVAILABLE,
                          "too many answers in progress\n", text);
  std::map<std::string, std::string> args;
  MHD_get_connection_values(conn, MHD_GET_ARGUMENT_KIND, w4_http_arg, &args);
  std::string body;
  if (!h->api(h->api_opaque, path, args, &body))
    return w4_http_answer(conn, MHD_HTTP_NOT_FOUND, "not found\n", text);
  w4_http_body *b = new w4_http_body();
  b->text = std::make_shared<const std::string>(std::move(body));
  b->srv = srv;
  b->api = true;
  srv->api_bodies++;
  return w4_http_queue(conn, MHD_HTTP_OK, b, json);
}

/* libmicrohttpd's request handler, on the server's thread: a request whose
 * header has arrived. Checks the client certificate and the password when
 * the web configuration asks for them, then answers; methods other than
 * GET and HEAD get 405. */
static MHD_Result w4_http_handle(void *cls, MHD_Connection *conn,
                                 const char *url, const char *method,
                                 const char *version, const char *upload_data,
                                 size_t *upload_data_size, void **con_cls) {
  (void)version;
  (void)upload_data;
  w4_http_srv *srv = static_cast<w4_http_srv *>(cls);
  const MHD_ConnectionInfo *ci =
      MHD_get_connection_info(conn, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  w4_http_conn *c =
      ci ? static_cast<w4_http_conn *>(ci->socket_context) : nullptr;
  if (!*con_cls) {
    *con_cls = srv; /* the header is in: the answer's phase starts */
    if (c) {
      c->answering = true;
      c->since_ms = w4_http_now_ms();
    }
  }
  w4_http_web_reload(srv);
  if (!w4_http_cert_ok(c))
    return MHD_NO;
  w4_webconfig_ptr web = srv->h->web;
  if (web && !web->users.empty() && !w4_http_authorized(srv, conn, *web)) {
    *upload_data_size = 0;
    return w4_http_ask_auth(conn);
  }
  bool head = strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  if (!head && strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
    *upload_data_size = 0;
    return w4_http_answer(conn, MHD_HTTP_METHOD_NOT_ALLOWED,
                          "only GET and HEAD\n", "text/plain; charset=utf-8");
  }
  return w4_http_route(srv, conn, url, head);
}

/* ---- Connections: their phases, deadlines and eviction. */

/* Notes a connection's start (its TLS set up as the configuration in force
 * says) and its close. On the server's thread. */
static void w4_http_notify(void *cls, MHD_Connection *conn,
                           void **socket_context,
                           enum MHD_ConnectionNotificationCode code) {
  w4_http_srv *srv = static_cast<w4_http_srv *>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    w4_http_web_reload(srv);
    w4_http_conn *c = new w4_http_conn();
    c->srv = srv;
    c->since_ms = w4_http_now_ms();
    c->web = srv->h->web;
    const MHD_ConnectionInfo *ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD);
    c->fd = ci ? ci->connect_fd : -1;
    if (c->web && c->web->tls)
      w4_http_tls_setup(c, conn);
    srv->conns.insert(c);
    *socket_context = c;
    return;
  }
  w4_http_conn *c = static_cast<w4_http_conn *>(*socket_context);
  if (!c)
    return;
  if (c->tls) {
    std::lock_guard<std::mutex> guard(w4_http_tls_lock);
    w4_http_tls_conns.erase(c->tls);
  }
  if (c->cut)
    srv->cut_count--;
  srv->conns.erase(c);
  delete c;
  *socket_context = nullptr;
}

/* Notes the end of an answer: the connection waits for its next request's
 * header from now. On the server's thread. */
static void w4_http_completed(void *cls, MHD_Connection *conn, void **con_cls,
                              enum MHD_RequestTerminationCode code) {
  (void)cls;
  (void)con_cls;
  (void)code;
  const MHD_ConnectionInfo *ci =
      MHD_get_connection_info(conn, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  w4_http_conn *c =
      ci ? static_cast<w4_http_conn *>(ci->socket_context) : nullptr;
  if (c) {
    c->answering = false;
    c->since_ms = w4_http_now_ms();
  }
}

/* Shuts a connection's socket down: libmicrohttpd sees its end at once and
 * closes it. The connection is still open in libmicrohttpd (its close
 * would have removed it from conns on this same thread), so its socket is
 * still its own. */
static void w4_http_cut(w4_http_srv *srv, w4_http_conn *c) {
  if (c->cut || c->fd < 0)
    return;
  shutdown(c->fd, SHUT_RDWR);
  c->cut = true;
  srv->cut_count++;
}

/* Cuts the connections past their deadline and, when the connections near
 * their limit, the ones that have waited longest for a request's header, so
 * that a new one always gets in. On the server's thread, between two runs
 * of libmicrohttpd. */
static void w4_http_sweep(w4_http_srv *srv) {
  int64_t now = w4_http_now_ms();
  bool crowded = srv->conns.size() - srv->cut_count > srv->evict_at;
  if (now < srv->next_sweep_ms && !crowded)
    return;
  srv->next_sweep_ms = now + 250;
  std::vector<w4_http_conn *> waiting;
  for (w4_http_conn *c : srv->conns) {
    int64_t limit = 1000LL * (c->answering ? W4_HTTP_ANSWER_DEADLINE_S
                                           : W4_HTTP_HEADER_DEADLINE_S);
    if (!c->cut && now - c->since_ms > limit)
      w4_http_cut(srv, c);
    else if (!c->cut && !c->answering && crowded)
      waiting.push_back(c);
  }
  size_t open = srv->conns.size() - srv->cut_count;
  if (open <= srv->evict_at)
    return;
  size_t extra = std::min(open - srv->evict_at, waiting.size());
  std::partial_sort(waiting.begin(), waiting.begin() + extra, waiting.end(),
                    [](const w4_http_conn *a, const w4_http_conn *b) {
                      return a->since_ms < b->since_ms;
                    });
  for (size_t i = 0; i < extra; i++)
    w4_http_cut(srv, waiting[i]);
}

/* The server's thread: waits on libmicrohttpd's epoll descriptor (and the
 * stop's wake-up) no longer than libmicrohttpd asks, runs it, and sweeps,
 * until stopped. */
static void w4_http_loop(w4_http_srv *srv) {
  MHD_Daemon *d = srv->h->daemon;
  const MHD_DaemonInfo *di = MHD_get_daemon_info(d, MHD_DAEMON_INFO_EPOLL_FD);
  int epfd = di ? di->epoll_fd : -1;
  while (!srv->stopping.load()) {
    MHD_UNSIGNED_LONG_LONG to = 0;
    int ms = 250;
    if (MHD_get_timeout(d, &to) == MHD_YES && to < static_cast<unsigned>(ms))
      ms = static_cast<int>(to);
    struct pollfd p[2] = {{epfd, POLLIN, 0}, {srv->wake_fd, POLLIN, 0}};
    poll(p, 2, ms);
    MHD_run(d);
    w4_http_sweep(srv);
  }
}

/* ---- Start and stop. */

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
  /* A long queue: a burst of connections waits there instead of being
   * dropped and retried by the clients' kernels a second later. */
  if (bind(fd, res->ai_addr, res->ai_addrlen) != 0 || listen(fd, 4096) != 0) {
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

long w4_http_raise_nofile(void) {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
    return -1;
  rlim_t want = rl.rlim_max == RLIM_INFINITY ? 65536 : rl.rlim_max;
  if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= want)
    return static_cast<long>(rl.rlim_cur == RLIM_INFINITY ? want : rl.rlim_cur);
  rl.rlim_cur = want;
  if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
    getrlimit(RLIMIT_NOFILE, &rl);
  return static_cast<long>(rl.rlim_cur);
}

/* Sizes the connection limit to the open files allowed: some are kept for
 * the rest of the process (its clients of the cluster, files). */
static void w4_http_size(w4_http_srv *srv) {
  struct rlimit rl;
  size_t files = 1024;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0)
    files = rl.rlim_cur == RLIM_INFINITY ? W4_HTTP_MAX_CONNECTIONS + 256
                                         : static_cast<size_t>(rl.rlim_cur);
  size_t spare = files > 512 ? 256 : files / 2;
  srv->max_conns = std::min<size_t>(W4_HTTP_MAX_CONNECTIONS, files - spare);
  srv->evict_at = srv->max_conns - std::max<size_t>(8, srv->max_conns / 16);
}

/* Starts libmicrohttpd on the bound socket, in its epoll mode without a
 * thread of its own; TLS when the configuration says so. */
static MHD_Daemon *w4_http_daemon(w4_http *h) {
  w4_http_srv *srv = h->srv;
  bool tls = h->tls;
  unsigned int flags = MHD_USE_EPOLL | (tls ? MHD_USE_TLS : 0);
  MHD_OptionItem tls_opts[] = {
      {MHD_OPTION_HTTPS_CERT_CALLBACK, 0,
       reinterpret_cast<void *>(&w4_http_tls_cert)},
      {MHD_OPTION_HTTPS_PRIORITIES, 0,
       const_cast<char *>("NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2")},
      {MHD_OPTION_END, 0, nullptr}};
  MHD_OptionItem none[] = {{MHD_OPTION_END, 0, nullptr}};
  return MHD_start_daemon(
      flags, 0, nullptr, nullptr, w4_http_handle, srv, MHD_OPTION_LISTEN_SOCKET,
      h->fd, MHD_OPTION_CONNECTION_TIMEOUT, W4_HTTP_IDLE_TIMEOUT_S,
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned int>(srv->max_conns),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(32 * 1024),
      MHD_OPTION_NOTIFY_CONNECTION, w4_http_notify, srv,
      MHD_OPTION_NOTIFY_COMPLETED, w4_http_completed, srv, MHD_OPTION_ARRAY,
      tls ? tls_opts : none, MHD_OPTION_END);
}

bool w4_http_start(w4_http *h, const std::string &addr, int port,
                   w4_http_render_fn render, void *opaque, std::string *err) {
  h->render = render;
  h->opaque = opaque;
  h->fd = w4_http_listen(addr, port, err);
  if (h->fd < 0)
    return false;
  h->port = w4_http_bound_port(h->fd);
  h->tls = h->web && h->web->tls;
  h->srv = new w4_http_srv();
  h->srv->h = h;
  h->srv->auth_tokens_ms = w4_http_now_ms();
  w4_http_size(h->srv);
  h->srv->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  h->daemon = w4_http_daemon(h);
  if (!h->daemon || h->srv->wake_fd < 0) {
    *err = "cannot start the HTTP server";
    w4_http_stop(h);
    return false;
  }
  h->srv->thread = std::thread(w4_http_loop, h->srv);
  return true;
}

std::string w4_http_base_url(const w4_http &h, const std::string &addr) {
  bool v6 = addr.find(':') != std::string::npos;
  std::string host = addr.empty() ? "0.0.0.0" : addr;
  std::string scheme = h.tls ? "https://" : "http://";
  return scheme + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(h.port);
}

void w4_http_stop(w4_http *h) {
  if (h->srv && h->srv->thread.joinable()) {
    h->srv->stopping.store(true);
    uint64_t one = 1;
    ssize_t n = write(h->srv->wake_fd, &one, sizeof(one));
    (void)n;
    h->srv->thread.join();
  }
  if (h->daemon) {
    /* Closes every connection (their bodies freed here) and the listening
     * socket. */
    MHD_stop_daemon(h->daemon);
    h->daemon = nullptr;
    h->fd = -1;
  }
  if (h->fd >= 0)
    close(h->fd);
  h->fd = -1;
  if (h->srv) {
    if (h->srv->wake_fd >= 0)
      close(h->srv->wake_fd);
    delete h->srv;
    h->srv = nullptr;
  }
}
