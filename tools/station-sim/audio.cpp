// Generated music and its encodings. Every title is synthesised (chords, a bass line, a
// melody and a little noise), scaled to its own loudness and encoded once per codec by a
// background thread, so start-up is immediate and listeners wait only for the first title.
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "station_sim.h"

namespace {

const CodecDesc kCodecs[CodecCount] = {
    {"mp3", "MP3", "audio/mpeg", 128, 44100},
    {"aac", "AAC", "audio/aac", 128, 44100},
    {"opus", "Opus", "audio/ogg", 96, 48000},
    {"vorbis", "Vorbis", "audio/ogg", 128, 44100},
};

const char* const kEncoderNames[CodecCount] = {"libmp3lame", "aac", "libopus", "libvorbis"};

uint64_t NextRandom(uint64_t& s) {
  s ^= s << 13;
  s ^= s >> 7;
  s ^= s << 17;
  return s;
}
double RandomUnit(uint64_t& s) { return (double)(NextRandom(s) >> 11) * (1.0 / 9007199254740992.0); }

// Stereo, interleaved, float. Deterministic for a variant and a rate.
// A sine oscillator by rotation: no trigonometry per sample. Re-seeded at every note, so
// rounding never accumulates over a title.
struct Oscillator {
  double c = 1, s = 0, dc = 1, ds = 0;
  void Start(double freq, double t, int rate) {
    const double kTwoPi = 6.283185307179586;
    c = std::cos(kTwoPi * freq * t);
    s = std::sin(kTwoPi * freq * t);
    dc = std::cos(kTwoPi * freq / rate);
    ds = std::sin(kTwoPi * freq / rate);
  }
  double Next() {
    const double v = s;
    const double nc = c * dc - s * ds;
    s = s * dc + c * ds;
    c = nc;
    return v;
  }
  double Cos() const { return c; }
};

// The marker programme: second k of title `variant` is a pure tone of
// MarkerFrequency(variant * ceil(seconds) + k), so a capture tells which second of the
// programme it holds (the programme repeats after `variants` titles).
std::vector<float> SynthesiseMarker(int variant, int rate, double seconds) {
  const size_t frames = (size_t)(seconds * rate);
  const int perTitle = (int)std::ceil(seconds);
  std::vector<float> pcm(frames * 2);
  Oscillator tone;
  int lastSecond = -1;
  for (size_t n = 0; n < frames; n++) {
    const int second = (int)(n / (size_t)rate);
    if (second != lastSecond) {
      tone.Start(MarkerFrequency(variant * perTitle + second), (double)n / rate, rate);
      lastSecond = second;
    }
    const float v = (float)(0.25 * tone.Next());
    pcm[2 * n] = v;
    pcm[2 * n + 1] = v;
  }
  return pcm;
}

// Stereo, interleaved, float. Deterministic for a variant and a rate.
std::vector<float> SynthesiseTitle(int variant, int rate, double seconds, double loudnessDb) {
  if (!gOpt.signals.empty())
    return SynthesiseSignal(gOpt.signals[(size_t)variant % gOpt.signals.size()], rate, seconds, variant);
  if (gOpt.marker) return SynthesiseMarker(variant, rate, seconds);
  const int keyOffsets[8] = {0, 5, 7, 3, 10, 2, 8, 4};
  const double root = 110.0 * std::pow(2.0, keyOffsets[variant % 8] / 12.0);
  const double bpm = 84.0 + 8.0 * (variant % 5);
  const double beat = 60.0 / bpm;
  const double bar = 4 * beat;
  const double half = beat / 2;
  // Progressions in semitones above the root with the third of each chord.
  static const int progA[4][2] = {{0, 4}, {7, 4}, {9, 3}, {5, 4}};
  static const int progB[4][2] = {{9, 3}, {5, 4}, {0, 4}, {7, 4}};
  const int(*prog)[2] = (variant & 1) ? progB : progA;
  static const int penta[10] = {0, 2, 4, 7, 9, 12, 14, 16, 19, 21};

  const size_t frames = (size_t)(seconds * rate);
  std::vector<float> pcm(frames * 2);
  uint64_t rng = 0x9E3779B97F4A7C15ull ^ (uint64_t)(variant + 1) * 0x100000001B3ull;

  // Melody notes per half beat, drawn in advance so the tune does not depend on the rate.
  const int steps = (int)(seconds / half) + 2;
  std::vector<int> melody(steps);
  int idx = 4;
  for (int i = 0; i < steps; i++) {
    if (RandomUnit(rng) < 0.3) {
      melody[i] = -1;
      continue;
    }
    idx += (int)(RandomUnit(rng) * 5) - 2;
    if (idx < 0) idx = 1;
    if (idx > 9) idx = 8;
    melody[i] = penta[idx];
  }

  Oscillator pad[3], bass, mel;
  int lastBar = -1, lastBeat = -1, lastStep = -1, lastOff = -1;
  double padDecay = 1, bassEnv = 0, melEnv = 0, hatEnv = 0;
  bool melOn = false;
  const double padK = std::exp(-1.5 / rate), bassK = std::exp(-3.0 / rate), melK = std::exp(-4.0 / rate),
               hatK = std::exp(-40.0 / rate);
  double lp = 0;
  uint64_t noise = rng | 1;
  for (size_t n = 0; n < frames; n++) {
    const double t = (double)n / rate;
    const int barNo = (int)(t / bar);
    const int beatNo = (int)(t / beat);
    const int step = (int)(t / half);
    const int offNo = (int)((t + half) / beat);
    if (barNo != lastBar) {
      // Pad: a soft triad one octave above the root; bass: the chord's root.
      const int* chord = prog[barNo % 4];
      const int notes[3] = {chord[0], chord[0] + chord[1], chord[0] + 7};
      for (int k = 0; k < 3; k++) pad[k].Start(root * 2 * std::pow(2.0, notes[k] / 12.0), t, rate);
      bass.Start(root * std::pow(2.0, chord[0] / 12.0), t, rate);
      padDecay = 1;
      lastBar = barNo;
    }
    if (beatNo != lastBeat) {
      bassEnv = 1;
      lastBeat = beatNo;
    }
    if (step != lastStep) {
      melOn = step < steps && melody[step] >= 0;
      if (melOn) mel.Start(root * 4 * std::pow(2.0, melody[step] / 12.0), t, rate);
      melEnv = 1;
      lastStep = step;
    }
    if (offNo != lastOff) {
      hatEnv = 1;
      lastOff = offNo;
    }
    const double inBar = t - barNo * bar, inBeat = t - beatNo * beat, inStep = t - step * half;

    double padSum = 0;
    for (Oscillator& o : pad) {
      const double c = o.Cos();
      const double x = o.Next();
      padSum += x + 0.3 * 2 * x * c + 0.1 * x * (3 - 4 * x * x);  // with its 2nd and 3rd harmonics
    }
    const double padOut = 0.10 * padSum * std::min(1.0, inBar / 0.08) * (0.6 + 0.4 * padDecay);
    padDecay *= padK;

    const double bc = bass.Cos();
    const double bx = bass.Next();
    const double bassOut = 0.35 * bassEnv * std::min(1.0, inBeat / 0.005) * (bx + 0.25 * 2 * bx * bc);
    bassEnv *= bassK;

    double melOut = 0;
    if (melOn) {
      const double mx = mel.Next();
      melOut = 0.22 * melEnv * std::min(1.0, inStep / 0.005) * (mx + 0.2 * mx * (3 - 4 * mx * mx));
    }
    melEnv *= melK;

    // Noise: a hi-hat on the off-beats and a faint low-passed hiss.
    const double white = RandomUnit(noise) * 2 - 1;
    lp += 0.05 * (white - lp);
    const double hat = 0.06 * white * hatEnv;
    hatEnv *= hatK;
    const double hiss = 0.02 * lp;

    pcm[2 * n] = (float)(0.65 * melOut + 0.4 * padOut + 0.5 * bassOut + 0.4 * hat + hiss);
    pcm[2 * n + 1] = (float)(0.35 * melOut + 0.6 * padOut + 0.5 * bassOut + 0.6 * hat + hiss);
  }

  // Short fades so title boundaries do not click.
  const size_t fade = std::min(frames / 2, (size_t)(rate / 50));
  for (size_t n = 0; n < fade; n++) {
    const float g = (float)n / fade;
    pcm[2 * n] *= g;
    pcm[2 * n + 1] *= g;
    pcm[2 * (frames - 1 - n)] *= g;
    pcm[2 * (frames - 1 - n) + 1] *= g;
  }

  // Scale to the title's loudness: RMS referred to a full-scale sine, over both channels.
  double sum = 0;
  for (float v : pcm) sum += (double)v * v;
  const double ms = pcm.empty() ? 0 : sum / pcm.size();
  if (ms > 0) {
    const double target = std::pow(10.0, loudnessDb / 20.0) / std::sqrt(2.0);
    const double gain = target / std::sqrt(ms);
    for (float& v : pcm) {
      double x = v * gain;
      // Gentle limiting only above -1 dBFS; the loud titles keep their level.
      if (x > 0.89) x = 0.89 + 0.1 * std::tanh((x - 0.89) / 0.1);
      if (x < -0.89) x = -0.89 - 0.1 * std::tanh((-x - 0.89) / 0.1);
      v = (float)x;
    }
  }
  return pcm;
}

int WriteToString(void* opaque, uint8_t* buf, int size) {
  static_cast<std::string*>(opaque)->append((const char*)buf, size);
  return size;
}

void AppendAdtsHeader(std::string& out, int payload, int rate) {
  static const int rates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};
  int sfi = 4;
  for (int i = 0; i < 13; i++)
    if (rates[i] == rate) sfi = i;
  const int len = payload + 7;
  const int profile = 1;  // AAC-LC (object type 2)
  const int channels = 2;
  unsigned char h[7];
  h[0] = 0xFF;
  h[1] = 0xF1;
  h[2] = (unsigned char)((profile << 6) | (sfi << 2) | (channels >> 2));
  h[3] = (unsigned char)(((channels & 3) << 6) | (len >> 11));
  h[4] = (unsigned char)((len >> 3) & 0xFF);
  h[5] = (unsigned char)(((len & 7) << 5) | 0x1F);
  h[6] = 0xFC;
  out.append((const char*)h, 7);
}

