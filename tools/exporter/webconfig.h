/* The web configuration file that Prometheus' exporters share
 * (--web.config.file): TLS for the server (tls_server_config: cert_file,
 * key_file, client_ca_file, client_auth_type) and basic authentication
 * (basic_auth_users: user to bcrypt hash). Read with libyaml; the TLS
 * material loaded with GnuTLS; passwords checked with the system's crypt
 * (libxcrypt). */
#pragma once

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

/* client_auth_type: how the server asks for and checks client certificates,
 * in the order of the values that the file names. */
enum w4_client_auth {
  W4_NO_CLIENT_CERT,                /* none asked for */
  W4_REQUEST_CLIENT_CERT,           /* asked for, not checked */
  W4_REQUIRE_ANY_CLIENT_CERT,       /* required, not checked */
  W4_VERIFY_CLIENT_CERT_IF_GIVEN,   /* checked against the CA when sent */
  W4_REQUIRE_AND_VERIFY_CLIENT_CERT /* required and checked */
};

/* What identifies one version of a file: changes when it is rewritten. */
struct w4_file_stamp {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  long long mtime_ns = -1;
};

/* One version of the file, loaded; immutable once made, shared by the
 * connections that started under it. */
struct w4_webconfig {
  std::string path;
  bool tls = false;
  std::string cert_file, key_file, client_ca_file; /* resolved paths */
  w4_client_auth client_auth = W4_NO_CLIENT_CERT;
  std::map<std::string, std::string> users; /* name to bcrypt hash */
  /* The file and those it names, as they were when read. */
  std::vector<w4_file_stamp> stamps;
  /* TLS material: the certificate chain and its key, and the client CAs. */
  gnutls_pcert_st *pcerts = nullptr;
  unsigned int npcerts = 0;
  gnutls_privkey_t key = nullptr;
  gnutls_x509_trust_list_t trust = nullptr;
};

typedef std::shared_ptr<const w4_webconfig> w4_webconfig_ptr;

/* Reads and checks the file at path and the files it names; false with the
 * reason in *err. Relative file names are taken from the file's folder. */
bool w4_webconfig_load(const std::string &path, w4_webconfig_ptr *out,
                       std::string *err);

/* Whether the file or one it names changed since cfg was read (a stat of
 * each). */
bool w4_webconfig_changed(const w4_webconfig &cfg);

/* Whether password is the one of user: bcrypt through crypt_r, the result
 * compared in constant time. An unknown user costs a bcrypt too. Any
 * thread. */
bool w4_webconfig_check(const w4_webconfig &cfg, const std::string &user,
                        const std::string &password);

/* The name of a client_auth_type value. */
const char *w4_client_auth_name(w4_client_auth a);

/* Checks the certificate chain that a client sent (DER, leaf first)
 * against the client CAs of cfg; false with the reason in *why. */
bool w4_webconfig_verify_chain(const w4_webconfig &cfg,
                               const gnutls_datum_t *chain, unsigned int n,
                               std::string *why);
