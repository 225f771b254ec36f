/* The audio library's public C interface: the part of the BASS 2.4 interface that the
   player uses, with its published names and values, so that the vendor's own Linux
   build can be dropped into the data folder instead of ours. Every string is UTF-8. */
#ifndef CORVALE_AUDIOLIB_BASS_H
#define CORVALE_AUDIOLIB_BASS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library and its add-ons export only what is marked (hidden visibility on Linux,
   the DLL's export table on Windows). Users load them at run time and need no marks. */
#if defined(_WIN32)
#define BASS_EXPORT __declspec(dllexport)
#else
#define BASS_EXPORT __attribute__((visibility("default")))
#endif
#if defined(BASS_BUILDING_LIBRARY)
#define BASSDEF BASS_EXPORT
#else
#define BASSDEF
#endif

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
#if defined(_WIN32)
typedef unsigned long DWORD; /* as Windows' own headers have it, so a file may include both */
#else
typedef uint32_t DWORD;
#endif
typedef uint64_t QWORD;
typedef DWORD HSTREAM;
typedef DWORD HSYNC;
typedef DWORD HDSP;
typedef DWORD HPLUGIN;
typedef DWORD HSAMPLE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define BASSVERSION 0x204
#define BASS_LIBRARY_VERSION 0x02041100 /* 2.4.17.0 */

/* Error codes (per calling thread). */
#define BASS_OK 0
#define BASS_ERROR_MEM 1
#define BASS_ERROR_FILEOPEN 2
#define BASS_ERROR_DRIVER 3
#define BASS_ERROR_BUFLOST 4
#define BASS_ERROR_HANDLE 5
#define BASS_ERROR_FORMAT 6
#define BASS_ERROR_POSITION 7
#define BASS_ERROR_INIT 8
#define BASS_ERROR_START 9
#define BASS_ERROR_ALREADY 14
#define BASS_ERROR_NOCHAN 18
#define BASS_ERROR_ILLTYPE 19
#define BASS_ERROR_ILLPARAM 20
#define BASS_ERROR_NO3D 21
#define BASS_ERROR_NOEAX 22
#define BASS_ERROR_DEVICE 23
#define BASS_ERROR_NOPLAY 24
#define BASS_ERROR_FREQ 25
#define BASS_ERROR_NOTFILE 27
#define BASS_ERROR_NOHW 29
#define BASS_ERROR_EMPTY 31
#define BASS_ERROR_NONET 32
#define BASS_ERROR_CREATE 33
#define BASS_ERROR_NOFX 34
#define BASS_ERROR_NOTAVAIL 37
#define BASS_ERROR_DECODE 38
#define BASS_ERROR_DX 39
#define BASS_ERROR_TIMEOUT 40
#define BASS_ERROR_FILEFORM 41
#define BASS_ERROR_SPEAKER 42
#define BASS_ERROR_VERSION 43
#define BASS_ERROR_CODEC 44
#define BASS_ERROR_ENDED 45
#define BASS_ERROR_BUSY 46
#define BASS_ERROR_UNKNOWN -1

/* Configuration options. */
#define BASS_CONFIG_BUFFER 0
#define BASS_CONFIG_CURVE_VOL 7
#define BASS_CONFIG_FLOATDSP 9
#define BASS_CONFIG_NET_TIMEOUT 11
#define BASS_CONFIG_NET_BUFFER 12
#define BASS_CONFIG_NET_PREBUF 15
#define BASS_CONFIG_NET_AGENT 16
#define BASS_CONFIG_VERIFY 23
#define BASS_CONFIG_OPTION29 29 /* accepted and kept; no effect here */
#define BASS_CONFIG_DEV_DEFAULT 36
#define BASS_CONFIG_NET_READTIMEOUT 37
#define BASS_CONFIG_UNICODE 42
#define BASS_CONFIG_FLOAT 54
/* Options of the AAC add-on, known only once it is loaded. */
#define BASS_CONFIG_MP4_VIDEO 0x10700
#define BASS_CONFIG_AAC_MP4 0x10701

/* Flags. */
#define BASS_SAMPLE_FLOAT 0x100
#define BASS_STREAM_RESTRATE 0x80000
#define BASS_STREAM_BLOCK 0x100000
#define BASS_STREAM_STATUS 0x800000
#define BASS_UNICODE 0x80000000
#define BASS_STREAMPROC_END 0x80000000

/* Syncs. */
#define BASS_SYNC_END 2
#define BASS_SYNC_META 4
#define BASS_SYNC_DEV_FAIL 14
#define BASS_SYNC_MIXTIME 0x40000000
#define BASS_SYNC_ONETIME 0x80000000

/* Attributes. */
#define BASS_ATTRIB_FREQ 1
#define BASS_ATTRIB_VOL 2
#define BASS_ATTRIB_BITRATE 12

/* Tags. */
#define BASS_TAG_HTTP 3
#define BASS_TAG_ICY 4
#define BASS_TAG_META 5
#define BASS_TAG_WAVEFORMAT 14