// Cuts an Ogg stream into pages; the leading pages with granule 0 are the codec headers.
void SplitOggPages(EncodedTitle& out, int granuleRate) {
  const std::string& b = out.bytes;
  size_t pos = 0;
  double lastEnd = 0;
  bool inHeaders = true;
  while (pos + 27 <= b.size() && memcmp(b.data() + pos, "OggS", 4) == 0) {
    const unsigned char* p = (const unsigned char*)b.data() + pos;
    int64_t granule = 0;
    for (int i = 7; i >= 0; i--) granule = (granule << 8) | p[6 + i];
    const int segs = p[26];
    if (pos + 27 + segs > b.size()) break;
    size_t len = 27 + segs;
    for (int i = 0; i < segs; i++) len += p[27 + i];
    if (pos + len > b.size()) break;
    EncodedUnit u;
    u.offset = (uint32_t)pos;
    u.size = (uint32_t)len;
    if (inHeaders && granule == 0) {
      u.end = 0;
      out.headerUnits++;
    } else {
      inHeaders = false;
      if (granule > 0) lastEnd = (double)granule / granuleRate;
      u.end = lastEnd;
    }
    out.units.push_back(u);
    pos += len;
  }
  out.duration = lastEnd;
}

void FillFrame(AVFrame* f, const std::vector<float>& pcm, size_t first, int count) {
  const size_t total = pcm.size() / 2;
  for (int i = 0; i < f->nb_samples; i++) {
    const size_t n = first + i;
    const float l = (i < count && n < total) ? pcm[2 * n] : 0.0f;
    const float r = (i < count && n < total) ? pcm[2 * n + 1] : 0.0f;
    switch (f->format) {
      case AV_SAMPLE_FMT_FLTP:
        ((float*)f->data[0])[i] = l;
        ((float*)f->data[1])[i] = r;
        break;
      case AV_SAMPLE_FMT_FLT:
        ((float*)f->data[0])[2 * i] = l;
        ((float*)f->data[0])[2 * i + 1] = r;
        break;
      case AV_SAMPLE_FMT_S16:
        ((int16_t*)f->data[0])[2 * i] = (int16_t)lrintf(std::clamp(l, -1.0f, 1.0f) * 32767);
        ((int16_t*)f->data[0])[2 * i + 1] = (int16_t)lrintf(std::clamp(r, -1.0f, 1.0f) * 32767);
        break;
      case AV_SAMPLE_FMT_S16P:
        ((int16_t*)f->data[0])[i] = (int16_t)lrintf(std::clamp(l, -1.0f, 1.0f) * 32767);
        ((int16_t*)f->data[1])[i] = (int16_t)lrintf(std::clamp(r, -1.0f, 1.0f) * 32767);
        break;
      default:
        break;
    }
  }
}

