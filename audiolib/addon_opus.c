/* The Opus add-on: registering it lets the core play Opus in Ogg. */
#include "bass.h"

BASS_EXPORT int BassAddonRegister(const BASS_ADDON_HOST* host) {
  if (!host || (host->version & 0xFFFF0000u) != 0x02040000u) return 0;
  return host->EnableFormat(BASS_CTYPE_STREAM_OPUS);
}
