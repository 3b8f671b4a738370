/* w4metrics-exporter's HTTP server: TLS, basic authentication and client
 * certificates by a web configuration file (certificates made here with
 * the openssl command, requests made with curl, a real Prometheus server
 * scraping through both), the file read again when it changes, bad files at
 * start; and a scrape that 1,100 idle or slow-header connections do not
 * block, those connections cut once their header is overdue, and the
 * oldest idle connections closed near the connection limit so that a
 * scrape gets in. */
#include "testlib.h"

#include <arpa/inet.h>
#include <atomic>
#include <crypt.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const char *const MON_TOPIC = "_quarndale-monitoring";

using w4test::child;
using w4test::child_guard;
using w4test::exporter_start;
using w4test::mono_ms;
using w4test::read_file;
using w4test::run_command;

/* A folder of the test's own, removed on leaving scope. */
struct temp_dir {
  std::string path;
  temp_dir() {
    std::string tmpl = std::string(P_tmpdir) + "/w4web-XXXXXX";
    if (mkdtemp(&tmpl[0]))
      path = tmpl;
  }
  ~temp_dir() {
    int st;
    if (!path.empty())
      run_command("rm -rf '" + path + "'", &st);
  }
};

/* Runs a shell command in dir; true when it succeeded. */
bool sh(const std::string &dir, const std::string &cmd) {
  int st;
  std::string out = run_command("cd '" + dir + "' && " + cmd + " 2>&1", &st);
  EXPECT_EQ(0, st) << cmd << "\n" << out;
  return st == 0;
}

/* A key and a certificate signed by the CA ca (self-signed when ca is
 * empty) named name.key and name.pem in dir, with the extensions ext. */
bool make_cert(const std::string &dir, const std::string &name,
               const std::string &ca, const std::string &ext) {
  std::ofstream(dir + "/" + name + ".ext") << ext << "\n";
  std::string key = "openssl req -newkey ec -pkeyopt "
                    "ec_paramgen_curve:prime256v1 -nodes -keyout " +
                    name + ".key -subj /CN=" + name;
  if (ca.empty())
    return sh(dir, key + " -x509 -days 2 -out " + name + ".pem -addext '" +
                       ext + "'");
  return sh(dir, key + " -out " + name + ".csr") &&
         sh(dir, "openssl x509 -req -in " + name + ".csr -CA " + ca +
                     ".pem -CAkey " + ca + ".key -set_serial " +
                     std::to_string(mono_ms()) + " -days 2 -out " + name +
                     ".pem -extfile " + name + ".ext");
}

/* A CA, a server certificate for 127.0.0.1 and a client certificate that
 * it signed, and a client certificate of another CA ("rogue"). */
bool make_pki(const std::string &dir) {
  return make_cert(dir, "ca", "", "basicConstraints=critical,CA:TRUE") &&
         make_cert(
             dir, "server", "ca",
             "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth") &&
         make_cert(dir, "client", "ca", "extendedKeyUsage=clientAuth") &&
         make_cert(dir, "other-ca", "", "basicConstraints=critical,CA:TRUE") &&
         make_cert(dir, "rogue", "other-ca", "extendedKeyUsage=clientAuth");
}

/* A bcrypt hash ($2y$, cost 5) of password, made with the system's
 * crypt. */
std::string bcrypt(const std::string &password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!crypt_gensalt_rn("$2y$", 5, nullptr, 0, salt, sizeof(salt)))
    return "";
  struct crypt_data *cd = new struct crypt_data();
  const char *h = crypt_r(password.c_str(), salt, cd);
  std::string out = h && h[0] == '$' ? h : "";
  delete cd;
  return out;
}

/* An answer as curl got it: the status (0 when none came), headers and
 * body. */
struct reply {
  int code = 0;
  std::string headers, body;
};

/* Runs curl with args (the URL among them), 10 s at most. */
reply curl(const std::string &args) {
  std::string hdr = w4test::temp_file(), body = w4test::temp_file();
  int st;
  std::string code =
      run_command("curl -s --max-time 10 -o '" + body + "' -D '" + hdr +
                      "' -w '%{http_code}' " + args,
                  &st);
  reply r;
  r.code = atoi(code.c_str());
  r.headers = read_file(hdr);
  r.body = read_file(body);
  unlink(hdr.c_str());
  unlink(body.c_str());
  return r;
}

/* Writes the web configuration file (through a rename, as an operator's
 * tool would, so that the server never reads half of it). */
