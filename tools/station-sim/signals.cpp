// Titles of known content for the loudness tests (--signals): a 1 kHz sine, pink noise,
// a bass-heavy tone and a quiet sine with sparse near-full-scale peaks, each at a set
// level, so a test knows what a loudness meter should read before any codec touches it.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "pink_noise.h"
#include "station_sim.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;

uint64_t Next(uint64_t& s) {
  s ^= s << 13;
  s ^= s >> 7;
  s ^= s << 17;
  return s;
}
double White(uint64_t& s) { return (double)(Next(s) >> 11) * (2.0 / 9007199254740992.0) - 1.0; }

// Scales to the level as the station states loudness: RMS over both channels referred to
// a full-scale sine, so a sine's level is its peak.
void ScaleTo(std::vector<float>& pcm, double levelDb) {
  double sum = 0;
  for (float v : pcm) sum += (double)v * v;
  if (pcm.empty() || !(sum > 0)) return;
  const double gain = std::pow(10.0, levelDb / 20.0) / std::sqrt(2.0 * sum / (double)pcm.size());
  for (float& v : pcm) v = (float)(v * gain);
}

void Fade(std::vector<float>& pcm, int rate) {
  const size_t frames = pcm.size() / 2;
  const size_t fade = std::min(frames / 2, (size_t)(rate / 50));
  for (size_t n = 0; n < fade; n++) {
    const float g = (float)n / (float)fade;
    for (size_t c = 0; c < 2; c++) {
      pcm[2 * n + c] *= g;
      pcm[2 * (frames - 1 - n) + c] *= g;
    }
  }
}

}  // namespace

int ParseSignals(const std::string& text, std::vector<TitleSignal>* out) {
  out->clear();
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(pos, comma - pos);
    pos = comma + 1;
    const size_t colon = item.find(':');
    if (colon == std::string::npos) return 0;
    TitleSignal s;
    s.kind = item.substr(0, colon);
    const std::string level = item.substr(colon + 1);
    char* end = nullptr;
    s.level = strtod(level.c_str(), &end);
    if (level.empty() || *end != 0 || !(s.level <= 0 && s.level >= -80)) return 0;
    if (s.kind != "sine" && s.kind != "pink" && s.kind != "bass" && s.kind != "peaks") return 0;
    out->push_back(s);
  }
  return out->size() >= 1 && out->size() <= 8;
}

std::vector<float> SynthesiseSignal(const TitleSignal& signal, int rate, double seconds, int variant) {
  const size_t frames = (size_t)(seconds * rate);
  std::vector<float> pcm(frames * 2);
  if (signal.kind == "sine") {
    for (size_t n = 0; n < frames; n++) pcm[2 * n] = pcm[2 * n + 1] = (float)std::sin(kTwoPi * 1000.0 * n / rate);
    ScaleTo(pcm, signal.level);
  } else if (signal.kind == "pink") {
    // Left and right from their own noise, as a wide recording would have it.
    uint64_t seed[2] = {0x243F6A8885A308D3ull ^ (uint64_t)(variant + 1),
                        0x13198A2E03707344ull ^ (uint64_t)(variant + 1)};
    PinkNoiseFilter filter[2];
    for (size_t n = 0; n < frames; n++)
      for (int c = 0; c < 2; c++) pcm[2 * n + c] = (float)filter[c].Next(White(seed[c]));
    ScaleTo(pcm, signal.level);
  } else if (signal.kind == "bass") {
    // 45 Hz with its second and third harmonics: nearly all of the energy lies where the
    // ear (and the R128 weighting) is least sensitive.
    for (size_t n = 0; n < frames; n++) {
      const double t = (double)n / rate;
      const double v = std::sin(kTwoPi * 45 * t) + 0.5 * std::sin(kTwoPi * 90 * t) + 0.25 * std::sin(kTwoPi * 135 * t);
      pcm[2 * n] = pcm[2 * n + 1] = (float)v;
    }
    ScaleTo(pcm, signal.level);
  } else if (signal.kind == "peaks") {
    // A 1 kHz sine at the level, and once a second one cycle of 2 kHz at -0.5 dBFS: the
    // loudness hardly moves, the true peak sits near full scale.
    const double a = std::pow(10.0, signal.level / 20.0), burst = std::pow(10.0, -0.5 / 20.0);
    const size_t cycle = (size_t)(rate / 2000);
    for (size_t n = 0; n < frames; n++) {
      double v = a * std::sin(kTwoPi * 1000.0 * n / rate);
      const size_t inSecond = n % (size_t)rate;
      if (inSecond >= (size_t)rate / 2 && inSecond < (size_t)rate / 2 + cycle)
        v = burst * std::sin(kTwoPi * 2000.0 * (double)(inSecond - (size_t)rate / 2) / rate);
      pcm[2 * n] = pcm[2 * n + 1] = (float)v;
    }
  }
  Fade(pcm, rate);
  return pcm;
}
