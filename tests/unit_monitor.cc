/* The monitor under concurrency: scrapes render while the reading thread
 * adds records, ticks and expires series, and every scrape shows one
 * consistent moment of the counters. */
#include "exporter/monitor.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

const int64_t WALL = 1700000000000LL;
const int TOPICS = 24;
const int ROUNDS = 400;
const int64_t COUNT = 3;

/* A producer's data record of topic t, window w. */
w4_record record(int t, int64_t window, int64_t sequence) {
  w4_record rec;
  memset(&rec.msg, 0, sizeof(rec.msg));
  rec.msg.client_type = W4_CLIENT_PRODUCER;
  rec.client_id = "p" + std::to_string(t);
  rec.session_id = std::string(31, 'a') + static_cast<char>('a' + t % 26);
  rec.cluster_id = "c1";
  rec.topic = "topic-" + std::to_string(t);
  rec.msg.window = window;
  rec.msg.window_size = 1000;
  rec.msg.sequence = sequence;
  rec.msg.count = COUNT;
  rec.msg.latency_sum = COUNT * 3;
  rec.msg.min_latency = 2;
  rec.msg.max_latency = 4;
  rec.msg.timestamp = WALL;
  return rec;
}

/* The value of every sample of a family, by label text. */
std::map<std::string, double> family(const std::string &text,
                                     const std::string &name) {
  std::map<std::string, double> out;
  std::string prefix = "w4metrics_" + name + "{";
  for (size_t at = text.find(prefix); at != std::string::npos;
       at = text.find(prefix, at + 1)) {
    if (at && text[at - 1] != '\n')
      continue;
    size_t close = text.find("} ", at);
    std::string labels =
        text.substr(at + prefix.size(), close - at - prefix.size());
    out[labels] = atof(text.c_str() + close + 2);
  }
  return out;
}

/* The faults of one scrape: a series whose messages are not COUNT times its
 * records (counters copied at two moments), or that went down. */
std::string scrape_faults(const std::string &text,
                          std::map<std::string, double> *before) {
  std::string faults;
  std::map<std::string, double> messages = family(text, "messages_total");
  std::map<std::string, double> records = family(text, "records_total");
  if (messages.size() != records.size())
    faults += "families of different series\n";
  for (const auto &kv : messages) {
    if (kv.second != COUNT * records[kv.first])
      faults += kv.first + ": messages and records of two moments\n";
    auto was = before->find(kv.first);
    if (was != before->end() && kv.second < was->second)
      faults += kv.first + ": went down\n";
  }
  *before = messages;
  return faults;
}

/* Two HTTP threads scrape while the reading thread feeds ROUNDS windows of
 * TOPICS topics; half the topics stop at half time and expire while the
 * scrapes hold their label texts. Run under helgrind and ThreadSanitizer
 * too. */
TEST(MonitorStress, ScrapesShowOneMomentWhileRecordsArrive) {
  w4_monitor mon;
  w4_monitor_opts o;
  o.settle_ms = 50;
  o.expire_ms = 100;
  o.max_age_ms = 100;
  o.horizon_ms = 100;
  o.history_step_ms = 1000;
  o.page_now_ms = WALL;
  w4_monitor_init(&mon, o);
  std::atomic<bool> done{false};
  std::atomic<int> scrapes{0};
  std::vector<std::string> faults(2);
  auto scraper = [&](int i) {
    std::map<std::string, double> before;
    while (!done.load() || scrapes.load() < 4) {
      faults[static_cast<size_t>(i)] +=
          scrape_faults(w4_monitor_render(&mon), &before);
      scrapes++;
    }
  };
  std::thread a(scraper, 0), b(scraper, 1);
  for (int r = 0; r < ROUNDS; r++) {
    for (int t = 0; t < TOPICS; t++)
      if (t % 2 == 0 || r < ROUNDS / 2)
        w4_monitor_add(&mon, record(t, WALL + r * 1000, r), r, WALL);
    w4_monitor_tick(&mon, r, WALL, nullptr);
  }
  done = true;
  a.join();
  b.join();
  EXPECT_EQ("", faults[0]);
  EXPECT_EQ("", faults[1]);

  std::map<std::string, double> last =
      family(w4_monitor_render(&mon), "messages_total");
  EXPECT_EQ(static_cast<size_t>(TOPICS / 2), last.size());
  for (const auto &kv : last)
    EXPECT_EQ(COUNT * ROUNDS, kv.second) << kv.first;
}

} // namespace