// Encodes one title; returns 0 on failure (the message goes to stderr).
int EncodeTitle(int codec, int variant, const std::vector<float>& pcm, EncodedTitle& out) {
  const CodecDesc& d = kCodecs[codec];
  const AVCodec* enc = avcodec_find_encoder_by_name(kEncoderNames[codec]);
  if (!enc) {
    fprintf(stderr, "station-sim: encoder %s not available\n", kEncoderNames[codec]);
    return 0;
  }
  AVCodecContext* c = avcodec_alloc_context3(enc);
  c->bit_rate = d.kbps * 1000;
  c->sample_rate = d.sampleRate;
  av_channel_layout_default(&c->ch_layout, 2);
  c->time_base = AVRational{1, d.sampleRate};
  c->sample_fmt = AV_SAMPLE_FMT_NONE;
  const AVSampleFormat prefs[4] = {AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLT, AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16P};
  for (AVSampleFormat want : prefs) {
    for (const AVSampleFormat* f = enc->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; f++)
      if (*f == want && c->sample_fmt == AV_SAMPLE_FMT_NONE) c->sample_fmt = want;
  }
  const bool ogg = codec == CodecOpus || codec == CodecVorbis;
  if (ogg) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (c->sample_fmt == AV_SAMPLE_FMT_NONE || avcodec_open2(c, enc, nullptr) < 0) {
    fprintf(stderr, "station-sim: cannot open encoder %s\n", kEncoderNames[codec]);
    avcodec_free_context(&c);
    return 0;
  }

  AVFormatContext* oc = nullptr;
  AVStream* st = nullptr;
  AVIOContext* pb = nullptr;
  int ok = 1;
  if (ogg) {
    avformat_alloc_output_context2(&oc, nullptr, "ogg", nullptr);
    st = oc ? avformat_new_stream(oc, nullptr) : nullptr;
    if (!st) ok = 0;
    if (ok) {
      avcodec_parameters_from_context(st->codecpar, c);
      st->time_base = c->time_base;
      const TitleMeta& m = GetTitleMeta(variant);
      av_dict_set(&st->metadata, "artist", m.artist.c_str(), 0);
      av_dict_set(&st->metadata, "title", m.title.c_str(), 0);
      av_dict_set(&st->metadata, "album", m.album.c_str(), 0);
      av_dict_set(&st->metadata, "date", m.year.c_str(), 0);
      uint8_t* iobuf = (uint8_t*)av_malloc(4096);
      pb = avio_alloc_context(iobuf, 4096, 1, &out.bytes, nullptr, WriteToString, nullptr);
      oc->pb = pb;
      oc->flags |= AVFMT_FLAG_CUSTOM_IO;
      AVDictionary* opts = nullptr;
      av_dict_set(&opts, "page_duration", "250000", 0);
      if (avformat_write_header(oc, &opts) < 0) ok = 0;
      av_dict_free(&opts);
    }
  }

  AVFrame* frame = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  const int frameSize = c->frame_size > 0 ? c->frame_size : 1024;
  frame->nb_samples = frameSize;
  frame->format = c->sample_fmt;
  frame->sample_rate = c->sample_rate;
  av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
  if (ok && av_frame_get_buffer(frame, 0) < 0) ok = 0;

  const size_t total = pcm.size() / 2;
  size_t done = 0;
  int64_t packets = 0;
  auto drain = [&]() {
    while (ok) {
      int r = avcodec_receive_packet(c, pkt);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
      if (r < 0) {
        ok = 0;
        break;
      }
      if (ogg) {
        av_packet_rescale_ts(pkt, c->time_base, st->time_base);
        pkt->stream_index = 0;
        if (av_write_frame(oc, pkt) < 0) ok = 0;
      } else {
        EncodedUnit u;
        u.offset = (uint32_t)out.bytes.size();
        if (codec == CodecAac) AppendAdtsHeader(out.bytes, pkt->size, c->sample_rate);
        out.bytes.append((const char*)pkt->data, pkt->size);
        u.size = (uint32_t)(out.bytes.size() - u.offset);
        packets++;
        u.end = (double)packets * frameSize / c->sample_rate;
        out.units.push_back(u);
      }
      av_packet_unref(pkt);
    }
  };
  while (ok && done < total) {
    if (av_frame_make_writable(frame) < 0) {
      ok = 0;
      break;
    }
    const int count = (int)std::min<size_t>(frameSize, total - done);
    FillFrame(frame, pcm, done, count);
    frame->pts = (int64_t)done;
    done += frameSize;
    if (avcodec_send_frame(c, frame) < 0) ok = 0;
    drain();
  }
  if (ok) {
    avcodec_send_frame(c, nullptr);
    drain();
  }
  if (ogg && oc) {
    if (ok && av_write_trailer(oc) < 0) ok = 0;
    if (pb) {
      avio_flush(pb);
      av_freep(&pb->buffer);
      avio_context_free(&pb);
    }
    avformat_free_context(oc);
    if (ok) SplitOggPages(out, codec == CodecOpus ? 48000 : c->sample_rate);
  } else if (!out.units.empty()) {
    out.duration = out.units.back().end;
  }
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&c);
  if (!ok || out.units.empty()) {
    fprintf(stderr, "station-sim: encoding %s failed\n", d.key);
    return 0;
  }
  return 1;
}

