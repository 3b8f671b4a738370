/* Test helpers: librdkafka's mock cluster, clients with the plug-in loaded,
 * standard error capture and an independent reader of the record wire
 * format. */
#pragma once

#include <atomic>
#include <cstdint>
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace w4test {

/* An in-process mock cluster, hosted by a plain client of its own. */
struct mock_cluster {
  rd_kafka_t *host;
  rd_kafka_mock_cluster_t *mcluster;
  std::string bootstraps;
};

/* Starts a mock cluster of broker_cnt brokers. */
mock_cluster *mock_cluster_start(int broker_cnt = 1);
void mock_cluster_stop(mock_cluster *mc);

/* A configuration with the given properties set in order; fails the test on
 * any rejected property. */
rd_kafka_conf_t *
make_conf(const std::vector<std::pair<std::string, std::string>> &props);

/* Sets one property, returning librdkafka's result and error text. */
rd_kafka_conf_res_t conf_set(rd_kafka_conf_t *conf, const std::string &name,
                             const std::string &value,
                             std::string *errstr = nullptr);

/* Reads a property of a configuration; "<unknown>" when it cannot. */
std::string conf_get(const rd_kafka_conf_t *conf, const std::string &name);

/* A client of type made from conf (which it takes); fails the test, with
 * librdkafka's reason, and returns nullptr when it cannot be created. */
rd_kafka_t *client_new(rd_kafka_type_t type, rd_kafka_conf_t *conf);

/* Delivery report callback counting the messages delivered without error
 * in the int that the configuration's opaque points to. */
void dr_count(rd_kafka_t *rk, const rd_kafka_message_t *m, void *opaque);

/* Writes values to one partition of topic with a plain producer, one at a
 * time so that the offsets follow their order; an empty value is sent as
 * a null one. */
void produce_values(const mock_cluster *mc, const std::string &topic,
                    int32_t partition, const std::vector<std::string> &values);

/* Joins the consumer's group on topic; false when librdkafka refuses. */
bool subscribe(rd_kafka_t *rk, const std::string &topic);

/* Polls the consumer until n messages came without error or timeout_ms
 * passed; returns how many came. */
int consume_n(rd_kafka_t *rk, int n, int timeout_ms);

/* Milliseconds on the monotonic clock. */
int64_t mono_ms(void);

/* Wall-clock milliseconds since the Unix epoch. */
int64_t wall_ms(void);

/* Sleeps the calling thread for ms milliseconds. */
void sleep_ms(int ms);

/* The path of the built plug-in library. */
const char *plugin_path(void);

/* Captures everything written to file descriptor 2 while alive. */
struct stderr_capture {
  int saved_fd;
  std::string path;
};
stderr_capture *stderr_capture_start(void);
/* Stops capturing and returns what was written. */
std::string stderr_capture_stop(stderr_capture *cap);

/* Lines of text that contain needle. */
int count_lines(const std::string &text, const std::string &needle);
/* Waits up to timeout_ms until n lines captured so far contain needle;
 * returns how many do. */
int stderr_wait(const stderr_capture *cap, const std::string &needle, int n,
                int timeout_ms);

/* One record value read back from a topic. */
struct consumed {
  int32_t partition;
  int64_t offset;
  std::string value;
};

/* Reads every message of topic (all partitions, from the beginning) with a
 * plain consumer: all that the topic holds when it starts, then on until
 * idle_ms pass without a new one; timeout_ms in all. */
std::vector<consumed> consume_all(const std::string &bootstraps,
                                  const std::string &topic, int idle_ms = 1500,
                                  int timeout_ms = 20000);

/* A decoded protobuf message: field number to its values in wire order,
 * varints as raw 64-bit values, length-delimited fields as bytes. */
struct wire_msg {
  std::map<int, std::vector<uint64_t>> varints;
  std::map<int, std::vector<std::string>> strings;
  std::vector<int> order; /* field numbers in wire order */
  bool ok;

  bool has(int field) const {
    return varints.count(field) || strings.count(field);
  }
  int64_t i64(int field) const {
    auto it = varints.find(field);
    return it == varints.end() ? 0 : static_cast<int64_t>(it->second.back());
  }
  std::string str(int field) const {
    auto it = strings.find(field);
    return it == strings.end() ? std::string() : it->second.back();
  }
};

/* Decodes the proto3 wire format of bytes (no framing byte). */
wire_msg wire_decode(const std::string &bytes);

/* Decodes a framed record value: 0x7F then the message; ok false otherwise. */
wire_msg record_decode(const std::string &value);

/* Every record of topic (see consume_all), decoded; a value that is not a
 * record fails the test and is left out. */
std::vector<wire_msg> read_records(const std::string &bootstraps,
                                   const std::string &topic, int idle_ms = 1500,
                                   int timeout_ms = 20000);

/* Field numbers of the monitoring record. */
enum {
  F_CLIENT_TYPE = 1,
  F_CLIENT_ID = 2,
  F_GROUP_ID = 3,
  F_SESSION_ID = 4,
  F_SEQUENCE = 5,
  F_WINDOW = 6,
  F_TIMESTAMP = 7,
  F_TOPIC = 8,
  F_PARTITION = 9,
  F_COUNT = 10,
  F_AGGREGATE_BYTES = 11,
  F_LATENCY_SUM = 13,
  F_MIN_LATENCY = 14,
  F_MAX_LATENCY = 15,
  F_WINDOW_SIZE = 16,
  F_RECORD_KIND = 17,
  F_FINAL = 18,
  F_MIN_RECENT_WINDOW = 19,
  F_MAX_RECENT_WINDOW = 20,
  F_CLUSTER_ID = 22,
};

/* Values of the record's client_type and record_kind on the wire. */
enum { CLIENT_CONSUMER = 0, CLIENT_PRODUCER = 1 };
enum { RECORD_DATA = 0, RECORD_EMPTY_WINDOW = 2 };

/* Hex dump "7f 08 01 ..." of bytes, for readable failures. */
std::string hex(const std::string &bytes);

/* Runs a shell command, returning its standard output and exit status. */
std::string run_command(const std::string &cmd, int *status);

/* A new empty file in the temporary directory; its name. */
std::string temp_file(void);

/* Runs promtool check metrics over text: its exit status, 128 + the signal
 * when it was killed, -1 when promtool is not installed. *out gets what it
 * said. */
int promtool_check(const std::string &text, std::string *out);

/* The whole content of a file; "" when it cannot be read. */
std::string read_file(const std::string &path);

/* A child process whose standard output and error go to files. */
struct child {
  pid_t pid = -1;
  std::string out_path;
  std::string err_path;
};

/* Starts argv[0] (a path) with its arguments. */
child spawn(const std::vector<std::string> &argv);

/* Waits up to timeout_ms for the child to end; its exit code, or -1 when it
 * is still running (it is then killed) or did not exit normally. */
int wait_child(child *c, int timeout_ms);

/* Asks the child to end with SIGTERM; its exit code as wait_child. */
int stop_child(child *c);

/* Stops a child that a failed assertion left running, on leaving scope. */
struct child_guard {
  child *c;
  explicit child_guard(child *ch) : c(ch) {}
  ~child_guard() {
    if (c->pid > 0)
      stop_child(c);
  }
};

/* Removes the files of the child's standard output and error. */
void remove_child_files(const child &c);

/* Starts the built exporter on a port of its own choice (--listen
 * 127.0.0.1:0) with args, and waits until it says where it serves, 20 s at
 * most; the port, 0 when it did not. */
int exporter_start(child *c, const std::vector<std::string> &args);

/* A client of type with the plug-in loaded, on the cluster, publishing every
 * 500 ms with latency histograms; a consumer gets group (when not empty)
 * and no partition-end events. extra properties come last. */
rd_kafka_t *plugin_client(
    const mock_cluster *mc, rd_kafka_type_t type, const std::string &client_id,
    const std::string &group = "",
    const std::vector<std::pair<std::string, std::string>> &extra = {});

/* The traffic of the exporter's tests, on partitions 0 and 1 of "orders",
 * in three windows of 500 ms as consumers with the plug-in count them: a
 * twin producer (see twin_producer below) writes n messages, a quarter in
 * window A, half in window B, the rest in window C, which starts settle_ms
 * after B ends (the test's exporter's --settle), so that a group that
 * reads C has moved past B. Group a reads them all; group b reads A, jumps
 * over the first skip0 and skip1 messages of B on the two partitions, and
 * reads on. After one more pass the clients are destroyed. The names are
 * prefix-producer, prefix-a, prefix-b for the clients and group_a, group_b
 * for the groups. between(), when given, runs once the messages are
 * produced and once they are consumed. */
struct two_groups {
  std::string prefix, group_a, group_b;
  int n = 0, skip0 = 0, skip1 = 0;
  int64_t settle_ms = 3000;
};
void two_groups_traffic(const mock_cluster *mc, const two_groups &t,
                        void (*between)(void *) = nullptr, void *arg = nullptr);

/* The protobuf varint encoding of v. */
std::string varint(uint64_t v);

/* The values of a packed repeated varint field's bytes. */
std::vector<uint64_t> packed_varints(const std::string &bytes);

/* GET of a URL with curl; the body, or "" when the request failed. */
std::string http_get(const std::string &url, int *status = nullptr);

/* A port that was free a moment ago on the loopback address. */
int free_port(void);

/* A Prometheus server of the test's own, on loopback, scraping one target
 * every second, with its data in a temporary directory. */
struct prometheus_server {
  child proc;
  int port = 0;
  std::string dir;
};

/* The Prometheus server's binary as the shell finds it; "" when there is
 * none. */
std::string prometheus_path(void);

/* Starts a server scraping 127.0.0.1:target_port every second, evaluating
 * the rules of rules_file (none when "") every second, and waits until it is
 * ready and has scraped the target once (30 s at most); false when it did
 * not get there. scrape_extra: more lines of the scrape job, indented by
 * four spaces (scheme, tls_config, basic_auth...). */
bool prometheus_start(prometheus_server *p, int target_port,
                      const std::string &rules_file = "",
                      const std::string &scrape_extra = "");

/* Stops the server and removes its directory. */
void prometheus_stop(prometheus_server *p);

/* Stops the server and removes its directory on leaving scope. */
struct prometheus_guard {
  prometheus_server *p;
  explicit prometheus_guard(prometheus_server *srv) : p(srv) {}
  ~prometheus_guard() {
    if (p->proc.pid > 0 || !p->dir.empty())
      prometheus_stop(p);
  }
};

/* The JSON body of an instant query (at time `at`, Unix seconds, or now
 * when at is 0) through Prometheus' HTTP API, an error's body included; ""
 * when no answer came. */
std::string prometheus_query_json(const prometheus_server &p,
                                  const std::string &q, double at = 0);

/* The value of an instant query as Prometheus answers it over HTTP: the
 * single sample's value, or -1 when there is none. */
double prometheus_query(const prometheus_server &p, const std::string &q);

/* Waits until the query answers want, 60 s at most; the last answer. */
double prometheus_wait(const prometheus_server &p, const std::string &q,
                       double want);

/* The timestamp that the mock cluster gives acknowledged messages (its
 * fixed log-append time), learnt from one message on a topic "probe" of its
 * own. Messages that carry it as their own timestamp fall into the same
 * window for the producer's records and the consumers', as they do on a
 * cluster whose brokers keep the producer's time or append their own. */
int64_t mock_append_time(const mock_cluster *mc);

/* Assigns partitions 0 and 1 of topic to the consumer at the given
 * offsets. */
void assign_at(rd_kafka_t *rk, const char *topic, int64_t off0, int64_t off1);

/* Thread ids of the process, with their names. */
std::map<pid_t, std::string> thread_names(void);

/* Threads started since before (from thread_names()) that are not
 * librdkafka's ("rdk:..."): the plug-in's. A new thread carries its
 * creator's name until it names itself, so this waits up to 5 s for
 * exactly one to remain. */
std::vector<pid_t>
plugin_threads_since(const std::map<pid_t, std::string> &before);

/* The producer side of the delivery audit as a real cluster shows it: a
 * plain producer (the plug-in is not loaded) whose messages carry the
 * timestamps the test gives them, and which writes the monitoring records
 * that the plug-in's producer would write for them on a cluster that keeps
 * the producer's timestamps. The mock cluster acknowledges every message
 * with its fixed log-append time, so the plug-in's own producer counts all
 * of them into one window there, while consumers see the messages' own
 * timestamps; the twin counts the messages where consumers do. Its records
 * are encoded here, independently of the plug-in's encoder. */

/* Counts of one window, as a record carries them. */
struct twin_counts {
  int64_t count = 0;
  int64_t bytes = 0; /* value plus key */
  int64_t latency_sum = 0;
  int64_t min_latency = 0;
  int64_t max_latency = 0;
  int64_t min_offset = INT64_MAX; /* acknowledged offsets; max -1: none */
  int64_t max_offset = -1;
};

/* What the twin keeps of one topic-partition that had traffic. */
struct twin_tp {
  int64_t seq = 0; /* the next record's sequence number */
  /* Windows with counts since the last publish, in the order of their
   * first message, and their counts. */
  std::vector<int64_t> fresh_order;
  std::map<int64_t, twin_counts> fresh;
  /* The windows of the latest records since the last data pass: the
   * plug-in's ring of ten, -1 for an empty slot. */
  int64_t recent[10];
  int recent_idx = 0;
};

/* (topic, partition) and (topic, partition, window). */
using twin_tp_key = std::pair<std::string, int32_t>;
using twin_window_key = std::tuple<std::string, int32_t, int64_t>;

struct twin_producer {
  rd_kafka_t *rk = nullptr;     /* produces the messages */
  rd_kafka_t *mon_rk = nullptr; /* produces the monitoring records */
  std::string client_id;
  std::string session_id; /* 32 lower-case hex digits, as the plug-in's */
  std::string cluster_id; /* of the messages' cluster */
  std::string mon_topic;
  int64_t window_ms = 1000;
  /* Its records carry the acknowledged offsets (fields 27 and 28), as the
   * plug-in's with the offsets setting; set before the first message. */
  bool offsets = false;
  /* Guards everything below that delivery reports and passes touch. */
  std::mutex lock;
  std::map<twin_tp_key, twin_tp> tps;
  std::vector<twin_tp_key> tp_order;                /* order of first traffic */
  std::map<twin_window_key, twin_counts> delivered; /* every window, ever */
  std::vector<std::string> records; /* every record value produced */
  int64_t sent = 0;                 /* messages handed to librdkafka */
  int64_t failed = 0;               /* delivery reports with an error */
  std::thread thread; /* serves reports, publishes every window_ms */
  std::atomic<bool> stopping{false};
};

/* Starts a twin producing to the cluster as client_id, counting windows of
 * window_ms, its records going to mon_topic on mon_bootstraps (the same
 * cluster when empty). It learns the cluster's id before it returns;
 * nullptr (and a failed test) when it cannot be set up. */
twin_producer *
twin_start(const mock_cluster *mc, const std::string &client_id,
           int64_t window_ms = 1000, const std::string &mon_bootstraps = "",
           const std::string &mon_topic = "_quarndale-monitoring");

/* Produces one message stamped ts (wall clock now when 0) to a partition;
 * librdkafka's answer. Any thread. */
rd_kafka_resp_err_t twin_produce(twin_producer *tw, const std::string &topic,
                                 int32_t partition, const std::string &key,
                                 const std::string &value, int64_t ts = 0);

/* Waits up to timeout_ms until every message produced so far has its
 * delivery report; false when some have none by then. */
bool twin_flush(twin_producer *tw, int timeout_ms);

/* One publish pass: a data record for every window with new counts, an
 * empty-window record for every other topic-partition that had traffic;
 * with final the last record of each topic-partition is marked final. The
 * twin's thread does this every window_ms; under the twin's lock. */
void twin_publish(twin_producer *tw, bool final);

/* Stops the thread, waits for the last reports, publishes a final pass and
 * delivers the records; the counts stay readable. Once only: later calls do
 * nothing. */
void twin_stop(twin_producer *tw);

/* Stops the twin when it runs, and frees it. */
void twin_destroy(twin_producer *tw);

/* Messages delivered without error to topic (one partition, or all when
 * partition is -1). */
int64_t twin_delivered(twin_producer *tw, const std::string &topic,
                       int32_t partition = -1);

/* The delivered counts of topic by (partition, window). */
std::map<std::pair<int32_t, int64_t>, twin_counts>
twin_windows(twin_producer *tw, const std::string &topic);

/* Frees the twin on leaving scope. */
struct twin_guard {
  twin_producer *tw;
  explicit twin_guard(twin_producer *t) : tw(t) {}
  ~twin_guard() {
    if (tw)
      twin_destroy(tw);
  }
};

} // namespace w4test
