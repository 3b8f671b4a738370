/* An application that carries its own librdkafka, run once. */
#pragma once

struct host_params {
  const char *plugin_path;    /* the built plug-in */
  const char *system_rdkafka; /* the system's librdkafka.so.1, resolved */
  const char *own_copy;       /* file name of the application's own shared
                                 copy; none when linked into the program */
  int monitored;              /* the plug-in can bind to that copy */
  const char *refusal;        /* unmonitored: what its one line says */
};

/* Runs the scenario; 0 when every check passed (failures are printed). */
extern "C" __attribute__((visibility("default"))) int
host_run(const host_params *hp);
