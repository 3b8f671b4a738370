/* For programs that link the plug-in's objects together with librdkafka
 * (tests, benchmarks): binds the plug-in's librdkafka functions to the
 * librdkafka the program links, through the same lookup that conf_init makes
 * in the copy that loaded the plug-in. */
#include "platform/rdkafka_api.h"

#include <cstdio>
#include <cstdlib>

/* Binds before main: an address inside the linked librdkafka is that of one
 * of its functions outside the plug-in's table. */
static int rdkafka_api_bind_linked(void) {
  char why[400];
  if (!rdkafka_api_bind(reinterpret_cast<const void *>(&rd_kafka_version), why,
                        sizeof(why))) {
    fprintf(stderr, "cannot bind to the linked librdkafka: %s\n", why);
    abort();
  }
  return 1;
}

static const int rdkafka_api_linked = rdkafka_api_bind_linked();