void write_config(const std::string &path, const std::string &text) {
  std::ofstream(path + ".new") << text;
  rename((path + ".new").c_str(), path.c_str());
}

/* The mock cluster and an exporter of the test, stopped on leaving
 * scope. */
struct served {
  w4test::mock_cluster *mc = nullptr;
  child exporter;
  int port = 0;
  ~served() {
    if (exporter.pid > 0)
      w4test::stop_child(&exporter);
    w4test::remove_child_files(exporter);
    if (mc)
      w4test::mock_cluster_stop(mc);
  }
};

/* Starts a mock cluster and an exporter reading it with more args. */
bool serve(served *s, const std::vector<std::string> &args) {
  s->mc = w4test::mock_cluster_start();
  if (!s->mc)
    return false;
  rd_kafka_mock_topic_create(s->mc->mcluster, MON_TOPIC, 1, 1);
  std::vector<std::string> all = {"-b", s->mc->bootstraps, "--no-state"};
  all.insert(all.end(), args.begin(), args.end());
  s->port = exporter_start(&s->exporter, all);
  return s->port > 0;
}

TEST(ExporterWebConfig, TlsAndBasicAuthGuardMetricsPageAndApi) {
  temp_dir d;
  ASSERT_FALSE(d.path.empty());
  ASSERT_TRUE(make_pki(d.path));
  std::string alice = bcrypt("wonderland"), bob = bcrypt("builder");
  ASSERT_EQ(0u, alice.find("$2y$05$"));
  std::string cfg = d.path + "/web.yml";
  /* Relative names are the configuration file's folder's. */
  write_config(cfg, "tls_server_config:\n"
                    "  cert_file: server.pem\n"
                    "  key_file: server.key\n"
                    "basic_auth_users:\n"
                    "  alice: " +
                        alice + "\n");
  served s;
  ASSERT_TRUE(serve(&s, {"--web.config.file", cfg}))
      << read_file(s.exporter.err_path);
  std::string err = read_file(s.exporter.err_path);
  EXPECT_EQ(1, w4test::count_lines(err, "serving https://127.0.0.1:")) << err;
  std::string base = "https://127.0.0.1:" + std::to_string(s.port);
  std::string ca = "--cacert '" + d.path + "/ca.pem' ";

  reply r = curl(ca + "-u alice:wonderland " + base + "/metrics");
  EXPECT_EQ(200, r.code);
  EXPECT_NE(std::string::npos, r.body.find("w4metrics_bad_records_total"));
  for (const char *path : {"/", "/page.js", "/api/streams", "/api/history"})
    EXPECT_EQ(200, curl(ca + "-u alice:wonderland " + base + path).code)
        << path;
  /* A wrong password, an unknown user, none: 401 asking for basic
   * authentication, and nothing of the data. */
  for (const std::string &who :
       {std::string("-u alice:queen "), std::string("-u bob:builder "),
        std::string()}) {
    for (const char *path : {"/metrics", "/", "/api/clients"}) {
      r = curl(ca + who + base + path);
      EXPECT_EQ(401, r.code) << who << path;
      EXPECT_NE(std::string::npos,
                r.headers.find("WWW-Authenticate: Basic realm=\"w4metrics\""))
          << r.headers;
      EXPECT_EQ(std::string::npos, r.body.find("w4metrics_")) << r.body;
    }
  }
  /* Plain HTTP on the TLS port, and TLS without trusting the CA: no
   * answer. */
  EXPECT_EQ(
      0, curl("http://127.0.0.1:" + std::to_string(s.port) + "/metrics").code);
  EXPECT_EQ(0, curl("-u alice:wonderland " + base + "/metrics").code);

  /* HEAD: the headers of /metrics, no body (curl writes the headers in
   * the body's file too). */
  r = curl(ca + "-u alice:wonderland --head " + base + "/metrics");
  EXPECT_EQ(200, r.code);
  EXPECT_NE(std::string::npos, r.headers.find("text/plain; version=0.0.4"));
  EXPECT_EQ(r.headers, r.body);

  /* The file is read again when it changes: bob replaces alice. */
  write_config(cfg, "tls_server_config:\n"
                    "  cert_file: server.pem\n"
                    "  key_file: server.key\n"
                    "basic_auth_users:\n"
                    "  bob: " +
                        bob + "\n");
  int64_t end = mono_ms() + 10000;
  while (curl(ca + "-u bob:builder " + base + "/metrics").code != 200 &&
         mono_ms() < end)
    w4test::sleep_ms(200);
  EXPECT_EQ(200, curl(ca + "-u bob:builder " + base + "/metrics").code);
  EXPECT_EQ(401, curl(ca + "-u alice:wonderland " + base + "/metrics").code);
  /* A broken file keeps the configuration in force, and says so. */
  write_config(cfg, "tls_server_config: [\n");
  end = mono_ms() + 10000;
  do {
    EXPECT_EQ(200, curl(ca + "-u bob:builder " + base + "/metrics").code);
    err = read_file(s.exporter.err_path);
  } while (err.find("kept the previous one") == std::string::npos &&
           mono_ms() < end);
  EXPECT_EQ(1, w4test::count_lines(err, "kept the previous one: not YAML"))
      << err;
  EXPECT_EQ(401, curl(ca + base + "/metrics").code);
}

