// Saved songs: a title's file cut from the stream's own bytes. MP3 and ADTS frames are
// taken whole, between frame boundaries, behind an ID3v2.4 tag; Ogg pages keep their
// packets and get headers, numbering, granules and checksums of their own.
#include <algorithm>
#include <array>
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
    size_t tag = Id3TagSize(audio, pos);
    if (tag && tag <= n - pos) {
      pos += tag;
      continue;
    }
    // A tag cut by the buffer's end ends the title's audio; elsewhere it is junk.
    if (tag && inRun) break;
    if (inRun && n - pos >= 128 && audio.substr(pos, 3) == "TAG") {
      FrameHeader after;
      if (n - pos == 128 || ParseFrameHeader(codec, audio, pos + 128, &after)) {
        pos += 128;
        continue;
      }
    }
    FrameHeader header;
    int isFrame = ParseFrameHeader(codec, audio, pos, &header) && (!haveKind || header.kind == kind);
    if (isFrame && header.length > n - pos) {
      if (inRun) break;  // the last frame, torn by the buffer's end
      isFrame = 0;
    }
    if (isFrame) {
      size_t end = pos + header.length;
      int nextOk;
      FrameHeader next;
      if (end == n) {
        nextOk = inRun;
      } else if (n - end < headerSize) {
        // The buffer ends inside the next header: the bytes there must begin one.
        size_t k = std::min<size_t>(n - end, 2);
        nextOk = audio.substr(end, k) == audio.substr(pos, k);
      } else {
        // The frame before another stream is whole too: the walk stops after it.
        nextOk = (ParseFrameHeader(codec, audio, end, &next) && next.kind == header.kind) ||
                 Id3TagSize(audio, end) != 0 || audio.substr(end, 3) == "TAG" ||
                 ForeignStreamAt(codec, header.kind, audio, end);
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
    if (haveKind && ForeignStreamAt(codec, kind, audio, pos)) break;
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

// ---------------------------------------------------------------------------------------
// Ogg
// ---------------------------------------------------------------------------------------

constexpr size_t kOggHeaderSize = 27;
constexpr uint8_t kOggContinued = 1, kOggBos = 2, kOggEos = 4;
constexpr uint64_t kNoGranule = ~uint64_t(0);  // no packet ends on the page

// Ogg's CRC-32: polynomial 0x04C11DB7, not reflected, starting at 0.
uint32_t OggCrc(uint32_t crc, const unsigned char* p, size_t n) {
  static const auto kTable = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t r = i << 24;
      for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
      t[i] = r;
    }
    return t;
  }();
  for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ kTable[((crc >> 24) ^ p[i]) & 0xFF];
  return crc;
}

