/* The binding to the host's librdkafka, as this test program has it: bound
 * before main to the librdkafka it links, through the lookup that conf_init
 * makes from its caller. */
#include "platform/rdkafka_api.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>

namespace {

/* Binds from addr, returning the answer and the reason text. */
std::pair<int, std::string> bind_from(const void *addr) {
  char why[400] = "";
  int bound = rdkafka_api_bind(addr, why, sizeof(why));
  return {bound, why};
}

/* A function of this program, outside librdkafka. */
void not_librdkafka(void) {}

TEST(RdkafkaApi, EveryFunctionIsTheLinkedLibrarys) {
  /* Looked up by name in the table's own order: each entry is the very
   * function the dynamic loader gives this program. */
#define CHECK_ENTRY(name)                                                      \
  EXPECT_EQ(dlsym(RTLD_DEFAULT, #name),                                        \
            reinterpret_cast<void *>(rdkafka_api.name))                        \
      << #name;
  RDKAFKA_API_FUNCTIONS(CHECK_ENTRY)
#undef CHECK_ENTRY
}

TEST(RdkafkaApi, SameCopyAgainKeepsTheBinding) {
  rdkafka_api_table before = rdkafka_api;
  auto r = bind_from(reinterpret_cast<const void *>(&rd_kafka_version));
  EXPECT_EQ(1, r.first) << r.second;
  /* Any address inside the library will do, not only a function's start. */
  r = bind_from(reinterpret_cast<const char *>(&rd_kafka_version) + 1);
  EXPECT_EQ(1, r.first) << r.second;
  EXPECT_EQ(0, memcmp(&before, &rdkafka_api, sizeof(before)));
}

TEST(RdkafkaApi, OtherCallersAreRefusedAndTheBindingStays) {
  rdkafka_api_table before = rdkafka_api;

  /* This program is not the librdkafka the plug-in is bound to. */
  auto r = bind_from(reinterpret_cast<const void *>(&not_librdkafka));
  EXPECT_EQ(0, r.first);
  EXPECT_NE(std::string::npos, r.second.find("conf_init called from "))
      << r.second;
  EXPECT_NE(std::string::npos, r.second.find("librdkafka.so.1")) << r.second;

  /* An address in no loaded file. */
  void *heap = malloc(16);
  r = bind_from(heap);
  free(heap);
  EXPECT_EQ(0, r.first);
  EXPECT_EQ("cannot find the librdkafka that loaded the plug-in", r.second);

  /* A reason longer than the buffer is cut, never overrun. */
  char small[16];
  memset(small, 'x', sizeof(small));
  EXPECT_EQ(0, rdkafka_api_bind(reinterpret_cast<const void *>(&not_librdkafka),
                                small, 8));
  EXPECT_EQ(7u, strlen(small));
  EXPECT_EQ('x', small[8]);

  EXPECT_EQ(0, memcmp(&before, &rdkafka_api, sizeof(before)));
}

} // namespace
