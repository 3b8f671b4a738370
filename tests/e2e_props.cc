/* Kafka credentials kept off the command line: the exporter and the reader
 * read librdkafka properties from files (-F), -X wins over them, and no
 * message, nor the running exporter's command line, shows a value. */
#include "testlib.h"

#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const MON_TOPIC = "_quarndale-monitoring";
const std::string SECRET = "Zq7-secret-Vx";

using w4test::child;
using w4test::child_guard;
using w4test::count_lines;
using w4test::read_file;
using w4test::remove_child_files;
using w4test::spawn;
using w4test::wait_child;

/* A properties file holding text; its path. */
std::string props_file(const std::string &text) {
  std::string path = w4test::temp_file();
  std::ofstream(path) << text;
  return path;
}

/* Runs a tool of the build to its end with args; its exit code, its
 * standard error in *err. */
int run_tool(const char *tool, const std::vector<std::string> &args,
             std::string *err) {
  std::vector<std::string> argv = {std::string(W4_TOOLS_DIR) + "/" + tool};
  argv.insert(argv.end(), args.begin(), args.end());
  child c = spawn(argv);
  int code = wait_child(&c, 30000);
  *err = read_file(c.err_path);
  remove_child_files(c);
  return code;
}

/* A loopback address where nothing listens. */
std::string nowhere(void) {
  return "127.0.0.1:" + std::to_string(w4test::free_port());
}

TEST(PropertiesFile, SecretNeitherInTheProcessListNorInMessages) {
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  /* -b names nowhere: only the file's bootstrap.servers reaches the
   * cluster, so the exporter serving is the proof that it was read. */
  std::string file = props_file("# the monitoring cluster\n"
                                "bootstrap.servers = " +
                                mc->bootstraps +
                                "\n"
                                "sasl.username=w4\n"
                                "sasl.password=" +
                                SECRET + "\n");
  child exporter;
  child_guard guard(&exporter);
  int port = w4test::exporter_start(
      &exporter, {"-b", nowhere(), "-F", file, "--connect-timeout", "5000"});
  ASSERT_GT(port, 0) << read_file(exporter.err_path);
  std::string cmdline =
      read_file("/proc/" + std::to_string(exporter.pid) + "/cmdline");
  EXPECT_NE(std::string::npos, cmdline.find(file)) << "not the exporter";
  EXPECT_EQ(std::string::npos, cmdline.find(SECRET));
  int st;
  std::string ps = w4test::run_command("ps -eo pid,args", &st);
  EXPECT_EQ(0, st);
  EXPECT_NE(std::string::npos, ps.find(file));
  EXPECT_EQ(std::string::npos, ps.find(SECRET));
  std::string metrics =
      w4test::http_get("http://127.0.0.1:" + std::to_string(port) + "/metrics");
  EXPECT_NE(std::string::npos, metrics.find("w4metrics_cluster_up 1"));
  EXPECT_EQ(0, w4test::stop_child(&exporter));
  EXPECT_EQ(std::string::npos, read_file(exporter.err_path).find(SECRET));
  remove_child_files(exporter);
  unlink(file.c_str());
  w4test::mock_cluster_stop(mc);
}

