/* Binding of the plug-in's librdkafka functions to the librdkafka copy that
 * loaded it.
 *
 * The copy is found from an address inside it: conf_init passes its return
 * address, which lies in the librdkafka function that called it. The object
 * that holds that address is either a shared library (the system's, or a
 * private, renamed copy opened with RTLD_LOCAL) or the program itself, with
 * librdkafka linked in. Every function is looked up in that object alone:
 * a function found anywhere else would belong to another copy. */
#include "platform/rdkafka_api.h"

#include "tinycthread/tinycthread.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <link.h>

rdkafka_api_table rdkafka_api;

/* Guards the binding state below; conf_init may run on any thread. */
static tinycthread::mtx_t rdkafka_api_lock = PTHREAD_MUTEX_INITIALIZER;
/* Start of the bound object in memory; none until bound. */
static const void *rdkafka_api_base;
/* The bound object's file name, for diagnostics. */
static char rdkafka_api_file[256];

/* The names looked up, in table order. */
static const char *const rdkafka_api_names[] = {
#define RDKAFKA_API_NAME(name) #name,
    RDKAFKA_API_FUNCTIONS(RDKAFKA_API_NAME)
#undef RDKAFKA_API_NAME
};
static constexpr size_t RDKAFKA_API_CNT =
    sizeof(rdkafka_api_names) / sizeof(*rdkafka_api_names);
static_assert(sizeof(rdkafka_api_table) == RDKAFKA_API_CNT * sizeof(void *),
              "one pointer per name");

/* The name of an object for diagnostics (the loader names the program after
 * its argv[0]); "the program" when it has none. */
static const char *rdkafka_api_object_name(const Dl_info *info) {
  return info->dli_fname && *info->dli_fname ? info->dli_fname : "the program";
}

/* Opens a handle on the already loaded object lm without loading anything:
 * the program's own handle for the program. */
static void *rdkafka_api_open(const struct link_map *lm) {
  if (!lm->l_name || !*lm->l_name)
    return dlopen(nullptr, RTLD_LAZY);
  return dlopen(lm->l_name, RTLD_LAZY | RTLD_NOLOAD);
}

/* Looks up every function in handle into fns, accepting only definitions in
 * the object that starts at base; 1 when all are found. `rdkafka_api_lock`
 * held. */
static int rdkafka_api_lookup(void *handle, const void *base, void **fns,
                              const Dl_info *info, char *errstr,
                              size_t errstr_size) {
  size_t missing = 0;
  const char *first = nullptr;
  for (size_t i = 0; i < RDKAFKA_API_CNT; i++) {
    Dl_info found;
    fns[i] = dlsym(handle, rdkafka_api_names[i]);
    if (fns[i] && dladdr(fns[i], &found) && found.dli_fbase == base)
      continue;
    if (!missing++)
      first = rdkafka_api_names[i];
  }
  if (!missing)
    return 1;
  if (missing == 1)
    snprintf(errstr, errstr_size,
             "librdkafka function %s not found in %s (librdkafka's symbols "
             "must be exported)",
             first, rdkafka_api_object_name(info));
  else
    snprintf(errstr, errstr_size,
             "librdkafka function %s and %zu more not found in %s "
             "(librdkafka's symbols must be exported)",
             first, missing - 1, rdkafka_api_object_name(info));
  return 0;
}

/* Binds the table to the object that contains addr. `rdkafka_api_lock`
 * held. */
static int rdkafka_api_bind_locked(const void *addr, char *errstr,
                                   size_t errstr_size) {
  Dl_info info;
  struct link_map *lm = nullptr;
  if (!dladdr1(addr, &info, reinterpret_cast<void **>(&lm), RTLD_DL_LINKMAP) ||
      !lm) {
    snprintf(errstr, errstr_size,
             "cannot find the librdkafka that loaded the plug-in");
    return 0;
  }

  if (rdkafka_api_base) {
    if (info.dli_fbase == rdkafka_api_base)
      return 1;
    snprintf(errstr, errstr_size,
             "conf_init called from %s, not from the librdkafka in %s that "
             "the plug-in is bound to",
             rdkafka_api_object_name(&info), rdkafka_api_file);
    return 0;
  }

  void *handle = rdkafka_api_open(lm);
  if (!handle) {
    const char *why = dlerror();
    snprintf(errstr, errstr_size, "cannot open %s: %s",
             rdkafka_api_object_name(&info), why ? why : "not loaded");
    return 0;
  }
  void *fns[RDKAFKA_API_CNT];
  if (!rdkafka_api_lookup(handle, info.dli_fbase, fns, &info, errstr,
                          errstr_size)) {
    dlclose(handle);
    return 0;
  }
  /* The handle stays open: the bound copy stays mapped while the plug-in,
   * which is never unloaded, may call it. */
  memcpy(&rdkafka_api, fns, sizeof(rdkafka_api));
  snprintf(rdkafka_api_file, sizeof(rdkafka_api_file), "%s",
           rdkafka_api_object_name(&info));
  rdkafka_api_base = info.dli_fbase;
  return 1;
}

/* Binds the table once per process; any thread. */
int rdkafka_api_bind(const void *addr, char *errstr, size_t errstr_size) {
  tinycthread::mtx_lock(&rdkafka_api_lock);
  int bound = rdkafka_api_bind_locked(addr, errstr, errstr_size);
  tinycthread::mtx_unlock(&rdkafka_api_lock);
  return bound;
}
