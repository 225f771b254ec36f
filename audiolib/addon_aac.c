/* The AAC add-on: registering it lets the core play AAC (ADTS) and AAC in MP4, and
   brings the add-on's two options. */
#include "bass.h"

BASS_EXPORT int BassAddonRegister(const BASS_ADDON_HOST* host) {
  if (!host || (host->version & 0xFFFF0000u) != 0x02040000u) return 0;
  return host->EnableFormat(BASS_CTYPE_STREAM_AAC) && host->EnableFormat(BASS_CTYPE_STREAM_MP4) &&
         host->AddConfigOption(BASS_CONFIG_MP4_VIDEO, 0) && host->AddConfigOption(BASS_CONFIG_AAC_MP4, 1);
}
