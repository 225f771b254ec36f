/* A stand-in audio library that only reports a version, for the loader's check. */
#include <stdint.h>

#ifdef _WIN32
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

EXPORT uint32_t BASS_GetVersion(void) { return FAKE_VERSION; }
