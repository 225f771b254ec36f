/* A stand-in audio library that only reports a version, for the loader's check. */
#include <stdint.h>

__attribute__((visibility("default"))) uint32_t BASS_GetVersion(void) { return FAKE_VERSION; }
