# shellcheck shell=bash
# Build and test dependencies of w4metrics, for scripts that source this file.
#
# nanopb's generator needs python3-protobuf; the nanopb package depends on it,
# so installing nanopb brings it along.

W4_DEB_PACKAGES=(
  librdkafka-dev
  libnanopb-dev
  nanopb
  uuid-dev
  protobuf-compiler
  libgtest-dev
  libbenchmark-dev
  cmake
  pkg-config
  g++
  make
  libmicrohttpd-dev
  # The exporter's --web.config.file: YAML through libyaml, TLS material
  # through GnuTLS (libmicrohttpd's), bcrypt hashes through libxcrypt; its
  # test makes certificates with the openssl command.
  libyaml-dev
  libgnutls28-dev
  libcrypt-dev
  openssl
  # The exporter's page embeds Chart.js at build time; its tests and
  # benchmark render the page in headless Chromium.
  libjs-chart.js
  chromium
  # The exporter's end-to-end test runs promtool and a Prometheus server of
  # its own (the package's system service is not used) and queries it with
  # curl.
  prometheus
  curl
  # The audit's test reads the offsets it names again with the command it
  # prints.
  kcat
  # The dashboard's test reads its JSON.
  nlohmann-json3-dev
  patchelf
  liblz4-dev
  libzstd-dev
  libsasl2-dev
  libssl-dev
  zlib1g-dev
)

# What the package test (scripts/package-test) needs on top: the tools
# that build a Debian package and check it, help2man for its manual pages
# (debian/control's Build-Depends are all in one of the two lists), git for
# its clean clone, and systemd for systemd-analyze (installing it needs no
# running systemd).
# shellcheck disable=SC2034 # used by the scripts that source this file
W4_PACKAGE_DEB_PACKAGES=(
  build-essential
  dpkg-dev
  debhelper
  help2man
  lintian
  systemd
  git
)

# Prints the packages named (W4_DEB_PACKAGES when none is) that are not
# installed.
w4_missing_deps() {
  local pkg
  [ $# -eq 0 ] && set -- "${W4_DEB_PACKAGES[@]}"
  for pkg in "$@"; do
    # dpkg -s also knows removed packages that left their configuration.
    if ! dpkg -s "$pkg" 2>/dev/null | grep -q '^Status: install ok installed'; then
      echo "$pkg"
    fi
  done
}

# Installs whatever is missing of W4_DEB_PACKAGES: as root with apt-get;
# otherwise names the missing packages and fails.
w4_install_deps() {
  w4_install_packages "${W4_DEB_PACKAGES[@]}"
}

# Installs whatever is missing of the packages named, as w4_install_deps.
w4_install_packages() {
  if ! command -v dpkg >/dev/null 2>&1; then
    echo "w4metrics: no dpkg here; install by hand: $*" >&2
    return 0
  fi
  local missing=()
  mapfile -t missing < <(w4_missing_deps "$@")
  [ "${#missing[@]}" -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "w4metrics: missing packages: ${missing[*]}" >&2
    echo "w4metrics: install them as root: apt-get install -y ${missing[*]}" >&2
    return 1
  fi
  echo "w4metrics: installing ${missing[*]}" >&2
  apt-get update &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
}
