// Test media made with FFmpeg's encoders from generated tones by make_media.sh: at test
// time into the build folder (kept between test processes), or on Windows beforehand
// into $CORVALE_TEST_MEDIA_DIR.
#pragma once

#include <string>

enum class Media {
  Mp3Tone,   // 440 Hz, amplitude 0.5, stereo, 44100 Hz, 128 kbit/s, 10 s
  Mp3Steps,  // 440 Hz, amplitude 0.5 for 2 s then 0.1 for 2 s, repeated, 8 s
  AacTone,   // the tone as ADTS AAC, 44100 Hz stereo
  OpusTone,  // the tone as Ogg Opus, 20 s
  AacSurround,  // 5.1 ADTS AAC, 44100 Hz, 10 s: the tone on the front left, the rest silent
};

// The file's bytes; empty when ffmpeg failed.
std::string MediaBytes(Media kind);
// Time-limited poll: true as soon as pred() holds, false after timeoutSeconds.
template <typename F>
bool WaitFor(F pred, double timeoutSeconds);

#include <chrono>
#include <thread>
template <typename F>
bool WaitFor(F pred, double timeoutSeconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (std::chrono::steady_clock::now() < until) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}