/* File positions. */
#define BASS_FILEPOS_CURRENT 0
#define BASS_FILEPOS_DOWNLOAD 1
#define BASS_FILEPOS_END 2
#define BASS_FILEPOS_CONNECTED 4
#define BASS_FILEPOS_BUFFER 5

/* Channel states. */
#define BASS_ACTIVE_STOPPED 0
#define BASS_ACTIVE_PLAYING 1
#define BASS_ACTIVE_STALLED 2
#define BASS_ACTIVE_PAUSED 3

/* Level flags. */
#define BASS_LEVEL_MONO 1
#define BASS_LEVEL_STEREO 2
#define BASS_LEVEL_RMS 4

/* BASS_ChannelGetData length flags. */
#define BASS_DATA_AVAILABLE 0
#define BASS_DATA_FLOAT 0x40000000

/* Channel types. */
#define BASS_CTYPE_STREAM 0x10000
#define BASS_CTYPE_STREAM_VORBIS 0x10002
#define BASS_CTYPE_STREAM_MP1 0x10003
#define BASS_CTYPE_STREAM_MP2 0x10004
#define BASS_CTYPE_STREAM_MP3 0x10005
#define BASS_CTYPE_STREAM_AIFF 0x10006
#define BASS_CTYPE_STREAM_MF 0x10008
#define BASS_CTYPE_STREAM_AAC 0x10b00
#define BASS_CTYPE_STREAM_MP4 0x10b01
#define BASS_CTYPE_STREAM_OPUS 0x11200
#define BASS_CTYPE_STREAM_WAV 0x40000
#define BASS_CTYPE_STREAM_WAV_PCM 0x50001
#define BASS_CTYPE_STREAM_WAV_FLOAT 0x50003

typedef struct {
  DWORD freq;
  DWORD chans;
  DWORD flags;
  DWORD ctype;
  DWORD origres;
  HPLUGIN plugin;
  HSAMPLE sample;
  const char* filename;
} BASS_CHANNELINFO;

typedef struct {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
} __attribute__((packed)) BASS_WAVEFORMATEX;

typedef DWORD(STREAMPROC)(HSTREAM handle, void* buffer, DWORD length, void* user);
#define STREAMPROC_DUMMY ((STREAMPROC*)0)
typedef void(DOWNLOADPROC)(const void* buffer, DWORD length, void* user);
typedef void(SYNCPROC)(HSYNC handle, DWORD channel, DWORD data, void* user);
typedef void(DSPPROC)(HDSP handle, DWORD channel, void* buffer, DWORD length, void* user);

BASSDEF DWORD BASS_GetVersion(void);
BASSDEF BOOL BASS_SetConfig(DWORD option, DWORD value);
BASSDEF DWORD BASS_GetConfig(DWORD option);
BASSDEF BOOL BASS_SetConfigPtr(DWORD option, const void* value);
BASSDEF int BASS_ErrorGetCode(void);
BASSDEF BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, const void* clsid);
BASSDEF BOOL BASS_Free(void);
BASSDEF HPLUGIN BASS_PluginLoad(const char* file, DWORD flags);
BASSDEF HSTREAM BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC* proc, void* user);
BASSDEF HSTREAM BASS_StreamCreateURL(const char* url, DWORD offset, DWORD flags, DOWNLOADPROC* proc, void* user);
BASSDEF BOOL BASS_StreamFree(HSTREAM handle);
BASSDEF QWORD BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode);
BASSDEF DWORD BASS_ChannelIsActive(DWORD handle);
BASSDEF BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info);
BASSDEF const char* BASS_ChannelGetTags(DWORD handle, DWORD tags);
BASSDEF BOOL BASS_ChannelPlay(DWORD handle, BOOL restart);
BASSDEF BOOL BASS_ChannelStop(DWORD handle);
BASSDEF BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);
BASSDEF BOOL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value);
BASSDEF BOOL BASS_ChannelSlideAttribute(DWORD handle, DWORD attrib, float value, DWORD time);
BASSDEF QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode);
BASSDEF BOOL BASS_ChannelGetLevelEx(DWORD handle, float* levels, float length, DWORD flags);
BASSDEF DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length);
BASSDEF HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC* proc, void* user);
BASSDEF BOOL BASS_ChannelRemoveSync(DWORD handle, HSYNC sync);
BASSDEF HDSP BASS_ChannelSetDSP(DWORD handle, DSPPROC* proc, void* user, int priority);

/* Add-on registration (our own convention): an add-on exports BassAddonRegister, which
   BASS_PluginLoad calls with the host table so that the add-on can switch on the formats
   and options it brings. Returns 1 on success. */
typedef struct {
  DWORD version; /* BASS_LIBRARY_VERSION of the host */
  int (*EnableFormat)(DWORD ctype);
  int (*AddConfigOption)(DWORD option, DWORD defaultValue);
} BASS_ADDON_HOST;
typedef int(BASS_ADDON_REGISTER)(const BASS_ADDON_HOST* host);
#define BASS_ADDON_REGISTER_NAME "BassAddonRegister"

#ifdef __cplusplus
}
#endif

#endif