TEST(ExporterWebConfig, ClientCertificatesAsClientAuthTypeSays) {
  temp_dir d;
  ASSERT_FALSE(d.path.empty());
  ASSERT_TRUE(make_pki(d.path));
  std::string cfg = d.path + "/web.yml";
  auto config = [&](const std::string &type) {
    write_config(cfg, "tls_server_config:\n"
                      "  cert_file: server.pem\n"
                      "  key_file: server.key\n"
                      "  client_ca_file: ca.pem\n"
                      "  client_auth_type: " +
                          type + "\n");
  };
  config("RequireAndVerifyClientCert");
  served s;
  ASSERT_TRUE(serve(&s, {"--web.config.file", cfg}))
      << read_file(s.exporter.err_path);
  std::string url = "https://127.0.0.1:" + std::to_string(s.port) + "/metrics";
  std::string ca = "--cacert '" + d.path + "/ca.pem' ";
  std::string good = ca + "--cert '" + d.path + "/client.pem' --key '" +
                     d.path + "/client.key' ";
  std::string rogue = ca + "--cert '" + d.path + "/rogue.pem' --key '" +
                      d.path + "/rogue.key' ";
  EXPECT_EQ(200, curl(good + url).code);
  EXPECT_EQ(0, curl(ca + url).code);
  EXPECT_EQ(0, curl(rogue + url).code);

  /* Read again: a certificate is checked when given, none is fine. */
  config("VerifyClientCertIfGiven");
  int64_t end = mono_ms() + 10000;
  while (curl(ca + url).code != 200 && mono_ms() < end)
    w4test::sleep_ms(200);
  EXPECT_EQ(200, curl(ca + url).code);
  EXPECT_EQ(200, curl(good + url).code);
  EXPECT_EQ(0, curl(rogue + url).code);

  /* Any certificate, unchecked, but one there must be. */
  config("RequireAnyClientCert");
  end = mono_ms() + 10000;
  while (curl(ca + url).code != 0 && mono_ms() < end)
    w4test::sleep_ms(200);
  EXPECT_EQ(0, curl(ca + url).code);
  EXPECT_EQ(200, curl(rogue + url).code);
}

TEST(ExporterWebConfig, PrometheusScrapesThroughTlsAndBasicAuth) {
  if (w4test::prometheus_path().empty())
    GTEST_SKIP() << "no prometheus binary";
  temp_dir d;
  ASSERT_FALSE(d.path.empty());
  ASSERT_TRUE(make_pki(d.path));
  std::string cfg = d.path + "/web.yml";
  write_config(cfg, "tls_server_config:\n"
                    "  cert_file: " +
                        d.path +
                        "/server.pem\n"
                        "  key_file: " +
                        d.path +
                        "/server.key\n"
                        "basic_auth_users:\n"
                        "  prometheus: " +
                        bcrypt("s3cret") + "\n");
  served s;
  ASSERT_TRUE(serve(&s, {"--web.config.file", cfg}))
      << read_file(s.exporter.err_path);
  w4test::prometheus_server p;
  w4test::prometheus_guard pg(&p);
  /* prometheus_start waits for up == 1: the scrape went through. */
  ASSERT_TRUE(w4test::prometheus_start(&p, s.port, "",
                                       "    scheme: https\n"
                                       "    tls_config:\n"
                                       "      ca_file: " +
                                           d.path +
                                           "/ca.pem\n"
                                           "    basic_auth:\n"
                                           "      username: prometheus\n"
                                           "      password: s3cret\n"))
      << read_file(p.proc.err_path);
  EXPECT_EQ(0, w4test::prometheus_wait(p, "w4metrics_bad_records_total", 0));
}

/* Runs the exporter with args to its end, 30 s at most; its exit code and
 * standard error. */