TEST(PropertiesFile, BadFilesAndRefusedValuesNameThePropertyNotTheValue) {
  std::string err;
  /* A malformed line: the file and the line's number, not its text. */
  std::string bad =
      props_file("# ok\nsasl.username=w4\nsasl.password" + SECRET + "\n");
  EXPECT_EQ(2,
            run_tool("w4metrics-exporter", {"-b", nowhere(), "-F", bad}, &err));
  EXPECT_EQ(1, count_lines(err, bad + " line 3: expected name=value")) << err;
  EXPECT_EQ(std::string::npos, err.find(SECRET)) << err;
  EXPECT_EQ(2, run_tool("w4metrics-read", {"-b", nowhere(), "-F", bad}, &err));
  EXPECT_EQ(1, count_lines(err, " line 3: ")) << err;
  EXPECT_EQ(std::string::npos, err.find(SECRET)) << err;

  /* No file, and a folder. */
  EXPECT_EQ(2, run_tool("w4metrics-exporter",
                        {"-b", nowhere(), "-F", bad + ".none"}, &err));
  EXPECT_EQ(1, count_lines(err, "cannot read " + bad +
                                    ".none: No such file or directory"))
      << err;
  EXPECT_EQ(2,
            run_tool("w4metrics-exporter", {"-b", nowhere(), "-F", "/"}, &err));
  EXPECT_EQ(1, count_lines(err, "cannot read /: Is a directory")) << err;

  /* librdkafka refuses a value, quoting it: the property's name only. */
  std::string refused = props_file("security.protocol=" + SECRET + "\n");
  for (const char *tool : {"w4metrics-exporter", "w4metrics-read"}) {
    EXPECT_EQ(2, run_tool(tool, {"-b", nowhere(), "-F", refused}, &err));
    EXPECT_EQ(1, count_lines(err, "bad property security.protocol")) << err;
    EXPECT_EQ(std::string::npos, err.find(SECRET)) << err;
  }
  /* ... or refuses to create the client over it. */
  std::string mech =
      props_file("security.protocol=sasl_plaintext\nsasl.mechanism=" + SECRET +
                 "\nsasl.password=" + SECRET + "\n");
  EXPECT_EQ(
      1, run_tool("w4metrics-exporter", {"-b", nowhere(), "-F", mech}, &err));
  EXPECT_EQ(1, count_lines(err, "cannot create consumer")) << err;
  EXPECT_EQ(std::string::npos, err.find(SECRET)) << err;

  /* -X and stray arguments that carry a value are not echoed either. */
  EXPECT_EQ(2,
            run_tool("w4metrics-exporter",
                     {"-b", nowhere(), "-X", "sasl.password" + SECRET}, &err));
  EXPECT_EQ(1, count_lines(err, "-X needs name=value")) << err;
  EXPECT_EQ(2, run_tool("w4metrics-read",
                        {"-b", nowhere(), "sasl.password=" + SECRET}, &err));
  EXPECT_EQ(1, count_lines(err, "unexpected argument \"sasl.password=...\""))
      << err;
  for (const std::string &f : {bad, refused, mech})
    unlink(f.c_str());
  EXPECT_EQ(std::string::npos, err.find(SECRET)) << err;
}

TEST(PropertiesFile, CommandLineWinsAndALaterFileWins) {
  w4test::mock_cluster *mc = w4test::mock_cluster_start();
  ASSERT_NE(nullptr, mc);
  rd_kafka_mock_topic_create(mc->mcluster, MON_TOPIC, 1, 1);
  std::string good = props_file("bootstrap.servers=" + mc->bootstraps + "\n");
  std::string lost = props_file("bootstrap.servers=" + nowhere() + "\n");
  const std::string to_mock = "bootstrap.servers=" + mc->bootstraps;
  const std::string to_nowhere = "bootstrap.servers=" + nowhere();
  /* Whether the exporter reaches the cluster with these options (-b names
   * nowhere): it serves, or it gives up after 1.5 s. */
  auto reaches = [&](const std::vector<std::string> &opts) {
    std::vector<std::string> argv = {std::string(W4_TOOLS_DIR) +
                                         "/w4metrics-exporter",
                                     "--listen",
                                     "127.0.0.1:0",
                                     "-b",
                                     nowhere(),
                                     "--connect-timeout",
                                     "1500"};
    argv.insert(argv.end(), opts.begin(), opts.end());
    child c = spawn(argv);
    child_guard guard(&c);
    bool served = false;
    for (int64_t end = w4test::mono_ms() + 20000;
         !served && w4test::mono_ms() < end; w4test::sleep_ms(100)) {
      served =
          read_file(c.err_path).find("serving http://") != std::string::npos;
      int status;
      if (!served && waitpid(c.pid, &status, WNOHANG) == c.pid) {
        c.pid = -1;
        break;
      }
    }
    if (c.pid > 0)
      w4test::stop_child(&c);
    remove_child_files(c);
    return served;
  };
  EXPECT_TRUE(reaches({"-X", to_mock, "-F", lost}));
  EXPECT_FALSE(reaches({"-F", good, "-X", to_nowhere}));
  EXPECT_TRUE(reaches({"-F", lost, "-F", good}));
  EXPECT_FALSE(reaches({"-F", good, "-F", lost}));

  /* The reader too: it reads the topic through the file's cluster. */
  w4test::produce_values(mc, MON_TOPIC, 0, {"not a record"});
  std::string err;
  EXPECT_EQ(0, run_tool("w4metrics-read",
                        {"-b", nowhere(), "-F", lost, "-X", to_mock,
                         "--from-beginning", "--exit-idle", "3000"},
                        &err));
  EXPECT_EQ(1, count_lines(err, "skipped value at partition 0 offset 0"))
      << err;
  EXPECT_EQ(0, run_tool("w4metrics-read",
                        {"-b", nowhere(), "-F", good, "--from-beginning",
                         "--exit-idle", "3000"},
                        &err));
  EXPECT_EQ(1, count_lines(err, "skipped value at partition 0 offset 0"))
      << err;
  unlink(good.c_str());
  unlink(lost.c_str());
  w4test::mock_cluster_stop(mc);
}

} // namespace
