/* A small program that uses the audio library the way a scripting host does: it loads
 * the library at run time, plays a stream and ends without BASS_Free. The exit test runs
 * it and fails when it does not end.
 *
 *   exit_host LIBRARY MODE URL
 *   MODE return   plays URL for a second, then returns from main
 *        thread   plays URL for a second, then another thread calls exit()
 *        connect  a thread connects to URL (a server that never answers) and the
 *                 program returns from main while that connect waits */
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bass.h"

#ifdef _WIN32
/* The path comes as UTF-8 from the test; loaded as the player loads it: a full path with
   backslashes, its folder searched for the DLLs it needs. */
static void* OpenLibrary(const char* path) {
  wchar_t wide[4096], full[4096];
  if (!MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 4096)) return NULL;
  const DWORD n = GetFullPathNameW(wide, 4096, full, NULL);
  if (n == 0 || n >= 4096) return NULL;
  return LoadLibraryExW(full, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}
#define Symbol(lib, name) ((void*)GetProcAddress((HMODULE)(lib), name))
static void Pause(void) { Sleep(INFINITE); }
static void SleepSecond(void) { Sleep(1000); }
#else
static void* OpenLibrary(const char* path) {
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib) fprintf(stderr, "%s\n", dlerror());
  return lib;
}
#define Symbol(lib, name) dlsym(lib, name)
static void Pause(void) { pause(); }
static void SleepSecond(void) { sleep(1); }
#endif

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
  void* lib = OpenLibrary(argv[1]);
  if (!lib) return 3;
  pInit = (__typeof__(pInit))Symbol(lib, "BASS_Init");
  pSetConfig = (__typeof__(pSetConfig))Symbol(lib, "BASS_SetConfig");
  pCreateUrl = (__typeof__(pCreateUrl))Symbol(lib, "BASS_StreamCreateURL");
  pPlay = (__typeof__(pPlay))Symbol(lib, "BASS_ChannelPlay");
  if (!pInit || !pSetConfig || !pCreateUrl || !pPlay) return 4;
  gUrl = argv[3];
  if (!pInit(0, 48000, 0, NULL, NULL)) return 5; /* device 0: the null output */
  pthread_t t;
  if (strcmp(argv[2], "connect") == 0) {
    pSetConfig(BASS_CONFIG_NET_TIMEOUT, 600000);
    pthread_create(&t, NULL, Connect, NULL);
    SleepSecond();
    return 0;
  }
  const HSTREAM h = pCreateUrl(gUrl, 0, 0, NULL, NULL);
  if (!h || !pPlay(h, FALSE)) return 6;
  SleepSecond();
  if (strcmp(argv[2], "thread") == 0) {
    pthread_create(&t, NULL, ExitNow, NULL);
    for (;;) Pause();
  }
  return 0;
}