// ---- the cache, filled by one background thread ----
std::mutex gAudioMutex;
std::condition_variable gAudioCv;
std::vector<std::shared_ptr<const EncodedTitle>> gEncoded;  // variant * CodecCount + codec
std::vector<char> gFailed;
std::vector<int> gWantedSlot;  // listeners waiting for each title
bool gCodecUsed[CodecCount];
bool gEncoderStop = false;
std::thread gEncoderThread;

void EncoderThread() {
  // Synthesised titles by (variant, rate), the last few kept: each codec of a title needs one.
  std::vector<std::pair<std::pair<int, int>, std::vector<float>>> pcmCache;
  for (;;) {
    int job = -1;
    {
      std::unique_lock<std::mutex> lock(gAudioMutex);
      for (;;) {
        if (gEncoderStop) return;
        // Titles a listener waits for come first; then the current and the next title of
        // every codec in use, so a title change never waits. Nothing else is encoded, which
        // keeps a test's simulator cheap.
        const int cur = VariantOf(GetSchedule().index);
        for (int k = 0; k < gOpt.variants && job < 0; k++)
          for (int cd = 0; cd < CodecCount && job < 0; cd++) {
            const int slot = ((cur + k) % gOpt.variants) * CodecCount + cd;
            if (!gEncoded[slot] && !gFailed[slot] && gWantedSlot[slot] > 0) job = slot;
          }
        for (int k = 0; k < 2 && job < 0; k++)
          for (int cd = 0; cd < CodecCount && job < 0; cd++) {
            const int slot = ((cur + k) % gOpt.variants) * CodecCount + cd;
            if (!gEncoded[slot] && !gFailed[slot] && gCodecUsed[cd]) job = slot;
          }
        if (job >= 0) break;
        gAudioCv.wait_for(lock, std::chrono::milliseconds(500));
      }
    }
    const int v = job / CodecCount, cd = job % CodecCount;
    const int rate = kCodecs[cd].sampleRate;
    const auto t0 = std::chrono::steady_clock::now();
    const std::pair<int, int> key{v, rate};
    size_t at = 0;
    while (at < pcmCache.size() && pcmCache[at].first != key) at++;
    if (at == pcmCache.size()) {
      if (pcmCache.size() >= 4) pcmCache.erase(pcmCache.begin());
      pcmCache.push_back({key, SynthesiseTitle(v, rate, gOpt.titleSeconds, GetTitleMeta(v).loudness)});
      at = pcmCache.size() - 1;
    }
    const auto t1 = std::chrono::steady_clock::now();
    auto enc = std::make_shared<EncodedTitle>();
    const int ok = EncodeTitle(cd, v, pcmCache[at].second, *enc);
    if (gOpt.verbose)
      fprintf(stderr,
              "station-sim: encoded title %d %s: %zu bytes, %.2f s of audio (synthesis %.3f s, encoding %.3f s)\n", v,
              kCodecs[cd].key, enc->bytes.size(), enc->duration, std::chrono::duration<double>(t1 - t0).count(),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count());
    {
      std::lock_guard<std::mutex> lock(gAudioMutex);
      if (ok)
        gEncoded[job] = enc;
      else
        gFailed[job] = 1;
    }
    gAudioCv.notify_all();
  }
}

