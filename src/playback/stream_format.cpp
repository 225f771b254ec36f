// What was connected: codec, rate, channels, bitrate and the server's station name from
// the audio library and the HTTP/ICY response headers; and the now-playing title from
// the stream's in-band "StreamTitle" metadata.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "base/base.h"
#include "playback/playback.h"

namespace {

// Header lists and metadata come from the library as NUL-terminated text; never read
// further than this even if a terminator were missing.
constexpr size_t kMaxTagBytes = 1 << 20;
// Characters of metadata that are looked at.
constexpr size_t kMaxTitleChars = 256;

std::string FirstCharacters(const std::string& utf8, size_t count) {
  size_t chars = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
      if (chars == count) return utf8.substr(0, i);
      ++chars;
    }
  }
  return utf8;
}

}  // namespace

std::string CodecFromWaveFormat(int tag) {
  switch (tag) {
    case 0x0001:
    case 0x0003:
      return "WAV|wav";
    case 0x0008:
    case 0x2001:
      return "DTS|dts";
    case 0x000A:
    case 0x000B:
    case 0x0160:
    case 0x0161:
    case 0x0162:
    case 0x0163:
    case 0x0164:
      return "WMA|wma";
    case 0x0050:
      return "MPEG|mpg";
    case 0x0055:
      return "MP3|mp3";
    case 0x0092:
    case 0x0241:
      return "AC3|ac3";
    case 0x00FF:
    case 0x1600:
    case 0x1601:
    case 0x1602:
      return "AAC|aac";
    case 0x1610:
      return "(HE-)AAC|aac";
    default:
      return "?|";
  }
}

int CodecFromChannelType(uint32_t ctype, std::string& name, std::string& ext) {
  struct Row {
    uint32_t ctype;
    const char* name;
    const char* ext;
  };
  static const Row kRows[] = {
      {BASS_CTYPE_STREAM_OPUS, "Opus", "opus"},    {BASS_CTYPE_STREAM_AAC, "(HE-)AAC", ""},
      {BASS_CTYPE_STREAM_MP4, "MP4", "mp4"},       {BASS_CTYPE_STREAM_AIFF, "AIFF", "aiff"},
      {BASS_CTYPE_STREAM_MP1, "MP1", "mp1"},       {BASS_CTYPE_STREAM_MP2, "MP2", "mp2"},
      {BASS_CTYPE_STREAM_MP3, "MP3", "mp3"},       {BASS_CTYPE_STREAM_VORBIS, "Vorbis", "ogg"},
      {BASS_CTYPE_STREAM_WAV, "WAV", "wav"},       {BASS_CTYPE_STREAM_WAV_PCM, "WAV", "wav"},
      {BASS_CTYPE_STREAM_WAV_FLOAT, "WAV", "wav"},
  };
  name = "?";
  ext = "";
  if (ctype == BASS_CTYPE_STREAM_MF) return 0;
  for (const Row& r : kRows) {
    if (r.ctype == ctype) {
      name = r.name;
      ext = r.ext;
      break;
    }
  }
  return 1;
}

void ParseStreamHeaderLine(std::string_view line, int splitShow, StreamHeaders& out) {
  static constexpr std::string_view kNotice = "icy-notice2:SHOUTcast ";
  static constexpr std::string_view kLegacy = " v1.9.8<BR>";
  if (line.size() >= kNotice.size() + kLegacy.size() && line.substr(0, kNotice.size()) == kNotice &&
      line.substr(line.size() - kLegacy.size()) == kLegacy)
    out.legacyServer = 1;
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  std::string name = LowerAscii(TrimBlanks(line.substr(0, colon)));
  std::string_view value = line.substr(colon + 1);
  if (name == "icy-br") {
    // Untrusted: a negative or absurd value must not overflow the multiplication.
    int64_t kbit = LeadingInteger(value);
    if (kbit < 0) kbit = 0;
    if (kbit > std::numeric_limits<int64_t>::max() / 1000) kbit = std::numeric_limits<int64_t>::max() / 1000;
    out.bitrate = kbit * 1000;
  } else if (name == "icy-name") {
    out.hasName = 1;
    out.serverName = TrimBlanks(value);
    if (!splitShow) return;
    const std::string& s = out.serverName;
    size_t at = s.find('@');
    size_t sep = 1;
    if (at == std::string::npos) {
      at = LowerAscii(s).find(" at ");
      sep = 4;
    }
    if (at == std::string::npos) {
      out.showName = s;
      out.showInfo = "";
    } else {
      out.showName = TrimBlanks(std::string_view(s).substr(0, at));
      out.showInfo = TrimBlanks(std::string_view(s).substr(at + sep));
    }
  }
}

void ParseStreamHeaders(const char* list, size_t maxBytes, int splitShow, StreamHeaders& out) {
  if (!list) return;
  size_t offset = 0;
  while (offset < maxBytes && list[offset] != '\0') {
    size_t len = strnlen(list + offset, maxBytes - offset);
    ParseStreamHeaderLine(DecodeStreamText(std::string_view(list + offset, len), 0), splitShow, out);
    offset += len + 1;
  }
}

