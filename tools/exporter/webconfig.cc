/* The web configuration file: YAML read with libyaml, TLS material with
 * GnuTLS, bcrypt hashes checked with crypt_r. */
#include "exporter/webconfig.h"

#include <cerrno>
#include <crypt.h>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <yaml.h>

/* The TLS material, freed with the configuration. */
static void w4_webconfig_free(w4_webconfig *c) {
  for (unsigned int i = 0; i < c->npcerts; i++)
    gnutls_pcert_deinit(&c->pcerts[i]);
  delete[] c->pcerts;
  if (c->key)
    gnutls_privkey_deinit(c->key);
  if (c->trust)
    gnutls_x509_trust_list_deinit(c->trust, 1);
  delete c;
}

const char *w4_client_auth_name(w4_client_auth a) {
  static const char *const names[] = {
      "NoClientCert", "RequestClientCert", "RequireAnyClientCert",
      "VerifyClientCertIfGiven", "RequireAndVerifyClientCert"};
  return names[a];
}

/* The stamp of a file as it is now; size -1 when it cannot be stat'ed. */
static w4_file_stamp w4_stamp(const std::string &path) {
  w4_file_stamp s;
  s.path = path;
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return s;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  return s;
}

bool w4_webconfig_changed(const w4_webconfig &cfg) {
  for (const w4_file_stamp &old : cfg.stamps) {
    w4_file_stamp now = w4_stamp(old.path);
    if (now.dev != old.dev || now.ino != old.ino || now.size != old.size ||
        now.mtime_ns != old.mtime_ns)
      return true;
  }
  return false;
}

/* Reads a whole file into *out; false with the reason in *err. */
static bool w4_read_whole(const std::string &path, std::string *out,
                          std::string *err) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    *err = path + ": " + strerror(errno);
    return false;
  }
  char buf[8192];
  size_t n;
  out->clear();
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0 && out->size() < (1u << 22))
    out->append(buf, n);
  bool ok = !ferror(f) && out->size() < (1u << 22);
  fclose(f);
  if (!ok)
    *err = path + ": cannot be read (or larger than 4 MiB)";
  return ok;
}

/* A scalar node's text; false when the node is not a scalar. */
static bool w4_yaml_scalar(yaml_node_t *n, std::string *out) {
  if (!n || n->type != YAML_SCALAR_NODE)
    return false;
  out->assign(reinterpret_cast<char *>(n->data.scalar.value),
              n->data.scalar.length);
  return true;
}