// ---- artwork ----
std::mutex gArtMutex;
std::map<std::string, std::string> gArt;

std::string EncodeImage(int variant, bool png) {
  const int w = 240, h = 240;
  std::vector<uint8_t> rgb(w * h * 3);
  const double hue = variant * 0.785;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const double dx = x - w / 2.0, dy = y - h / 2.0;
      const double r = std::sqrt(dx * dx + dy * dy);
      const double ring = 0.5 + 0.5 * std::cos(r / (6.0 + variant));
      const double g = (double)y / h;
      double cr = 0.5 + 0.5 * std::sin(hue), cg = 0.5 + 0.5 * std::sin(hue + 2.1), cb = 0.5 + 0.5 * std::sin(hue + 4.2);
      const double wave = std::fabs(dy - 40 * std::sin(x / 18.0 + variant)) < 3 ? 1.0 : 0.0;
      double k = (0.35 + 0.45 * g) * (0.7 + 0.3 * ring);
      uint8_t* p = &rgb[(y * w + x) * 3];
      p[0] = (uint8_t)std::min(255.0, 255 * (cr * k + wave * 0.8));
      p[1] = (uint8_t)std::min(255.0, 255 * (cg * k + wave * 0.8));
      p[2] = (uint8_t)std::min(255.0, 255 * (cb * k + wave * 0.8));
    }
  const AVCodec* enc = avcodec_find_encoder(png ? AV_CODEC_ID_PNG : AV_CODEC_ID_MJPEG);
  if (!enc) return "";
  AVCodecContext* c = avcodec_alloc_context3(enc);
  c->width = w;
  c->height = h;
  c->time_base = AVRational{1, 25};
  c->pix_fmt = png ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_YUVJ420P;
  if (!png) {
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->global_quality = FF_QP2LAMBDA * 3;
  }
  std::string result;
  if (avcodec_open2(c, enc, nullptr) < 0) {
    avcodec_free_context(&c);
    return "";
  }
  AVFrame* f = av_frame_alloc();
  f->width = w;
  f->height = h;
  f->format = c->pix_fmt;
  if (!png) f->quality = c->global_quality;
  if (av_frame_get_buffer(f, 0) == 0) {
    if (png) {
      for (int y = 0; y < h; y++) memcpy(f->data[0] + y * f->linesize[0], &rgb[y * w * 3], w * 3);
    } else {
      for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
          const uint8_t* p = &rgb[(y * w + x) * 3];
          f->data[0][y * f->linesize[0] + x] = (uint8_t)(0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]);
        }
      for (int y = 0; y < h / 2; y++)
        for (int x = 0; x < w / 2; x++) {
          const uint8_t* p = &rgb[((2 * y) * w + 2 * x) * 3];
          const double cb = 128 - 0.168736 * p[0] - 0.331264 * p[1] + 0.5 * p[2];
          const double cr = 128 + 0.5 * p[0] - 0.418688 * p[1] - 0.081312 * p[2];
          f->data[1][y * f->linesize[1] + x] = (uint8_t)std::clamp(cb, 0.0, 255.0);
          f->data[2][y * f->linesize[2] + x] = (uint8_t)std::clamp(cr, 0.0, 255.0);
        }
    }
    AVPacket* pkt = av_packet_alloc();
    if (avcodec_send_frame(c, f) == 0 && avcodec_send_frame(c, nullptr) >= 0) {
      while (avcodec_receive_packet(c, pkt) == 0) {
        result.append((const char*)pkt->data, pkt->size);
        av_packet_unref(pkt);
      }
    }
    av_packet_free(&pkt);
  }
  av_frame_free(&f);
  avcodec_free_context(&c);
  return result;
}

}  // namespace

