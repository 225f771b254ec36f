// Helpers for the simulator's own tests: a small JSON reader, the ICY metadata splitter,
// checks that audio bytes form an unbroken chain of frames or pages, and ffprobe/ffmpeg runs.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "station_sim_fixture.h"

// ---- JSON ----
struct Json {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  double num = 0;
  bool b = false;
  std::string str;
  std::vector<Json> arr;
  std::vector<std::pair<std::string, Json>> obj;
  const Json* Get(const std::string& key) const {
    for (auto& kv : obj)
      if (kv.first == key) return &kv.second;
    return nullptr;
  }
  std::string Str(const std::string& key) const {
    const Json* j = Get(key);
    return j && j->kind == String ? j->str : "";
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& s) : s_(s) {}
  bool Parse(Json& out) {
    if (!Value(out, 0)) return false;
    Ws();
    return p_ == s_.size();
  }

 private:
  const std::string& s_;
  size_t p_ = 0;
  void Ws() {
    while (p_ < s_.size() && strchr(" \t\r\n", s_[p_])) p_++;
  }
  bool Lit(const char* w) {
    const size_t n = strlen(w);
    if (s_.compare(p_, n, w) != 0) return false;
    p_ += n;
    return true;
  }
  static void Utf8(std::string& o, unsigned cp) {
    if (cp < 0x80)
      o += (char)cp;
    else if (cp < 0x800) {
      o += (char)(0xC0 | cp >> 6);
      o += (char)(0x80 | (cp & 63));
    } else if (cp < 0x10000) {
      o += (char)(0xE0 | cp >> 12);
      o += (char)(0x80 | ((cp >> 6) & 63));
      o += (char)(0x80 | (cp & 63));
    } else {
      o += (char)(0xF0 | cp >> 18);
      o += (char)(0x80 | ((cp >> 12) & 63));
      o += (char)(0x80 | ((cp >> 6) & 63));
      o += (char)(0x80 | (cp & 63));
    }
  }
  bool Hex4(unsigned& v) {
    if (p_ + 4 > s_.size()) return false;
    v = 0;
    for (int i = 0; i < 4; i++) {
      const char c = s_[p_++];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= c - '0';
      else if (c >= 'a' && c <= 'f')
        v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        v |= c - 'A' + 10;
      else
        return false;
    }
    return true;
  }
  bool Str(std::string& o) {
    if (p_ >= s_.size() || s_[p_] != '"') return false;
    p_++;
    while (p_ < s_.size() && s_[p_] != '"') {
      const unsigned char c = (unsigned char)s_[p_++];
      if (c < 0x20) return false;
      if (c != '\\') {
        o += (char)c;
        continue;
      }
      if (p_ >= s_.size()) return false;
      const char e = s_[p_++];
      if (e == 'u') {
        unsigned cp;
        if (!Hex4(cp)) return false;
        if (cp >= 0xD800 && cp < 0xDC00) {
          unsigned lo;
          if (!Lit("\\u") || !Hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        }
        Utf8(o, cp);
      } else {
        const char* from = "\"\\/bfnrt";
        const char* to = "\"\\/\b\f\n\r\t";
        const char* f = strchr(from, e);
        if (!f || !e) return false;
        o += to[f - from];
      }
    }
    if (p_ >= s_.size()) return false;
    p_++;
    return true;
  }
  bool Value(Json& v, int depth) {
    if (depth > 200) return false;
    Ws();
    if (p_ >= s_.size()) return false;
    const char c = s_[p_];
    if (c == '{') {
      v.kind = Json::Object;
      p_++;
      Ws();
      if (p_ < s_.size() && s_[p_] == '}') return ++p_, true;
      for (;;) {
        Ws();
        std::string k;
        if (!Str(k)) return false;
        Ws();
        if (p_ >= s_.size() || s_[p_++] != ':') return false;
        Json m;
        if (!Value(m, depth + 1)) return false;
        v.obj.push_back({k, std::move(m)});
        Ws();
        if (p_ >= s_.size()) return false;
        if (s_[p_] == ',') {
          p_++;
          continue;
        }
        if (s_[p_] == '}') return ++p_, true;
        return false;
      }
    }
    if (c == '[') {
      v.kind = Json::Array;
      p_++;
      Ws();
      if (p_ < s_.size() && s_[p_] == ']') return ++p_, true;
      for (;;) {
        Json m;
        if (!Value(m, depth + 1)) return false;
        v.arr.push_back(std::move(m));
        Ws();
        if (p_ >= s_.size()) return false;
        if (s_[p_] == ',') {
          p_++;
          continue;
        }
        if (s_[p_] == ']') return ++p_, true;
        return false;
      }
    }
    if (c == '"') {
      v.kind = Json::String;
      return Str(v.str);
    }
    if (Lit("true")) {
      v.kind = Json::Bool;
      v.b = true;
      return true;
    }
    if (Lit("false")) {
      v.kind = Json::Bool;
      return true;
    }
    if (Lit("null")) return true;
    char* end = nullptr;
    v.num = strtod(s_.c_str() + p_, &end);
    if (end == s_.c_str() + p_) return false;
    v.kind = Json::Number;
    p_ = (size_t)(end - s_.c_str());
    return true;
  }
};

inline bool ParseJson(const std::string& text, Json& out) { return JsonReader(text).Parse(out); }

// ---- ICY ----
struct IcyBlock {
  size_t audioOffset;  // audio bytes before the block
  std::string text;    // without the NUL padding ("" for an empty block)
  size_t padded;       // length byte x 16
};

// Splits a body with metadata every metaint audio bytes. Returns false when a block runs
// past the data it claims (only the last, cut-off block may be incomplete).
inline bool SplitIcy(const std::string& body, size_t metaint, std::string& audio, std::vector<IcyBlock>& blocks) {
  size_t pos = 0;
  while (pos < body.size()) {
    const size_t take = std::min(metaint, body.size() - pos);
    audio.append(body, pos, take);
    pos += take;
    if (take < metaint || pos >= body.size()) break;
    const size_t len = (unsigned char)body[pos] * 16u;
    if (pos + 1 + len > body.size()) return true;  // cut off by the end of the capture
    std::string text = body.substr(pos + 1, len);
    const size_t nul = text.find('\0');
    const std::string trimmed = nul == std::string::npos ? text : text.substr(0, nul);
    // Padding must be NUL only.
    if (nul != std::string::npos && text.find_first_not_of('\0', nul) != std::string::npos) return false;
    blocks.push_back({audio.size(), trimmed, len});
    pos += 1 + len;
  }
  return true;
}

inline std::string StreamTitleOf(const std::string& block) {
  const std::string head = "StreamTitle='";
  const std::string tail = "';StreamUrl='';";
  if (block.compare(0, head.size(), head) != 0 || block.size() < head.size() + tail.size() ||
      block.compare(block.size() - tail.size(), tail.size(), tail) != 0)
    return "";
  return block.substr(head.size(), block.size() - head.size() - tail.size());
}

// ---- frame chains ----
// Counts whole MP3 frames from byte 0; -1 when a header is broken before the data ends.
inline int Mp3Frames(const std::string& d) {
  static const int rates[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  static const int srs[4] = {44100, 48000, 32000, 0};
  size_t p = 0;
  int frames = 0;
  while (p + 4 <= d.size()) {
    const unsigned char* h = (const unsigned char*)d.data() + p;
    if (h[0] != 0xFF || (h[1] & 0xFE) != 0xFA) return -1;  // MPEG-1 Layer III
    const int br = rates[h[2] >> 4], sr = srs[(h[2] >> 2) & 3];
    if (!br || !sr) return -1;
    p += 144000 * br / sr + ((h[2] >> 1) & 1);
    if (p <= d.size()) frames++;
  }
  return frames;
}

inline int AdtsFrames(const std::string& d) {
  size_t p = 0;
  int frames = 0;
  while (p + 7 <= d.size()) {
    const unsigned char* h = (const unsigned char*)d.data() + p;
    if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) return -1;
    const size_t len = ((h[3] & 3u) << 11) | (h[4] << 3) | (h[5] >> 5);
    if (len < 7) return -1;
    p += len;
    if (p <= d.size()) frames++;
  }
  return frames;
}

inline int OggPages(const std::string& d) {
  size_t p = 0;
  int pages = 0;
  while (p + 27 <= d.size()) {
    if (d.compare(p, 4, "OggS") != 0) return -1;
    const unsigned char* h = (const unsigned char*)d.data() + p;
    const size_t segs = h[26];
    if (p + 27 + segs > d.size()) break;
    size_t len = 27 + segs;
    for (size_t i = 0; i < segs; i++) len += h[27 + i];
    p += len;
    if (p <= d.size()) pages++;
  }
  return pages;
}

// Whole frames (MP3, ADTS) or pages (Ogg) in the audio, -1 when the chain breaks.
inline int ChainUnits(const std::string& codec, const std::string& audio) {
  if (codec == "mp3") return Mp3Frames(audio);
  if (codec == "aac") return AdtsFrames(audio);
  return OggPages(audio);
}

// ---- external tools ----
inline std::string RunCommand(const std::string& cmd) {
  std::string out;
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  pclose(f);
  return out;
}

struct TempFile {
  std::string path;
  explicit TempFile(const std::string& data, const char* suffix = ".bin") {
    const char* dir = getenv("TMPDIR");
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/station-sim-test-XXXXXX" + suffix;
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    const int fd = mkstemps(buf.data(), (int)strlen(suffix));
    path = buf.data();
    if (fd >= 0) {
      size_t off = 0;
      while (off < data.size()) {
        const ssize_t w = write(fd, data.data() + off, data.size() - off);
        if (w <= 0) break;
        off += (size_t)w;
      }
      close(fd);
    }
  }
  ~TempFile() { unlink(path.c_str()); }
};

inline std::string ProbeCodec(const std::string& data) {
  TempFile f(data);
  std::string out = RunCommand("ffprobe -v error -select_streams 0 -show_entries stream=codec_name -of csv=p=0 '" +
                               f.path + "' 2>/dev/null");
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ',')) out.pop_back();
  const size_t nl = out.find('\n');
  return nl == std::string::npos ? out : out.substr(0, nl);
}

// ffmpeg's volumedetect mean level in dB (mean square over all samples), or +999 on failure.
inline double MeanVolume(const std::string& data) {
  TempFile f(data);
  const std::string out =
      RunCommand("ffmpeg -nostdin -hide_banner -i '" + f.path + "' -af volumedetect -f null - 2>&1");
  const size_t p = out.find("mean_volume:");
  return p == std::string::npos ? 999.0 : atof(out.c_str() + p + 12);
}

// The simulator's /control/stats document.
inline Json SimStats(int port) {
  Json j;
  ParseJson(SimGet(port, "/control/stats").body, j);
  return j;
}
