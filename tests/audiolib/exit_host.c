/* A small program that uses the audio library the way a scripting host does: it loads
 * libbass.so at run time, plays a stream and ends without BASS_Free. The exit test runs
 * it and fails when it does not end.
 *
 *   exit_host LIBRARY MODE URL
 *   MODE return   plays URL for a second, then returns from main
 *        thread   plays URL for a second, then another thread calls exit()
 *        connect  a thread connects to URL (a server that never answers) and the
 *                 program returns from main while that connect waits */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <stdlib.h>

#include "bass.h"

static __typeof__(&BASS_Init) pInit;
static __typeof__(&BASS_SetConfig) pSetConfig;
static __typeof__(&BASS_StreamCreateURL) pCreateUrl;
static __typeof__(&BASS_ChannelPlay) pPlay;
static const char* gUrl;

static void* Connect(void* arg) {
  (void)arg;
  pCreateUrl(gUrl, 0, 0, NULL, NULL);
  return NULL;
}

static void* ExitNow(void* arg) {
  (void)arg;
  exit(0);
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "%s\n", dlerror());
    return 3;
  }
  pInit = (__typeof__(pInit))dlsym(lib, "BASS_Init");
  pSetConfig = (__typeof__(pSetConfig))dlsym(lib, "BASS_SetConfig");
  pCreateUrl = (__typeof__(pCreateUrl))dlsym(lib, "BASS_StreamCreateURL");
  pPlay = (__typeof__(pPlay))dlsym(lib, "BASS_ChannelPlay");
  if (!pInit || !pSetConfig || !pCreateUrl || !pPlay) return 4;
  gUrl = argv[3];
  if (!pInit(0, 48000, 0, NULL, NULL)) return 5; /* device 0: the null output */
  pthread_t t;
  if (strcmp(argv[2], "connect") == 0) {
    pSetConfig(BASS_CONFIG_NET_TIMEOUT, 600000);
    pthread_create(&t, NULL, Connect, NULL);
    sleep(1);
    return 0;
  }
  const HSTREAM h = pCreateUrl(gUrl, 0, 0, NULL, NULL);
  if (!h || !pPlay(h, FALSE)) return 6;
  sleep(1);
  if (strcmp(argv[2], "thread") == 0) {
    pthread_create(&t, NULL, ExitNow, NULL);
    for (;;) pause();
  }
  return 0;
}