int run_exporter(const std::vector<std::string> &args, std::string *err) {
  std::vector<std::string> argv = {std::string(W4_TOOLS_DIR) +
                                   "/w4metrics-exporter"};
  argv.insert(argv.end(), args.begin(), args.end());
  child c = w4test::spawn(argv);
  int code = w4test::wait_child(&c, 30000);
  *err = read_file(c.err_path);
  w4test::remove_child_files(c);
  return code;
}

TEST(ExporterWebConfig, BadFilesAtStartAreExit2WithTheReason) {
  temp_dir d;
  ASSERT_FALSE(d.path.empty());
  ASSERT_TRUE(make_pki(d.path));
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  std::string cfg = d.path + "/web.yml";
  std::string tls = "tls_server_config:\n  cert_file: server.pem\n";
  struct bad {
    std::string text, says;
  } cases[] = {
      {"tls_server_config: [\n", "not YAML"},
      {"tls_server: {}\n", "tls_server: not supported"},
      {tls + "  key_file: client.key\n", "not the key of"},
      {tls + "  key_file: none.key\n", "none.key: No such file"},
      {tls, "needs cert_file and key_file"},
      {tls + "  key_file: server.key\n  client_auth_type: Sometimes\n",
       "unknown value \"Sometimes\""},
      {tls + "  key_file: server.key\n  client_auth_type: "
             "RequireAndVerifyClientCert\n",
       "needs client_ca_file"},
      {tls + "  key_file: server.key\n  client_ca_file: ca.pem\n",
       "client_auth_type is NoClientCert"},
      {tls + "  key_file: server.key\n  min_version: TLS13\n",
       "min_version: not supported"},
      {"basic_auth_users:\n  alice: wonderland\n", "not a bcrypt hash"},
      {"basic_auth_users:\n  alice: " + bcrypt("a") +
           "\n  alice: " + bcrypt("b") + "\n",
       "alice given twice"},
  };
  std::string err;
  for (const bad &b : cases) {
    write_config(cfg, b.text);
    EXPECT_EQ(2, run_exporter({"-b", mc->bootstraps, "--listen", "127.0.0.1:0",
                               "--web.config.file", cfg},
                              &err))
        << b.text;
    EXPECT_EQ(1, w4test::count_lines(err, b.says)) << b.text << err;
  }
  EXPECT_EQ(2, run_exporter({"-b", mc->bootstraps, "--web.config.file",
                             d.path + "/missing.yml"},
                            &err));
  EXPECT_EQ(1, w4test::count_lines(err, "missing.yml: No such file")) << err;
  w4test::mock_cluster_stop(mc);
}

/* A TCP connection to 127.0.0.1:port, non-blocking once connected; -1
 * when it cannot be made. */
int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

/* Whether the server has closed the connection: a read sees its end or a
 * reset. */
bool closed_by_server(int fd) {
  char buf[256];
  ssize_t n = recv(fd, buf, sizeof(buf), 0);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

/* Sends text on a new connection and reads until the server closes it,
 * 5 s at most; what it read. */
std::string raw_exchange(int port, const std::string &text) {
  int fd = connect_to(port);
  if (fd < 0)
    return "";
  send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  std::string got;
  char buf[4096];
  for (int64_t end = mono_ms() + 5000; mono_ms() < end;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0)
      continue;
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0)
      break;
    got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return got;
}

