/* The application's main program. With W4HOST_MODULE it is a program
 * without librdkafka that loads a module carrying its own copy, privately
 * (as language bindings do); otherwise librdkafka is linked into it. */
#include "host_scenario.h"

#include <cstdio>
#include <dlfcn.h>

#ifndef W4HOST_OWN_COPY
#define W4HOST_OWN_COPY nullptr
#endif

int main() {
  host_params hp = {W4HOST_PLUGIN_PATH, W4HOST_SYSTEM_RDKAFKA, W4HOST_OWN_COPY,
                    W4HOST_MONITORED};
#ifdef W4HOST_MODULE
  void *module = dlopen(W4HOST_MODULE, RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    fprintf(stderr, "host: cannot load the module: %s\n", dlerror());
    return 1;
  }
  /* The module's librdkafka is private to it: no global name finds it. */
  if (dlsym(RTLD_DEFAULT, "rd_kafka_new")) {
    fprintf(stderr, "host: FAILED: librdkafka is visible to the program\n");
    return 1;
  }
  auto run =
      reinterpret_cast<int (*)(const host_params *)>(dlsym(module, "host_run"));
  if (!run) {
    fprintf(stderr, "host: the module has no host_run: %s\n", dlerror());
    return 1;
  }
  int rc = run(&hp);
  dlclose(module);
  return rc;
#else
  return host_run(&hp);
#endif
}