/* Whether a node is YAML's null (an empty value, ~ or null, unquoted). */
static bool w4_yaml_null(yaml_node_t *n) {
  std::string s;
  if (!w4_yaml_scalar(n, &s) || n->data.scalar.style != YAML_PLAIN_SCALAR_STYLE)
    return false;
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

/* The pairs of a mapping node as (key text, value node), keys unique; false
 * with *err when the node is not a mapping of scalar keys. */
static bool
w4_yaml_pairs(yaml_document_t *doc, yaml_node_t *n, const std::string &where,
              std::vector<std::pair<std::string, yaml_node_t *>> *out,
              std::string *err) {
  out->clear();
  if (w4_yaml_null(n))
    return true;
  if (!n || n->type != YAML_MAPPING_NODE) {
    *err = where + " must be a mapping";
    return false;
  }
  for (yaml_node_pair_t *p = n->data.mapping.pairs.start;
       p < n->data.mapping.pairs.top; p++) {
    std::string key;
    if (!w4_yaml_scalar(yaml_document_get_node(doc, p->key), &key)) {
      *err = where + ": a key that is not a string";
      return false;
    }
    for (const auto &seen : *out)
      if (seen.first == key) {
        *err = where + ": " + key + " given twice";
        return false;
      }
    out->push_back({key, yaml_document_get_node(doc, p->value)});
  }
  return true;
}

/* A file name relative to the configuration file's folder. */
static std::string w4_resolve(const std::string &cfg_path,
                              const std::string &name) {
  if (name.empty() || name[0] == '/')
    return name;
  size_t slash = cfg_path.rfind('/');
  return slash == std::string::npos ? name
                                    : cfg_path.substr(0, slash + 1) + name;
}

/* Reads tls_server_config's keys into *c; false with *err. */
static bool w4_parse_tls(yaml_document_t *doc, yaml_node_t *n, w4_webconfig *c,
                         std::string *err) {
  std::vector<std::pair<std::string, yaml_node_t *>> pairs;
  if (!w4_yaml_pairs(doc, n, "tls_server_config", &pairs, err))
    return false;
  if (pairs.empty())
    return true;
  c->tls = true;
  std::string auth = "NoClientCert";
  for (const auto &kv : pairs) {
    std::string v;
    if (!w4_yaml_scalar(kv.second, &v)) {
      *err = "tls_server_config." + kv.first + " must be a string";
      return false;
    }
    if (kv.first == "cert_file")
      c->cert_file = w4_resolve(c->path, v);
    else if (kv.first == "key_file")
      c->key_file = w4_resolve(c->path, v);
    else if (kv.first == "client_ca_file")
      c->client_ca_file = w4_resolve(c->path, v);
    else if (kv.first == "client_auth_type")
      auth = v.empty() ? "NoClientCert" : v;
    else {
      *err = "tls_server_config." + kv.first +
             ": not supported (cert_file, key_file, client_ca_file and "
             "client_auth_type are; TLS 1.2 and 1.3 are accepted)";
      return false;
    }
  }
  bool known = false;
  for (int a = W4_NO_CLIENT_CERT; a <= W4_REQUIRE_AND_VERIFY_CLIENT_CERT; a++)
    if (auth == w4_client_auth_name(static_cast<w4_client_auth>(a))) {
      c->client_auth = static_cast<w4_client_auth>(a);
      known = true;
    }
  if (!known) {
    *err = "tls_server_config.client_auth_type: unknown value \"" + auth + "\"";
    return false;
  }
  return true;
}

/* Reads basic_auth_users into *c, checking that each value is a bcrypt
 * hash that crypt accepts; false with *err. */
static bool w4_parse_users(yaml_document_t *doc, yaml_node_t *n,
                           w4_webconfig *c, std::string *err) {
  std::vector<std::pair<std::string, yaml_node_t *>> pairs;
  if (!w4_yaml_pairs(doc, n, "basic_auth_users", &pairs, err))
    return false;
  struct crypt_data *cd = new struct crypt_data();
  bool ok = true;
  for (const auto &kv : pairs) {
    std::string hash;
    const char *r = nullptr;
    bool bcrypt =
        w4_yaml_scalar(kv.second, &hash) && hash.size() > 7 &&
        (hash.compare(0, 4, "$2a$") == 0 || hash.compare(0, 4, "$2b$") == 0 ||
         hash.compare(0, 4, "$2y$") == 0);
    if (bcrypt)
      r = crypt_r("", hash.c_str(), cd);
    if (kv.first.empty() || kv.first.find(':') != std::string::npos) {
      *err = "basic_auth_users: \"" + kv.first + "\" is not a user name";
      ok = false;
      break;
    }
    if (!r || r[0] == '*' || strlen(r) != hash.size()) {
      *err = "basic_auth_users." + kv.first +
             ": not a bcrypt hash ($2y$, "
             "$2b$ or $2a$)";
      ok = false;
      break;
    }
    c->users[kv.first] = hash;
  }
  delete cd;
  return ok;
}

/* Parses the YAML text of the file into *c (names only, nothing loaded);
 * false with *err. */
static bool w4_parse_yaml(const std::string &text, w4_webconfig *c,
                          std::string *err) {
  yaml_parser_t parser;
  yaml_document_t doc;
  yaml_parser_initialize(&parser);
  yaml_parser_set_input_string(
      &parser, reinterpret_cast<const unsigned char *>(text.data()),
      text.size());
  if (!yaml_parser_load(&parser, &doc)) {
    char at[64];
    snprintf(at, sizeof(at), " at line %zu column %zu",
             parser.problem_mark.line + 1, parser.problem_mark.column + 1);
    *err = std::string("not YAML: ") +
           (parser.problem ? parser.problem : "parse error") + at;
    yaml_parser_delete(&parser);
    return false;
  }
  bool ok = true;
  yaml_node_t *root = yaml_document_get_root_node(&doc);
  std::vector<std::pair<std::string, yaml_node_t *>> top;
  /* An empty file is a valid one: no TLS, no authentication. */
  if (root && !w4_yaml_pairs(&doc, root, "the file", &top, err))
    ok = false;
  for (size_t i = 0; ok && i < top.size(); i++) {
    if (top[i].first == "tls_server_config")
      ok = w4_parse_tls(&doc, top[i].second, c, err);
    else if (top[i].first == "basic_auth_users")
      ok = w4_parse_users(&doc, top[i].second, c, err);
    else {
      *err = top[i].first + ": not supported (tls_server_config and "
                            "basic_auth_users are)";
      ok = false;
    }
  }
  yaml_document_delete(&doc);
  yaml_parser_delete(&parser);
  return ok;
}

/* A GnuTLS error as text, after what failed. */
static std::string w4_tls_err(const std::string &what, int rc) {
  return what + ": " + gnutls_strerror(rc);
}

/* Loads the certificate chain and its key, checking that they belong
 * together; false with *err. */
static bool w4_load_cert(w4_webconfig *c, std::string *err) {
  std::string pem, kpem;
  if (!w4_read_whole(c->cert_file, &pem, err) ||
      !w4_read_whole(c->key_file, &kpem, err))
    return false;
  gnutls_datum_t d = {reinterpret_cast<unsigned char *>(&pem[0]),
                      static_cast<unsigned int>(pem.size())};
  unsigned int max = 16;
  c->pcerts = new gnutls_pcert_st[max];
  int rc = gnutls_pcert_list_import_x509_raw(c->pcerts, &max, &d,
                                             GNUTLS_X509_FMT_PEM, 0);
  if (rc < 0 || max == 0) {
    *err =
        w4_tls_err(c->cert_file, rc < 0 ? rc : GNUTLS_E_NO_CERTIFICATE_FOUND);
    return false;
  }
  c->npcerts = max;
  gnutls_datum_t kd = {reinterpret_cast<unsigned char *>(&kpem[0]),
                       static_cast<unsigned int>(kpem.size())};
  gnutls_privkey_init(&c->key);
  rc = gnutls_privkey_import_x509_raw(c->key, &kd, GNUTLS_X509_FMT_PEM, nullptr,
                                      0);
  if (rc < 0) {
    *err = w4_tls_err(c->key_file, rc);
    return false;
  }
  /* The key must be the certificate's: compare the public keys' ids. */
  gnutls_pubkey_t pub;
  gnutls_pubkey_init(&pub);
  unsigned char id1[64], id2[64];
  size_t n1 = sizeof(id1), n2 = sizeof(id2);
  bool same = gnutls_pubkey_import_privkey(pub, c->key, 0, 0) == 0 &&
              gnutls_pubkey_get_key_id(pub, 0, id1, &n1) == 0 &&
              gnutls_pubkey_get_key_id(c->pcerts[0].pubkey, 0, id2, &n2) == 0 &&
              n1 == n2 && memcmp(id1, id2, n1) == 0;
  gnutls_pubkey_deinit(pub);
  if (!same)
    *err = c->key_file + ": not the key of " + c->cert_file;
  return same;
}

/* Loads the client CAs; false with *err. */
static bool w4_load_cas(w4_webconfig *c, std::string *err) {
  std::string pem;
  if (!w4_read_whole(c->client_ca_file, &pem, err))
    return false;
  gnutls_x509_trust_list_init(&c->trust, 0);
  gnutls_datum_t d = {reinterpret_cast<unsigned char *>(&pem[0]),
                      static_cast<unsigned int>(pem.size())};
  int rc = gnutls_x509_trust_list_add_trust_mem(c->trust, &d, nullptr,
                                                GNUTLS_X509_FMT_PEM, 0, 0);
  if (rc <= 0) {
    *err = w4_tls_err(c->client_ca_file,
                      rc < 0 ? rc : GNUTLS_E_NO_CERTIFICATE_FOUND);
    return false;
  }
  return true;
}

/* Checks the TLS settings for consistency and loads their files; false
 * with *err. */
static bool w4_load_tls(w4_webconfig *c, std::string *err) {
  if (c->cert_file.empty() || c->key_file.empty()) {
    *err = "tls_server_config needs cert_file and key_file";
    return false;
  }
  bool verify = c->client_auth == W4_VERIFY_CLIENT_CERT_IF_GIVEN ||
                c->client_auth == W4_REQUIRE_AND_VERIFY_CLIENT_CERT;
  if (verify && c->client_ca_file.empty()) {
    *err = std::string("client_auth_type ") +
           w4_client_auth_name(c->client_auth) + " needs client_ca_file";
    return false;
  }
  if (!c->client_ca_file.empty() && c->client_auth == W4_NO_CLIENT_CERT) {
    *err = "client_ca_file is set but client_auth_type is NoClientCert: "
           "no client certificate would be checked (set "
           "RequireAndVerifyClientCert)";
    return false;
  }
  c->stamps.push_back(w4_stamp(c->cert_file));
  c->stamps.push_back(w4_stamp(c->key_file));
  if (!c->client_ca_file.empty())
    c->stamps.push_back(w4_stamp(c->client_ca_file));
  return w4_load_cert(c, err) &&
         (c->client_ca_file.empty() || w4_load_cas(c, err));
}

bool w4_webconfig_load(const std::string &path, w4_webconfig_ptr *out,
                       std::string *err) {
  std::shared_ptr<w4_webconfig> c(new w4_webconfig(), w4_webconfig_free);
  c->path = path;
  /* Stamped before reading: a change while it is read is seen next time. */
  c->stamps.push_back(w4_stamp(path));
  std::string text;
  if (!w4_read_whole(path, &text, err))
    return false;
  if (!w4_parse_yaml(text, c.get(), err))
    return false;
  if (c->tls && !w4_load_tls(c.get(), err))
    return false;
  *out = c;
  return true;
}

/* Whether two strings are equal, in a time that depends only on their
 * lengths. */
static bool w4_same_secret(const char *a, size_t alen, const char *b,
                           size_t blen) {
  unsigned char diff = alen != blen;
  size_t n = alen < blen ? alen : blen;
  for (size_t i = 0; i < n; i++)
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool w4_webconfig_check(const w4_webconfig &cfg, const std::string &user,
                        const std::string &password) {
  if (cfg.users.empty())
    return false;
  auto it = cfg.users.find(user);
  bool known = it != cfg.users.end();
  /* An unknown user is checked against a known one's hash, so that the
   * answer takes as long and tells nothing about which users exist. */
  const std::string &hash = known ? it->second : cfg.users.begin()->second;
  struct crypt_data *cd = new struct crypt_data();
  const char *r = crypt_r(password.c_str(), hash.c_str(), cd);
  bool same = r && r[0] != '*' &&
              w4_same_secret(r, strlen(r), hash.data(), hash.size()) &&
              password.find('\0') == std::string::npos;
  delete cd;
  return known && same;
}

bool w4_webconfig_verify_chain(const w4_webconfig &cfg,
                               const gnutls_datum_t *chain, unsigned int n,
                               std::string *why) {
  if (!cfg.trust || n == 0) {
    *why = "no certificate or no client CA";
    return false;
  }
  std::vector<gnutls_x509_crt_t> crts(n, nullptr);
  bool ok = true;
  for (unsigned int i = 0; i < n && ok; i++) {
    gnutls_x509_crt_init(&crts[i]);
    ok = gnutls_x509_crt_import(crts[i], &chain[i], GNUTLS_X509_FMT_DER) == 0;
  }
  unsigned int status = 0;
  if (ok)
    ok = gnutls_x509_trust_list_verify_crt(cfg.trust, crts.data(), n, 0,
                                           &status, nullptr) == 0 &&
         status == 0;
  if (!ok)
    *why = "the client certificate is not signed by client_ca_file";
  for (gnutls_x509_crt_t c : crts)
    if (c)
      gnutls_x509_crt_deinit(c);
  return ok;
}
