/* Writes the seed corpus of fuzz_audit into the directory it is given:
 * states saved by an audit that took a little traffic (three groups, one
 * that skips, one that replays, records that wait for their cluster),
 * wrapped as fuzz_audit reads a state, and two scripts of noise. Built on
 * demand only:
 *
 *   cmake --build DIR --target audit_seeds && DIR/audit_seeds fuzz/corpus/audit
 */
#include "exporter/audit.h"

#include <cstdio>
#include <random>
#include <string>

namespace {

/* A sane data record of the seeds' traffic. */
w4_record record(uint32_t type, const std::string &group, int32_t partition,
                 int64_t window, int64_t count,
                 const std::string &cluster = "c1",
                 const std::string &session = "s1") {
  w4_record rec;
  rec.msg = monitoring_MonitoringMessage_init_zero;
  rec.msg.client_type = type;
  rec.client_id = type == W4_CLIENT_PRODUCER ? "p" : "c";
  rec.group_id = group;
  rec.has_group_id = !group.empty();
  rec.session_id = session;
  rec.cluster_id = cluster;
  rec.has_cluster_id = !cluster.empty();
  rec.topic = "orders";
  rec.msg.partition = partition;
  rec.msg.window = window;
  rec.msg.window_size = 1000;
  rec.msg.count = count;
  if (type == W4_CLIENT_CONSUMER && group == "lag") {
    rec.hist_index = {3, 40};
    rec.hist_count = {static_cast<uint64_t>(count - 1), 1};
  }
  return rec;
}

/* The state after a few windows of traffic, saved at *now. */
std::string traffic_state(int64_t *now, bool parked) {
  w4_audit a;
  a.settle_ms = 2000;
  int64_t t = 0;
  for (int w = 1; w <= 6; w++, t += 500) {
    for (int32_t p = 0; p < 2; p++) {
      w4_audit_add(&a, record(1, "", p, w * 1000, 20), t);
      w4_audit_add(&a, record(0, "skip", p, w * 1000, w == 3 ? 11 : 20), t);
      w4_audit_add(&a, record(0, "replay", p, w * 1000, 20), t);
      if (w > 2)
        w4_audit_add(&a, record(0, "lag", p, (w - 2) * 1000, 20), t);
    }
    w4_audit_tick(&a, t, nullptr);
  }
  w4_audit_add(&a, record(0, "replay", 0, 1000, 20), t);
  if (parked) /* a session that has not named its cluster yet */
    w4_audit_add(&a, record(0, "skip", 1, 7000, 4, "", "s2"), t);
  w4_audit_tick(&a, t, nullptr);
  *now = t;
  return w4_audit_save(a, t);
}

/* Appends v's low n bytes, the lowest first: fuzz_audit reads its numbers
 * from the end, the last byte as the highest. */
void put_le(std::string *out, uint64_t v, int n) {
  for (int i = 0; i < n; i++)
    out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

/* A state as fuzz_audit's input: the bytes, their length, the clock, the
 * settings' indices (settle 2000 ms, horizon and age an hour) and an odd
 * mode byte. */
std::string wrap_state(const std::string &state, int64_t now) {
  std::string out = state;
  put_le(&out, state.size(), 2);
  put_le(&out, static_cast<uint64_t>(now), 6);
  out += "\x02\x02\x02\x01";
  return out;
}

/* Writes one seed file. */
bool write_seed(const std::string &dir, const char *name,
                const std::string &bytes) {
  std::string path = dir + "/" + name;
  FILE *f = fopen(path.c_str(), "wb");
  if (!f)
    return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

} // namespace

/* Writes the seeds into argv[1]. */
int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: audit_seeds DIR\n");
    return 2;
  }
  std::string dir = argv[1];
  int64_t now = 0;
  bool ok = write_seed(dir, "state-traffic",
                       wrap_state(traffic_state(&now, false), now));
  ok = write_seed(dir, "state-parked",
                  wrap_state(traffic_state(&now, true), now)) &&
       ok;
  std::mt19937 rng(11);
  for (const char *name : {"script-a", "script-b"}) {
    std::string noise;
    for (int i = 0; i < 400; i++)
      noise.push_back(static_cast<char>(rng()));
    noise.back() = static_cast<char>(noise.back() & ~1); /* mode: script */
    ok = write_seed(dir, name, noise) && ok;
  }
  return ok ? 0 : 1;
}