TEST(ExporterServer, ScrapeGetsThroughThousandSlowConnections) {
  /* 1,100 sockets and curl's: above the usual soft limit of 1024. */
  struct rlimit rl;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &rl));
  if (rl.rlim_cur < 2048 && rl.rlim_max >= 2048) {
    rl.rlim_cur = 2048;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &rl));
  }
  if (rl.rlim_cur < 1200)
    GTEST_SKIP() << "the limit of open files is below 1200";
  served s;
  ASSERT_TRUE(serve(&s, {})) << read_file(s.exporter.err_path);
  std::string url = "http://127.0.0.1:" + std::to_string(s.port) + "/metrics";

  const int N = 1100;
  const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
  std::vector<int> fds;
  int64_t opened = mono_ms();
  for (int i = 0; i < N; i++) {
    int fd = connect_to(s.port);
    ASSERT_GE(fd, 0) << "connection " << i << ": " << strerror(errno);
    fds.push_back(fd);
  }
  /* Every other connection sends its header one byte every 2 s, never
   * finishing it; the others stay idle. */
  std::atomic<bool> stop{false};
  std::thread drip([&] {
    for (size_t at = 0; !stop.load() && at < request.size(); at++) {
      for (size_t i = 1; i < fds.size(); i += 2)
        send(fds[i], request.data() + at, 1, MSG_NOSIGNAL);
      for (int t = 0; t < 20 && !stop.load(); t++)
        w4test::sleep_ms(100);
    }
  });
  struct drip_guard {
    std::atomic<bool> *stop;
    std::thread *t;
    ~drip_guard() {
      stop->store(true);
      t->join();
    }
  } dg{&stop, &drip};
  int64_t open_ms = mono_ms() - opened;

  int64_t t0 = mono_ms();
  reply r = curl("--max-time 5 " + url);
  int64_t took = mono_ms() - t0;
  EXPECT_EQ(200, r.code) << "after " << took << " ms";
  EXPECT_NE(std::string::npos, r.body.find("w4metrics_bad_records_total"));
  EXPECT_LT(took, 5000);
  printf("1100 connections opened in %lld ms; scrape answered in %lld ms\n",
         static_cast<long long>(open_ms), static_cast<long long>(took));

  /* HEAD: headers only, nothing after them on the wire. */
  std::string head = raw_exchange(s.port, "HEAD /metrics HTTP/1.1\r\nHost: "
                                          "x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(8u, head.find(" 200 OK\r\n")) << head;
  EXPECT_EQ(head.size() - 4, head.find("\r\n\r\n")) << head;

  /* The header deadline cuts them all, the dripping ones included, about
   * 10 s after they opened, and none much before. */
  size_t cut = 0;
  std::vector<bool> done(fds.size(), false);
  int64_t first_cut = 0;
  while (cut < fds.size() && mono_ms() - opened < 25000) {
    for (size_t i = 0; i < fds.size(); i++)
      if (!done[i] && closed_by_server(fds[i])) {
        done[i] = true;
        cut++;
        if (!first_cut)
          first_cut = mono_ms() - opened;
      }
    w4test::sleep_ms(100);
  }
  int64_t all_cut = mono_ms() - opened;
  EXPECT_EQ(fds.size(), cut);
  EXPECT_GE(first_cut, 9000);
  EXPECT_LT(all_cut, 16000);
  printf("first cut after %lld ms, all %zu after %lld ms\n",
         static_cast<long long>(first_cut), cut,
         static_cast<long long>(all_cut));
  for (int fd : fds)
    close(fd);
  EXPECT_EQ(200, curl(url).code);
}

TEST(ExporterServer, NearTheLimitTheOldestIdleConnectionsMakeRoom) {
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  /* 600 open files at most: the server takes 344 connections and starts
   * closing the oldest idle ones beyond 323. */
  child c = w4test::spawn({"/usr/bin/prlimit", "--nofile=600:600",
                           std::string(W4_TOOLS_DIR) + "/w4metrics-exporter",
                           "--listen", "127.0.0.1:0", "-b", mc->bootstraps,
                           "--no-state"});
  child_guard guard(&c);
  int port = 0;
  const std::string mark = "serving http://127.0.0.1:";
  for (int64_t end = mono_ms() + 20000; !port && mono_ms() < end;
       w4test::sleep_ms(100)) {
    std::string err = read_file(c.err_path);
    size_t at = err.find(mark);
    if (at != std::string::npos)
      port = atoi(err.c_str() + at + mark.size());
  }
  ASSERT_GT(port, 0) << read_file(c.err_path);

  std::vector<int> fds;
  for (int i = 0; i < 500; i++) {
    int fd = connect_to(port);
    ASSERT_GE(fd, 0) << "connection " << i;
    fds.push_back(fd);
    /* Now and then, time for the server to take them in. */
    if (i % 50 == 49)
      w4test::sleep_ms(50);
  }
  int64_t t0 = mono_ms();
  reply r = curl("--max-time 5 http://127.0.0.1:" + std::to_string(port) +
                 "/metrics");
  EXPECT_EQ(200, r.code) << "after " << mono_ms() - t0 << " ms";
  /* The first ones were closed to make room, the last ones are open. */
  w4test::sleep_ms(300);
  int first_closed = 0, last_closed = 0;
  for (int i = 0; i < 100; i++) {
    first_closed += closed_by_server(fds[i]);
    last_closed += closed_by_server(fds[fds.size() - 1 - i]);
  }
  EXPECT_EQ(100, first_closed);
  EXPECT_EQ(0, last_closed);
  for (int fd : fds)
    close(fd);
  EXPECT_EQ(0, w4test::stop_child(&c));
  w4test::remove_child_files(c);
  w4test::mock_cluster_stop(mc);
}

} // namespace
