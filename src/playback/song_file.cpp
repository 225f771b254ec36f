// Saved songs: a title's file cut from the stream's own bytes. MP3 and ADTS frames are
// taken whole, between frame boundaries, behind an ID3v2.4 tag; Ogg pages keep their
// packets and get headers, numbering, granules and checksums of their own.
#include <algorithm>
#include <cstring>

#include "base/text.h"
#include "playback/playback.h"

namespace {

// A tag text longer than this is cut (at a character boundary): a title of 4 KiB is a
// hostile one, not a song's.
constexpr size_t kSongTagLimit = 1024;

const unsigned char* Bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// Valid UTF-8 without control characters, at most kSongTagLimit bytes, blanks trimmed.
std::string SanitiseTag(std::string_view text) {
  std::string out;
  size_t pos = 0, length = 1;
  while (pos < text.size()) {
    int32_t cp = DecodeUtf8(text, pos, &length);
    if (cp >= 0x20 && cp != 0x7F && !(cp >= 0x80 && cp < 0xA0)) {
      if (out.size() + length > kSongTagLimit) break;
      out.append(text.substr(pos, length));
    }
    pos += length;
  }
  return TrimBlanks(out);
}

// A date kept only in the timestamp form both tag formats read ("2026", "2026-12-07",
// "2026-12-07T22:05:00"); anything else is left out.
std::string SanitiseDate(std::string_view text) {
  static const char kPattern[] = "dddd-dd-ddTdd:dd:dd";
  size_t n = std::min(text.size(), sizeof kPattern - 1);
  for (size_t i = 0; i < n; ++i) {
    char want = kPattern[i];
    char c = text[i];
    if (want == 'd' ? (c < '0' || c > '9') : c != want) {
      n = i;
      break;
    }
  }
  // Only the whole fields: year, month, day, hour, minute, second.
  static const size_t kEnds[] = {19, 16, 13, 10, 7, 4};
  for (size_t end : kEnds)
    if (n >= end) return std::string(text.substr(0, end));
  return {};
}

// ---------------------------------------------------------------------------------------
// ID3v2.4
// ---------------------------------------------------------------------------------------

void AppendSynchsafe(std::string& out, uint32_t value) {
  out.push_back(char((value >> 21) & 0x7F));
  out.push_back(char((value >> 14) & 0x7F));
  out.push_back(char((value >> 7) & 0x7F));
  out.push_back(char(value & 0x7F));
}

void AppendTextFrame(std::string& out, const char* id, const std::string& text) {
  if (text.empty()) return;
  out.append(id, 4);
  AppendSynchsafe(out, uint32_t(text.size() + 1));
  out.append(2, '\0');
  out.push_back('\3');  // UTF-8
  out += text;
}

// The tag in front of an MP3 or ADTS file; "" when no field is known.
std::string BuildId3Tag(const SongTags& tags) {
  std::string frames;
  AppendTextFrame(frames, "TPE1", SanitiseTag(tags.artist));
  AppendTextFrame(frames, "TIT2", SanitiseTag(tags.title));
  AppendTextFrame(frames, "TALB", SanitiseTag(tags.album));
  AppendTextFrame(frames, "TPUB", SanitiseTag(tags.publisher));
  AppendTextFrame(frames, "TDRC", SanitiseDate(tags.date));
  if (frames.empty()) return {};
  std::string tag("ID3\4\0\0", 6);
  AppendSynchsafe(tag, uint32_t(frames.size()));
  return tag + frames;
}

// The size of the ID3v2 tag (with footer) at data[pos], 0 when none starts there; may
// reach past the end of data.
size_t Id3TagSize(std::string_view data, size_t pos) {
  if (data.size() - pos < 10) return 0;
  const unsigned char* p = Bytes(data) + pos;
  if (p[0] != 'I' || p[1] != 'D' || p[2] != '3' || p[3] < 2 || p[3] > 4 || p[4] == 0xFF) return 0;
  if ((p[6] | p[7] | p[8] | p[9]) & 0x80) return 0;
  size_t size = (size_t(p[6]) << 21) | (size_t(p[7]) << 14) | (size_t(p[8]) << 7) | p[9];
  return 10 + size + ((p[3] == 4 && (p[5] & 0x10)) ? 10 : 0);
}

// ---------------------------------------------------------------------------------------
// MP3 and ADTS frames
// ---------------------------------------------------------------------------------------

enum FrameCodec { kFrameMp3, kFrameAdts };

struct FrameHeader {
  size_t length = 0;  // the whole frame, header included
  uint32_t kind = 0;  // what stays the same from frame to frame of one stream
};

constexpr size_t kMp3HeaderSize = 4;
constexpr size_t kAdtsHeaderSize = 7;

// An MPEG audio frame header (MPEG-1, 2 and 2.5; layers I, II and III) at p, which has
// at least kMp3HeaderSize bytes. Free-format frames have no length here and are refused.
int ParseMp3Header(const unsigned char* p, FrameHeader* header) {
  static const uint16_t kBitrates[2][3][15] = {{{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
                                                {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
                                                {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
                                               {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
                                                {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
                                                {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static const uint32_t kRates[3] = {44100, 48000, 32000};
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return 0;
  unsigned version = (p[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  unsigned layerBits = (p[1] >> 1) & 3;
  unsigned bitrateIndex = p[2] >> 4;
  unsigned rateIndex = (p[2] >> 2) & 3;
  if (version == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return 0;
  if ((p[3] & 3) == 2) return 0;   // reserved emphasis
  unsigned layer = 4 - layerBits;  // 1, 2, 3
  uint32_t rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  uint32_t bitrate = uint32_t(kBitrates[version == 3 ? 0 : 1][layer - 1][bitrateIndex]) * 1000;
  unsigned padding = (p[2] >> 1) & 1;
  if (layer == 1) {
    header->length = (12 * bitrate / rate + padding) * 4;
  } else {
    uint32_t factor = (layer == 3 && version != 3) ? 72 : 144;
    header->length = factor * bitrate / rate + padding;
  }
  // Version, layer, rate and mono or not: a change in any of them is another stream.
  header->kind = (version << 4) | (layerBits << 2) | rateIndex | (((p[3] >> 6) == 3) ? 0x100 : 0);
  return header->length > kMp3HeaderSize;
}

// An ADTS header at p, which has at least kAdtsHeaderSize bytes.
int ParseAdtsHeader(const unsigned char* p, FrameHeader* header) {
  if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return 0;
  unsigned rateIndex = (p[2] >> 2) & 0xF;
  if (rateIndex > 12) return 0;
  size_t headerSize = (p[1] & 1) ? 7 : 9;  // 9 with the CRC
  header->length = (size_t(p[3] & 3) << 11) | (size_t(p[4]) << 3) | (p[5] >> 5);
  unsigned channels = ((p[2] & 1) << 2) | (p[3] >> 6);
  // MPEG version, CRC, profile, rate and channels stay the same within one stream.
  header->kind = (uint32_t(p[1] & 0x09) << 12) | (uint32_t(p[2] >> 6) << 8) | (rateIndex << 3) | channels;
  return header->length > headerSize;
}

size_t FrameHeaderSize(FrameCodec codec) { return codec == kFrameMp3 ? kMp3HeaderSize : kAdtsHeaderSize; }

int ParseFrameHeader(FrameCodec codec, std::string_view data, size_t pos, FrameHeader* header) {
  if (data.size() - pos < FrameHeaderSize(codec)) return 0;
  const unsigned char* p = Bytes(data) + pos;
  return codec == kFrameMp3 ? ParseMp3Header(p, header) : ParseAdtsHeader(p, header);
}

// A frame of either codec at pos whose next frame of the same kind follows it: the sign
// that a stream of that codec is there (not a chance sync word in other data).
int ConfirmedFrame(FrameCodec codec, std::string_view data, size_t pos, FrameHeader* header) {
  FrameHeader next;
  if (!ParseFrameHeader(codec, data, pos, header)) return 0;
  if (header->length > data.size() - pos) return 0;
  return ParseFrameHeader(codec, data, pos + header->length, &next) && next.kind == header->kind;
}

// Another stream begins at pos: frames of another kind or codec, or Ogg pages.
int ForeignStreamAt(FrameCodec codec, uint32_t kind, std::string_view data, size_t pos) {
  FrameHeader header;
  if (ConfirmedFrame(codec, data, pos, &header) && header.kind != kind) return 1;
  FrameCodec other = codec == kFrameMp3 ? kFrameAdts : kFrameMp3;
  if (ConfirmedFrame(other, data, pos, &header)) return 1;
  return data.substr(pos, 4) == "OggS";
}

// The byte ranges of the title's whole frames. A frame is taken when the next frame's
// header (or an ID3 tag) follows it, or when it ends the buffer exactly, or when what
// follows it is the start of such a header cut by the end of the buffer. Anything that is
// not a frame is skipped; a frame of another stream ends the walk.
struct FrameCut {
  std::vector<std::pair<size_t, size_t>> ranges;  // [begin, end), merged when adjacent
  size_t frames = 0;
  int foreign = 0;  // the walk stopped at another stream
};

void CutFrames(FrameCodec codec, std::string_view audio, FrameCut* cut) {
  const size_t n = audio.size();
  const size_t headerSize = FrameHeaderSize(codec);
  uint32_t kind = 0;
  // inRun: pos is where the buffer starts or where the last frame taken ends (a tag
  // between keeps it so).
  int haveKind = 0, inRun = 1;
  size_t pos = 0;
  while (pos < n) {
    if (size_t tag = Id3TagSize(audio, pos)) {
      if (tag > n - pos) break;
      pos += tag;
      continue;
    }
    if (inRun && n - pos >= 128 && audio.substr(pos, 3) == "TAG") {
      FrameHeader after;
      if (n - pos == 128 || ParseFrameHeader(codec, audio, pos + 128, &after)) {
        pos += 128;
        continue;
      }
    }
    FrameHeader header;
    if (ParseFrameHeader(codec, audio, pos, &header) && (!haveKind || header.kind == kind)) {
      size_t end = pos + header.length;
      if (header.length > n - pos) break;
      int nextOk;
      FrameHeader next;
      if (end == n) {
        nextOk = inRun;
      } else if (n - end < headerSize) {
        // The buffer ends inside the next header: the bytes there must begin one.
        size_t k = std::min<size_t>(n - end, 2);
        nextOk = audio.substr(end, k) == audio.substr(pos, k);
      } else {
        nextOk = (ParseFrameHeader(codec, audio, end, &next) && next.kind == header.kind) ||
                 Id3TagSize(audio, end) != 0 || audio.substr(end, 3) == "TAG";
      }
      if (nextOk) {
        if (!cut->ranges.empty() && cut->ranges.back().second == pos) {
          cut->ranges.back().second = end;
        } else {
          cut->ranges.emplace_back(pos, end);
        }
        ++cut->frames;
        kind = header.kind;
        haveKind = inRun = 1;
        pos = end;
        continue;
      }
    }
    if (haveKind && ForeignStreamAt(codec, kind, audio, pos)) {
      cut->foreign = 1;
      break;
    }
    inRun = 0;
    ++pos;
  }
}

int BuildFrameFile(FrameCodec codec, std::string_view audio, const SongTags& tags, std::string* file,
                   std::string* error) {
  FrameCut cut;
  CutFrames(codec, audio, &cut);
  if (cut.frames == 0) {
    *error = codec == kFrameMp3 ? "the title's audio holds no complete MP3 frame"
                                : "the title's audio holds no complete ADTS frame";
    return 0;
  }
  size_t size = 0;
  for (const auto& r : cut.ranges) size += r.second - r.first;
  std::string out = BuildId3Tag(tags);
  out.reserve(out.size() + size);
  for (const auto& r : cut.ranges) out.append(audio.substr(r.first, r.second - r.first));
  *file = std::move(out);
  return 1;
}

int SameCodec(std::string_view codec, std::string_view name) {
  return codec.size() == name.size() && LowerAscii(codec) == name;
}

}  // namespace

int BuildSongFile(std::string_view codec, std::string_view streamStart, std::string_view audio, const SongTags& tags,
                  int fromTitleStart, std::string* file, std::string* error) {
  (void)streamStart;
  (void)fromTitleStart;
  file->clear();
  error->clear();
  if (SameCodec(codec, "mp3")) return BuildFrameFile(kFrameMp3, audio, tags, file, error);
  if (SameCodec(codec, "aac")) return BuildFrameFile(kFrameAdts, audio, tags, file, error);
  *error = "songs of this stream's format (" + SanitiseTag(codec.substr(0, 16)) + ") cannot be saved";
  return 0;
}

std::string SongFileExtension(std::string_view codec, std::string_view streamStart) {
  (void)streamStart;
  if (SameCodec(codec, "mp3")) return ".mp3";
  if (SameCodec(codec, "aac")) return ".aac";
  return ".ogg";
}
