/* An interceptor instance without an intercepted client, for the unit tests
 * that link the plug-in's objects: identity and settings set, a private
 * producer towards a given bootstrap, the store empty. Enough to record
 * messages, encode records and run passes; no background thread. */
#pragma once

#include "interceptors/w4ic.h"
#include "testlib.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace w4test {

/* A producer instance with client id "rdkafka", a 15 s interval, a session
 * session_id (32 digits) that expires in 10 minutes, and a private producer
 * to bootstrap with the extra properties props. */
inline w4ic *standalone_instance(
    const std::string &bootstrap, const char *session_id,
    std::vector<std::pair<std::string, std::string>> props = {}) {
  w4ic *ic = static_cast<w4ic *>(ic_calloc(1, sizeof(w4ic)));
  tinycthread::mtx_init(&ic->lock, tinycthread::mtx_plain);
  tinycthread::cnd_init(&ic->cnd);
  tpmap_init(&ic->tpmap, TPMAP_CHAIN_CNT);
  ic->client_type = 1;
  ic->client_id = ic_strdup("rdkafka");
  ic->publishms = 15000;
  ic->sessiondurationms = 600000;
  ic->session_expiry_ms = ic_now_ms() + 600000;
  memcpy(ic->session_id, session_id, sizeof(ic->session_id));
  props.insert(props.begin(), {"bootstrap.servers", bootstrap});
  props.push_back({"log_level", "0"});
  char errstr[512];
  ic->mon_rk =
      rd_kafka_new(RD_KAFKA_PRODUCER, make_conf(props), errstr, sizeof(errstr));
  EXPECT_NE(nullptr, ic->mon_rk) << errstr;
  ic->mon_rkt =
      rd_kafka_topic_new(ic->mon_rk, "_quarndale-monitoring", nullptr);
  return ic;
}

/* Releases what standalone_instance made, and what the test added: the
 * identity strings, a cluster id of the test's own allocator, the buffer. */
inline void standalone_instance_free(w4ic *ic) {
  tpmap_destroy(&ic->tpmap);
  ic_free(ic->client_id);
  ic_free(ic->group_id);
  ic_free(ic->cluster_id); /* ours, not librdkafka's, in these tests */
  ic_free(ic->record_buf);
  rd_kafka_topic_destroy(ic->mon_rkt);
  rd_kafka_destroy(ic->mon_rk);
  tinycthread::cnd_destroy(&ic->cnd);
  tinycthread::mtx_destroy(&ic->lock);
  ic_free(ic);
}

} // namespace w4test
