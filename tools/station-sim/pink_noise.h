// Pink (1/f) noise from white: a bank of first-order low-passes whose corners lie a factor
// of about four apart sums to -3 dB per octave within a fraction of a dB from 20 Hz up.
// Shared by the station's test signals and the loudness meter's tests.
#pragma once

struct PinkNoiseFilter {
  double state[7] = {0, 0, 0, 0, 0, 0, 0};
  double Next(double white) {
    static const double pole[6] = {0.99886, 0.99332, 0.96900, 0.86650, 0.55000, -0.7616};
    static const double gain[6] = {0.0555179, 0.0750759, 0.1538520, 0.3104856, 0.5329522, -0.0168980};
    double sum = 0;
    for (int k = 0; k < 6; k++) {
      state[k] = pole[k] * state[k] + gain[k] * white;
      sum += state[k];
    }
    const double out = sum + state[6] + white * 0.5362;
    state[6] = white * 0.115926;
    return out;
  }
};