uint32_t ReadLe32(const unsigned char* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void AppendLe32(std::string& out, uint32_t value) {
  for (int k = 0; k < 4; ++k) out.push_back(char((value >> (8 * k)) & 0xFF));
}

struct OggPage {
  std::string_view bytes;  // the whole page
  uint8_t flags = 0;
  uint64_t granule = 0;
  uint32_t serial = 0, sequence = 0;
  std::string_view Lacing() const { return bytes.substr(kOggHeaderSize, Bytes(bytes)[26]); }
  std::string_view Body() const { return bytes.substr(kOggHeaderSize + Bytes(bytes)[26]); }
};

// A whole page with a right checksum at data[pos].
int ParseOggPage(std::string_view data, size_t pos, OggPage* page) {
  size_t left = data.size() - pos;
  if (left < kOggHeaderSize) return 0;
  const unsigned char* p = Bytes(data) + pos;
  if (std::memcmp(p, "OggS", 4) != 0 || p[4] != 0) return 0;
  size_t segments = p[26];
  if (left < kOggHeaderSize + segments) return 0;
  size_t size = kOggHeaderSize + segments;
  for (size_t k = 0; k < segments; ++k) size += p[kOggHeaderSize + k];
  if (left < size) return 0;
  static const unsigned char kZero[4] = {0, 0, 0, 0};
  uint32_t crc = OggCrc(0, p, 22);
  crc = OggCrc(crc, kZero, 4);
  crc = OggCrc(crc, p + 26, size - 26);
  if (crc != ReadLe32(p + 22)) return 0;
  page->bytes = data.substr(pos, size);
  page->flags = p[5];
  page->granule = uint64_t(ReadLe32(p + 6)) | (uint64_t(ReadLe32(p + 10)) << 32);
  page->serial = ReadLe32(p + 14);
  page->sequence = ReadLe32(p + 18);
  return 1;
}

// Every whole, intact page; whatever lies between them (a torn page, junk) is skipped.
std::vector<OggPage> ScanOggPages(std::string_view data) {
  std::vector<OggPage> pages;
  size_t pos = 0;
  while ((pos = data.find("OggS", pos)) != std::string_view::npos) {
    OggPage page;
    if (ParseOggPage(data, pos, &page)) {
      pages.push_back(page);
      pos += page.bytes.size();
    } else {
      ++pos;
    }
  }
  return pages;
}

// The header packets of an Opus or Vorbis stream and the number of its pages they took.
struct OggHeaders {
  int opus = 0;
  std::vector<std::string> packets;  // Opus: head, tags; Vorbis: identification, comment, setup
  size_t pages = 0;
};

// Reads the header packets from the stream's pages, the first of them its BOS page.
int ReadOggHeaders(const std::vector<const OggPage*>& pages, OggHeaders* headers) {
  if (pages.empty() || !(pages[0]->flags & kOggBos) || (pages[0]->flags & kOggContinued)) return 0;
  std::string_view first = pages[0]->Body();
  size_t wanted;
  if (first.substr(0, 8) == "OpusHead") {
    headers->opus = 1;
    wanted = 2;
  } else if (first.substr(0, 7) == std::string_view("\1vorbis", 7)) {
    wanted = 3;
  } else {
    return 0;
  }
  std::string packet;
  for (size_t i = 0; i < pages.size() && headers->packets.size() < wanted; ++i) {
    if (i > 0 && pages[i]->sequence != pages[i - 1]->sequence + 1) return 0;
    std::string_view lacing = pages[i]->Lacing(), body = pages[i]->Body();
    size_t offset = 0;
    for (size_t k = 0; k < lacing.size() && headers->packets.size() < wanted; ++k) {
      size_t n = Bytes(lacing)[k];
      packet.append(body.substr(offset, n));
      offset += n;
      if (n < 255) {
        headers->packets.push_back(std::move(packet));
        packet.clear();
      }
    }
    headers->pages = i + 1;
  }
  if (headers->packets.size() < wanted) return 0;
  const auto& p = headers->packets;
  if (headers->opus) return p[0].size() >= 19 && (Bytes(p[0])[8] & 0xF0) == 0 && p[1].substr(0, 8) == "OpusTags";
  return p[0].size() >= 30 && p[1].substr(0, 7) == std::string_view("\3vorbis", 7) &&
         p[2].substr(0, 7) == std::string_view("\5vorbis", 7);
}

// The comment header with the song's tags: the vendor and every other comment of the
// stream's own header are kept.
std::string BuildOggComments(const OggHeaders& headers, const SongTags& tags) {
  size_t prefix = headers.opus ? 8 : 7;
  std::string_view old = headers.packets[1];
  std::string_view vendor;
  std::vector<std::string_view> kept;
  static const char* const kOwnKeys[] = {"TITLE", "ARTIST", "ALBUM", "ORGANIZATION", "DATE"};
  if (old.size() - prefix >= 4) {
    size_t pos = prefix;
    uint32_t vendorSize = ReadLe32(Bytes(old) + pos);
    pos += 4;
    if (vendorSize <= old.size() - pos) {
      vendor = old.substr(pos, vendorSize);
      pos += vendorSize;
      uint32_t count = old.size() - pos >= 4 ? ReadLe32(Bytes(old) + pos) : 0;
      pos += 4;
      for (uint32_t c = 0; c < count && old.size() >= pos + 4; ++c) {
        uint32_t size = ReadLe32(Bytes(old) + pos);
        pos += 4;
        if (size > old.size() - pos) break;
        std::string_view comment = old.substr(pos, size);
        pos += size;
        std::string key = LowerAscii(comment.substr(0, comment.find('=')));
        int own = 0;
        for (const char* k : kOwnKeys) own |= key == LowerAscii(k);
        if (!own) kept.push_back(comment);
      }
    }
  }
  std::vector<std::string> fields;
  auto add = [&fields](const char* key, const std::string& value) {
    if (!value.empty()) fields.push_back(std::string(key) + "=" + value);
  };
  add("TITLE", SanitiseTag(tags.title));
  add("ARTIST", SanitiseTag(tags.artist));
  add("ALBUM", SanitiseTag(tags.album));
  add("ORGANIZATION", SanitiseTag(tags.publisher));
  add("DATE", SanitiseDate(tags.date));
  std::string out(headers.opus ? std::string_view("OpusTags") : std::string_view("\3vorbis", 7));
  AppendLe32(out, uint32_t(vendor.size()));
  out.append(vendor);
  AppendLe32(out, uint32_t(fields.size() + kept.size()));
  for (const auto& f : fields) {
    AppendLe32(out, uint32_t(f.size()));
    out += f;
  }
  for (auto f : kept) {
    AppendLe32(out, uint32_t(f.size()));
    out.append(f);
  }
  if (!headers.opus) out.push_back('\1');  // the framing bit
  return out;
}

struct OggWriter {
  std::string out;
  uint32_t serial = 0;
  uint32_t sequence = 0;
};

void WriteOggPage(OggWriter* w, uint8_t flags, uint64_t granule, std::string_view lacing, std::string_view body) {
  size_t start = w->out.size();
  w->out.append("OggS", 4);
  w->out.push_back('\0');
  w->out.push_back(char(flags));
  AppendLe32(w->out, uint32_t(granule));
  AppendLe32(w->out, uint32_t(granule >> 32));
  AppendLe32(w->out, w->serial);
  AppendLe32(w->out, w->sequence++);
  AppendLe32(w->out, 0);
  w->out.push_back(char(lacing.size()));
  w->out.append(lacing);
  w->out.append(body);
  uint32_t crc = OggCrc(0, Bytes(w->out) + start, w->out.size() - start);
  for (int k = 0; k < 4; ++k) w->out[start + 22 + k] = char((crc >> (8 * k)) & 0xFF);
}

// Header packets laced onto pages of their own: the last page ends with the last packet,
// so what follows starts on a new page as both mappings require.
void WriteHeaderPackets(OggWriter* w, const std::vector<std::string_view>& packets, uint8_t flags) {
  std::string lacing, body;
  int completed = 0;
  for (size_t k = 0; k < packets.size(); ++k) {
    std::string_view p = packets[k];
    size_t offset = 0;
    for (;;) {
      size_t chunk = std::min<size_t>(p.size() - offset, 255);
      lacing.push_back(char(chunk));
      body.append(p.substr(offset, chunk));
      offset += chunk;
      int ends = chunk < 255;
      completed |= ends;
      if (lacing.size() == 255 && (!ends || k + 1 < packets.size())) {
        WriteOggPage(w, flags, completed ? 0 : kNoGranule, lacing, body);
        flags = ends ? 0 : kOggContinued;
        completed = 0;
        lacing.clear();
        body.clear();
      }
      if (ends) break;
    }
  }
  if (!lacing.empty()) WriteOggPage(w, flags, 0, lacing, body);
}

// The samples (at 48 kHz) of the Opus packets that end on a page that starts with a
// packet of its own; 0 when a packet's TOC byte is not a valid one.
uint64_t OpusPageSamples(const OggPage& page) {
  static const uint16_t kSilk[4] = {480, 960, 1920, 2880}, kHybrid[2] = {480, 960}, kCelt[4] = {120, 240, 480, 960};
  std::string_view lacing = page.Lacing(), body = page.Body();
  uint64_t total = 0;
  size_t start = 0, offset = 0;
  for (size_t k = 0; k < lacing.size(); ++k) {
    offset += Bytes(lacing)[k];
    if (Bytes(lacing)[k] == 255) continue;
    size_t size = offset - start;
    if (size == 0) return 0;
    const unsigned char* p = Bytes(body) + start;
    unsigned config = p[0] >> 3;
    uint64_t frame = config < 12 ? kSilk[config & 3] : config < 16 ? kHybrid[config & 1] : kCelt[config & 3];
    unsigned code = p[0] & 3, frames = code == 0 ? 1 : code < 3 ? 2 : 0;
    if (code == 3) {
      if (size < 2) return 0;
      frames = p[1] & 0x3F;
    }
    // An Opus packet holds at most 120 ms.
    if (frames == 0 || frames * frame > 5760) return 0;
    total += frames * frame;
    start = offset;
  }
  return total;
}

// The pages of one logical stream between two of its BOS pages.
struct OggRun {
  int bos = 0;
  uint32_t serial = 0;
  size_t bytes = 0;
  std::vector<const OggPage*> pages;
};

std::vector<OggRun> SplitOggRuns(const std::vector<OggPage>& pages) {
  std::vector<OggRun> runs;
  for (const auto& page : pages) {
    if (runs.empty() || (page.flags & kOggBos)) {
      runs.emplace_back();
      runs.back().bos = (page.flags & kOggBos) != 0;
      runs.back().serial = page.serial;
    }
    OggRun& run = runs.back();
    if (page.serial != run.serial) continue;
    // A stream ends at its EOS page; a run goes no further.
    if (!run.pages.empty() && (run.pages.back()->flags & kOggEos)) continue;
    run.pages.push_back(&page);
    run.bytes += page.bytes.size();
  }
  return runs;
}

// The header set of the stream `serial` from the latest of its BOS pages in data that
// carries a whole one.
int FindOggHeaders(std::string_view data, uint32_t serial, OggHeaders* headers) {
  std::vector<OggPage> pages = ScanOggPages(data);
  std::vector<OggRun> runs = SplitOggRuns(pages);
  for (size_t r = runs.size(); r-- > 0;) {
    if (!runs[r].bos || runs[r].serial != serial) continue;
    OggHeaders found;
    if (ReadOggHeaders(runs[r].pages, &found)) {
      *headers = std::move(found);
      return 1;
    }
  }
  return 0;
}

int BuildOggFile(std::string_view streamStart, std::string_view audio, const SongTags& tags, std::string* file,
                 std::string* error) {
  std::vector<OggPage> pages = ScanOggPages(audio);
  std::vector<OggRun> runs = SplitOggRuns(pages);
  if (runs.empty()) {
    *error = "the title's audio holds no complete Ogg page";
    return 0;
  }
  // The title is the logical stream that fills most of its bytes: a little of the
  // previous stream before its BOS, or of the next after, belongs to the other titles.
  const OggRun* run = &runs[0];
  for (const auto& r : runs)
    if (r.bytes > run->bytes) run = &r;
  OggHeaders headers;
  if (run->bos ? !ReadOggHeaders(run->pages, &headers) : !FindOggHeaders(streamStart, run->serial, &headers)) {
    *error = run->bos ? "the title's Ogg stream does not begin with Opus or Vorbis headers"
                      : "the headers of the title's Ogg stream are no longer kept";
    return 0;
  }
  // The first page that starts a packet right after a page whose granule is known: the
  // new count of samples starts from that granule. Opus packets tell their own length,
  // so an Opus page needs no page before it.
  const auto& own = run->pages;
  size_t first = run->bos ? headers.pages : 0;
  uint64_t base = 0;
  for (; first < own.size(); ++first) {
    const OggPage* page = own[first];
    if ((page->flags & kOggContinued) || page->granule == kNoGranule) continue;
    const OggPage* previous = first > 0 ? own[first - 1] : nullptr;
    if (previous && previous->granule != kNoGranule && previous->sequence + 1 == page->sequence) {
      base = previous->granule;
      break;
    }
    uint64_t samples = headers.opus ? OpusPageSamples(*page) : 0;
    if (samples > 0 && samples <= page->granule) {
      base = page->granule - samples;
      break;
    }
  }
  // Up to a lost page, a granule going back or the stream's end.
  size_t last = first;
  uint64_t granule = base;
  for (; last < own.size(); ++last) {
    const OggPage* page = own[last];
    if (last > first && page->sequence != own[last - 1]->sequence + 1) break;
    if (page->granule != kNoGranule) {
      if (page->granule < granule) break;
      granule = page->granule;
    }
  }
  // The last page ends with the last whole packet: a packet cut by the end of the
  // buffer is dropped, with the pages that hold only a piece of it.
  size_t keepSegments = 0;
  while (last > first) {
    std::string_view lacing = own[last - 1]->Lacing();
    size_t k = lacing.size();
    while (k > 0 && Bytes(lacing)[k - 1] == 255) --k;
    if (k > 0 && own[last - 1]->granule != kNoGranule) {
      keepSegments = k;
      break;
    }
    --last;
  }
  if (last <= first) {
    *error = "the title's audio holds no whole Ogg page of its stream";
    return 0;
  }
  OggWriter w;
  w.serial = run->serial;
  std::string comments = BuildOggComments(headers, tags);
  WriteHeaderPackets(&w, {headers.packets[0]}, kOggBos);
  if (headers.opus) {
    WriteHeaderPackets(&w, {comments}, 0);
  } else {
    WriteHeaderPackets(&w, {comments, headers.packets[2]}, 0);
  }
  for (size_t i = first; i < last; ++i) {
    const OggPage* page = own[i];
    std::string_view lacing = page->Lacing(), body = page->Body();
    uint8_t flags = page->flags & kOggContinued;
    if (i + 1 == last) {
      flags |= kOggEos;
      size_t bodySize = 0;
      for (size_t k = 0; k < keepSegments; ++k) bodySize += Bytes(lacing)[k];
      lacing = lacing.substr(0, keepSegments);
      body = body.substr(0, bodySize);
    }
    WriteOggPage(&w, flags, page->granule == kNoGranule ? kNoGranule : page->granule - base, lacing, body);
  }
  *file = std::move(w.out);
  return 1;
}

int SameCodec(std::string_view codec, std::string_view name) {
  return codec.size() == name.size() && LowerAscii(codec) == name;
}

}  // namespace

int BuildSongFile(std::string_view codec, std::string_view streamStart, std::string_view audio, const SongTags& tags,
                  int fromTitleStart, std::string* file, std::string* error) {
  (void)fromTitleStart;
  file->clear();
  error->clear();
  if (SameCodec(codec, "mp3")) return BuildFrameFile(kFrameMp3, audio, tags, file, error);
  if (SameCodec(codec, "aac")) return BuildFrameFile(kFrameAdts, audio, tags, file, error);
  if (SameCodec(codec, "ogg")) return BuildOggFile(streamStart, audio, tags, file, error);
  *error = "songs of this stream's format (" + SanitiseTag(codec.substr(0, 16)) + ") cannot be saved";
  return 0;
}

std::string SongFileExtension(std::string_view codec, std::string_view streamStart) {
  if (SameCodec(codec, "mp3")) return ".mp3";
  if (SameCodec(codec, "aac")) return ".aac";
  for (const auto& page : ScanOggPages(streamStart))
    if (page.flags & kOggBos) return page.Body().substr(0, 8) == "OpusHead" ? ".opus" : ".ogg";
  return ".ogg";
}
