// The mixer's stereo on a device with another channel count: left and right go to the
// first two channels (front left and right in every layout), the others stay silent; a
// mono device gets their mean.
#pragma once

namespace audiolib {

inline void SpreadStereo(const float* in, int frames, float* out, int outChannels) {
  for (int f = 0; f < frames; ++f, in += 2) {
    if (outChannels == 1) {
      *out++ = 0.5f * (in[0] + in[1]);
      continue;
    }
    *out++ = in[0];
    *out++ = in[1];
    for (int c = 2; c < outChannels; ++c) *out++ = 0.0f;
  }
}

}  // namespace audiolib
