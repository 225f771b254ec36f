// FFmpeg's own EBU R128 measurement (its ebur128 filter with peak=true) over raw float
// audio: the reference the player's loudness figures are checked against. Linux only
// (the tests under Wine cannot wait for a Linux program).
#pragma once

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace r128test {

struct FfmpegLoudness {
  bool ok = false;
  double lufs = std::numeric_limits<double>::quiet_NaN();
  double luRange = std::numeric_limits<double>::quiet_NaN();
  double truePeak = std::numeric_limits<double>::quiet_NaN();
  std::string output;  // what ffmpeg said, for a failure's message
};

inline bool WriteRawFloats(const std::string& path, const std::vector<float>& samples) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * sizeof(float)));
  return bool(f);
}

// The number after `label` in the summary block, which follows "Summary:".
inline double SummaryValue(const std::string& text, const std::string& label) {
  size_t at = text.rfind("Summary:");
  if (at == std::string::npos) return std::numeric_limits<double>::quiet_NaN();
  at = text.find(label, at);
  if (at == std::string::npos) return std::numeric_limits<double>::quiet_NaN();
  at += label.size();
  while (at < text.size() && text[at] == ' ') ++at;
  if (text.compare(at, 4, "-inf") == 0) return -std::numeric_limits<double>::infinity();
  return std::strtod(text.c_str() + at, nullptr);
}

// Integrated loudness, loudness range and true peak of interleaved float frames in a raw
// file. dualMono: a mono file as heard on two speakers (as the player measures it).
inline FfmpegLoudness MeasureWithFfmpeg(const std::string& rawPath, int rate, int channels, bool dualMono = false) {
  FfmpegLoudness out;
  std::string cmd = "ffmpeg -hide_banner -nostats -f f32le -ar " + std::to_string(rate) + " -ac " +
                    std::to_string(channels) + " -i '" + rawPath + "' -af ebur128=peak=true" +
                    (dualMono ? ":dualmono=true" : "") + " -f null - 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.output.append(buf, n);
  const int status = pclose(p);
  out.lufs = SummaryValue(out.output, "I:");
  out.luRange = SummaryValue(out.output, "LRA:");
  out.truePeak = SummaryValue(out.output, "Peak:");
  out.ok = status == 0 && !std::isnan(out.lufs) && !std::isnan(out.luRange) && !std::isnan(out.truePeak);
  return out;
}

}  // namespace r128test