void ReadStreamFormat() {
  gPlayer.bitrate = 0;
  gPlayer.sampleRate = 0;
  gPlayer.channels = 0;
  // A stale legacy flag or server name from the previous stream would mislabel this one.
  gPlayer.legacyServer = 0;
  SetPlayerString(&PlayerState::codecName, "");
  SetPlayerString(&PlayerState::serverName, "");
  HSTREAM h = gPlayer.streamHandle.load();
  if (h == 0 || !gBass.BASS_ChannelGetInfo) return;
  std::lock_guard<std::mutex> lock(gPlayer.streamLock);

  BASS_CHANNELINFO info{};
  if (gBass.BASS_ChannelGetInfo(h, &info)) {
    std::string name, ext;
    if (!CodecFromChannelType(info.ctype, name, ext)) {
      const auto* wf = reinterpret_cast<const BASS_WAVEFORMATEX*>(gBass.BASS_ChannelGetTags(h, BASS_TAG_WAVEFORMAT));
      if (wf && wf->wFormatTag != 0xFFFE) {
        std::string s = CodecFromWaveFormat(wf->wFormatTag);
        name = s.substr(0, s.find('|'));
      }
    }
    SetPlayerString(&PlayerState::codecName, name);

    const char* tags = gBass.BASS_ChannelGetTags(h, BASS_TAG_ICY);
    if (!tags) tags = gBass.BASS_ChannelGetTags(h, BASS_TAG_HTTP);
    int custom = !PlayerString(&PlayerState::customUrl).empty();
    StreamHeaders headers;
    ParseStreamHeaders(tags, kMaxTagBytes, custom, headers);
    gPlayer.legacyServer = headers.legacyServer;
    gPlayer.bitrate = headers.bitrate;
    if (headers.hasName) {
      SetPlayerString(&PlayerState::serverName, headers.serverName);
      if (custom) {
        SetPlayerString(&PlayerState::showName, headers.showName);
        SetPlayerString(&PlayerState::showInfo, headers.showInfo);
      }
    }
    gPlayer.sampleRate = int64_t(info.freq);
    gPlayer.channels = int64_t(info.chans);
  }

  float kbit = 0.0f;
  if (gPlayer.bitrate == 0 && gBass.BASS_ChannelGetAttribute(h, BASS_ATTRIB_BITRATE, &kbit) && std::isfinite(kbit) &&
      kbit > 0.0f && kbit < 1e9f)
    gPlayer.bitrate = std::llround(double(kbit) * 1000.0);
}

std::string StreamTitleField(std::string_view meta, int legacy) {
  std::string text = FirstCharacters(DecodeStreamText(meta, legacy), kMaxTitleChars);
  size_t url = LowerAscii(text).find("';streamurl='");
  if (url != std::string::npos) text.resize(url + 2);
  static constexpr std::string_view kPrefix = "StreamTitle='";
  if (text.compare(0, kPrefix.size(), kPrefix) == 0) {
    if (text.size() >= kPrefix.size() + 2 && text.compare(text.size() - 2, 2, "';") == 0) {
      text = text.substr(kPrefix.size(), text.size() - kPrefix.size() - 2);
    } else if (text.size() == kPrefix.size() + 1 && text.back() == ';') {
      text.clear();  // "StreamTitle=';": the quotes overlap, nothing between them
    } else {
      // Servers that drop the closing quote (or the ";") still name a title; show it
      // without the field syntax around it.
      text.erase(0, kPrefix.size());
      if (!text.empty() && text.back() == ';') text.pop_back();
      if (!text.empty() && text.back() == '\'') text.pop_back();
    }
  }
  return text;
}

int ParseStreamTitleText(std::string_view meta, int legacy, NowPlaying& value) {
  std::string text = StreamTitleField(meta, legacy);
  if (text.empty()) return 0;
  value.artist.clear();
  value.album.clear();
  size_t dash = text.find(" - ");
  if (dash == std::string::npos) {
    value.title = text;
    return 1;
  }
  value.artist = text.substr(0, dash);
  value.title = text.substr(dash + 3);
  size_t second = value.title.find(" - ");
  if (second != std::string::npos) {
    value.album = value.title.substr(0, second);
    value.title = value.title.substr(second + 3);
  }
  return 1;
}

namespace {
// The title field of the last metadata ParseStreamTitle took; main thread only.
std::string gStreamTitleText;
}  // namespace

void ParseStreamTitle() {
  std::string bytes;
  {
    // The next title change that has reached the listener, in order.
    std::lock_guard<std::mutex> lock(gTitleQueue.lock);
    if (!gTitleQueue.due.empty()) {
      bytes = std::move(gTitleQueue.due.front());
      gTitleQueue.due.pop_front();
    }
  }
  // The title saving writes is the one the listener hears.
  if (!bytes.empty()) SongCaptureHeard(bytes);
  if (!bytes.empty()) {
    NowPlaying value = GetTrackInfo();
    if (ParseStreamTitleText(bytes, int(gPlayer.legacyServer.load()), value)) {
      SetTrackInfo(value);
      gStreamTitleText = StreamTitleField(bytes, int(gPlayer.legacyServer.load()));
    }
    return;
  }
  HSTREAM h = gPlayer.streamHandle.load();
  if (h == 0 || !gBass.BASS_ChannelGetTags) return;
  {
    std::lock_guard<std::mutex> lock(gPlayer.streamLock);
    if (gPlayer.streamHandle.load() != h) return;
    const char* meta = gBass.BASS_ChannelGetTags(h, BASS_TAG_META);
    if (!meta) return;
    bytes.assign(meta, strnlen(meta, kMaxTagBytes));
  }
  NowPlaying value = GetTrackInfo();
  if (ParseStreamTitleText(bytes, int(gPlayer.legacyServer.load()), value)) {
    SetTrackInfo(value);
    gStreamTitleText = StreamTitleField(bytes, int(gPlayer.legacyServer.load()));
  }
}

std::string LastStreamTitleText() { return gStreamTitleText; }
