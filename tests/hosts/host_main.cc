/* The application's main program. With W4HOST_MODULE it is a program
 * without librdkafka that loads a module carrying its own copy, privately
 * (as language bindings do), and with W4HOST_SECOND_MODULE then a second
 * one carrying another copy; otherwise librdkafka is linked into it. */
#include "host_scenario.h"

#include <cstdio>
#include <dlfcn.h>

#ifdef W4HOST_MODULE
/* Loads a module privately and runs the application in it; the module stays
 * loaded in *module. */
static int run_module(const char *path, const host_params *hp, void **module) {
  *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!*module) {
    fprintf(stderr, "host: cannot load the module: %s\n", dlerror());
    return 1;
  }
  /* The module's librdkafka is private to it: no global name finds it. */
  if (dlsym(RTLD_DEFAULT, "rd_kafka_new")) {
    fprintf(stderr, "host: FAILED: librdkafka is visible to the program\n");
    return 1;
  }
  auto run = reinterpret_cast<int (*)(const host_params *)>(
      dlsym(*module, "host_run"));
  if (!run) {
    fprintf(stderr, "host: the module has no host_run: %s\n", dlerror());
    return 1;
  }
  return run(hp);
}
#endif

int main() {
#ifdef W4HOST_MODULE
  host_params hp = {W4HOST_PLUGIN_PATH, W4HOST_SYSTEM_RDKAFKA, W4HOST_OWN_COPY,
                    1, nullptr};
  void *module = nullptr, *second_module = nullptr;
  int rc = run_module(W4HOST_MODULE, &hp, &module);
#ifdef W4HOST_SECOND_MODULE
  /* Another copy in the same process: the plug-in stays with the first. */
  host_params second = {W4HOST_PLUGIN_PATH, W4HOST_SYSTEM_RDKAFKA,
                        W4HOST_SECOND_COPY, 0,
                        W4HOST_SECOND_COPY ", not from the librdkafka in "};
  if (!rc)
    rc = run_module(W4HOST_SECOND_MODULE, &second, &second_module);
#endif
  if (second_module)
    dlclose(second_module);
  if (module)
    dlclose(module);
  return rc;
#else
  host_params hp = {W4HOST_PLUGIN_PATH, W4HOST_SYSTEM_RDKAFKA, nullptr,
                    W4HOST_MONITORED, "W4IC: : librdkafka function rd_kafka_"};
  return host_run(&hp);
#endif
}
