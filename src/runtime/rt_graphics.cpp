// Rules of images and text shared by the back ends.
#include "runtime/rt_graphics.h"

#include <cmath>

#include "runtime/runtime.h"

namespace rt {

DecodeLimit UntrustedDecodeLimit() {
  DecodeLimit limit;
  limit.side = kUntrustedImageMaxSide;
  limit.pixels = static_cast<long long>(kUntrustedImageMaxSide) * kUntrustedImageMaxSide;
  return limit;
}

bool SizeAllowed(long long width, long long height, DecodeLimit limit) {
  return width > 0 && height > 0 && width <= limit.side && height <= limit.side && width * height <= limit.pixels;
}

// "&" is ASCII, so skipping it and keeping the next byte keeps UTF-8 intact.
std::string StripPrefixes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 < text.size()) out += text[++i];
      continue;
    }
    out += text[i];
  }
  return out;
}

}  // namespace rt

int UiFontPixelHeight(float size) {
  // 0.72, not 0.75: the player's windows are laid out around this rule.
  return static_cast<int>(std::lround(static_cast<double>(size) / 0.72));
}