const CodecDesc& GetCodecDesc(int codec) { return kCodecs[codec]; }

int CodecFromKey(const std::string& key) {
  for (int i = 0; i < CodecCount; i++)
    if (key == kCodecs[i].key) return i;
  return -1;
}

void StartEncoder() {
  av_log_set_level(gOpt.verbose ? AV_LOG_WARNING : AV_LOG_ERROR);
  std::lock_guard<std::mutex> lock(gAudioMutex);
  gEncoded.assign((size_t)gOpt.variants * CodecCount, nullptr);
  gFailed.assign((size_t)gOpt.variants * CodecCount, 0);
  gWantedSlot.assign((size_t)gOpt.variants * CodecCount, 0);
  for (bool& u : gCodecUsed) u = false;
  gEncoderStop = false;
  gEncoderThread = std::thread(EncoderThread);
}

void StopEncoder() {
  {
    std::lock_guard<std::mutex> lock(gAudioMutex);
    gEncoderStop = true;
  }
  gAudioCv.notify_all();
  if (gEncoderThread.joinable()) gEncoderThread.join();
}

std::shared_ptr<const EncodedTitle> GetEncodedTitle(int variant, int codec, const std::atomic<bool>* cancel) {
  const int slot = variant * CodecCount + codec;
  std::unique_lock<std::mutex> lock(gAudioMutex);
  if (gEncoded[slot]) return gEncoded[slot];
  gWantedSlot[slot]++;
  gCodecUsed[codec] = true;
  gAudioCv.notify_all();
  while (!gEncoded[slot] && !gFailed[slot] && !gEncoderStop && !gStopping && !(cancel && *cancel))
    gAudioCv.wait_for(lock, std::chrono::milliseconds(100));
  gWantedSlot[slot]--;
  return gEncoded[slot];
}

std::string GetArtwork(int variant, const std::string& format) {
  if (format != "png" && format != "jpg") return "";
  const std::string key = std::to_string(variant) + "." + format;
  {
    std::lock_guard<std::mutex> lock(gArtMutex);
    auto it = gArt.find(key);
    if (it != gArt.end()) return it->second;
  }
  std::string img = EncodeImage(variant, format == "png");
  std::lock_guard<std::mutex> lock(gArtMutex);
  if (!img.empty()) gArt[key] = img;
  return img;
}
