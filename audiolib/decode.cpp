// The decoder: FFmpeg reads the download buffer through a custom AVIOContext, probes
// the format once (blocking the creating call, as the caller expects), and then a
// decoding thread turns packets into float frames at the device's rate and channel
// count. Streams fed by a STREAMPROC go through the same converter.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstring>
#include <mutex>

#include "internal.h"

namespace audiolib {

struct Decoder {
  Stream* stream = nullptr;
  ByteRing* in = nullptr;  // the download buffer (URL streams)
  Clock::time_point deadline = Clock::time_point::max();
  bool timedOut = false;

  AVFormatContext* fmt = nullptr;
  AVIOContext* avio = nullptr;
  AVCodecContext* codec = nullptr;
  int streamIndex = -1;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;

  SwrContext* swr = nullptr;
  int swrRate = 0;
  int swrFormat = -1;
  AVChannelLayout swrLayout{};
  std::vector<float> out;

  float nominalKbps = 0;
  int sourceRate = 0;
  std::atomic<uint64_t> sourceFrames{0};

  // STREAMPROC source.
  DWORD procFreq = 0, procChans = 0;
  bool procFloat = false;
  std::vector<uint8_t> procBuffer;
};

namespace {

int ReadPacket(void* opaque, uint8_t* buf, int size) {
  auto* d = static_cast<Decoder*>(opaque);
  for (;;) {
    const size_t n = d->in->Read(buf, size_t(size), true, d->deadline);
    if (n > 0) return int(n);
    if (d->stream->stop || d->in->Aborted()) return AVERROR_EXIT;
    if (d->in->Drained()) return AVERROR_EOF;
    if (Clock::now() >= d->deadline) {
      d->timedOut = true;
      return AVERROR_EXIT;
    }
  }
}

int Interrupted(void* opaque) { return static_cast<Decoder*>(opaque)->stream->stop ? 1 : 0; }

// Sets up the converter for a frame's format; 0 when it cannot.
int Configure(Decoder* d, const AVFrame* f) {
  if (d->swr && d->swrRate == f->sample_rate && d->swrFormat == f->format &&
      av_channel_layout_compare(&d->swrLayout, &f->ch_layout) == 0)
    return 1;
  swr_free(&d->swr);
  av_channel_layout_uninit(&d->swrLayout);
  AVChannelLayout outLayout;
  av_channel_layout_default(&outLayout, d->stream->outChans);
  AVChannelLayout inLayout;
  if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || f->ch_layout.nb_channels == 0)
    av_channel_layout_default(&inLayout, std::max(1, f->ch_layout.nb_channels));
  else
    av_channel_layout_copy(&inLayout, &f->ch_layout);
  int r = swr_alloc_set_opts2(&d->swr, &outLayout, AV_SAMPLE_FMT_FLT, d->stream->outRate, &inLayout,
                              AVSampleFormat(f->format), f->sample_rate, 0, nullptr);
  if (r >= 0 && inLayout.nb_channels == 1 && d->stream->outChans == 2) {
    // Mono goes to both speakers at its own level.
    const double matrix[2] = {1.0, 1.0};
    r = swr_set_matrix(d->swr, matrix, 1);
  }
  if (r >= 0) r = swr_init(d->swr);
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  if (r < 0) {
    swr_free(&d->swr);
    return 0;
  }
  d->swrRate = f->sample_rate;
  d->swrFormat = f->format;
  av_channel_layout_copy(&d->swrLayout, &f->ch_layout);
  return 1;
}

// Converts one frame and hands it to the mixer's buffer (waiting for room). 0 when the
// stream stops.
int Emit(Decoder* d, const AVFrame* f) {
  if (f->nb_samples <= 0 || !Configure(d, f)) return 1;
  d->sourceFrames += uint64_t(f->nb_samples);
  const int chans = d->stream->outChans;
  const int capacity = swr_get_out_samples(d->swr, f->nb_samples);
  if (capacity <= 0) return 1;
  d->out.resize(size_t(capacity) * size_t(chans));
  uint8_t* outPtr = reinterpret_cast<uint8_t*>(d->out.data());
  const int n = swr_convert(d->swr, &outPtr, capacity, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
  if (n <= 0) return 1;
  const size_t bytes = size_t(n) * size_t(chans) * sizeof(float);
  return d->stream->pcm.Write(d->out.data(), bytes, true) == bytes ? 1 : 0;
}

int OpenCodec(Decoder* d, int index) {
  const AVCodecParameters* par = d->fmt->streams[index]->codecpar;
  const AVCodec* c = avcodec_find_decoder(par->codec_id);
  if (!c) return BASS_ERROR_CODEC;
  AVCodecContext* ctx = avcodec_alloc_context3(c);
  if (!ctx) return BASS_ERROR_MEM;
  if (avcodec_parameters_to_context(ctx, par) < 0 || avcodec_open2(ctx, c, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return BASS_ERROR_CODEC;
  }
  avcodec_free_context(&d->codec);
  d->codec = ctx;
  d->streamIndex = index;
  return 0;
}

bool IsContainer(const AVFormatContext* fmt, const char* name) {
  return fmt->iformat && fmt->iformat->name && std::strstr(fmt->iformat->name, name) != nullptr;
}

// The channel type for what was probed, or 0 when this library does not play it (a
// format of an add-on that is not loaded counts as unknown).
DWORD ChannelType(const AVFormatContext* fmt, const AVCodecParameters* par, HPLUGIN* plugin) {
  *plugin = 0;
  switch (par->codec_id) {
    case AV_CODEC_ID_MP3:
      return BASS_CTYPE_STREAM_MP3;
    case AV_CODEC_ID_MP2:
      return BASS_CTYPE_STREAM_MP2;
    case AV_CODEC_ID_MP1:
      return BASS_CTYPE_STREAM_MP1;
    case AV_CODEC_ID_VORBIS:
      return BASS_CTYPE_STREAM_VORBIS;
    case AV_CODEC_ID_OPUS:
      if (!gOpusEnabled) return 0;
      *plugin = gOpusPlugin;
      return BASS_CTYPE_STREAM_OPUS;
    case AV_CODEC_ID_AAC:
      if (!gAacEnabled) return 0;
      *plugin = gAacPlugin;
      if (IsContainer(fmt, "mp4") || IsContainer(fmt, "mov"))
        return gMp4Enabled && gConfig.aacMp4 ? BASS_CTYPE_STREAM_MP4 : 0;
      return BASS_CTYPE_STREAM_AAC;
    case AV_CODEC_ID_PCM_U8:
    case AV_CODEC_ID_PCM_S16LE:
    case AV_CODEC_ID_PCM_S24LE:
    case AV_CODEC_ID_PCM_S32LE:
      return IsContainer(fmt, "wav") ? BASS_CTYPE_STREAM_WAV_PCM : 0;
    case AV_CODEC_ID_PCM_F32LE:
    case AV_CODEC_ID_PCM_F64LE:
      return IsContainer(fmt, "wav") ? BASS_CTYPE_STREAM_WAV_FLOAT : 0;
    case AV_CODEC_ID_PCM_S8:
    case AV_CODEC_ID_PCM_S16BE:
    case AV_CODEC_ID_PCM_S24BE:
    case AV_CODEC_ID_PCM_S32BE:
      return IsContainer(fmt, "aiff") ? BASS_CTYPE_STREAM_AIFF : 0;
    default:
      return 0;
  }
}

int ProbeError(const Decoder* d) {
  if (d->stream->stop) return BASS_ERROR_INIT;
  if (d->timedOut) return BASS_ERROR_TIMEOUT;
  return BASS_ERROR_FILEFORM;
}

void RunUrl(Decoder* d, Stream& s) {
  int errors = 0;
  while (!s.stop) {
    const int r = av_read_frame(d->fmt, d->packet);
    if (r == AVERROR(EAGAIN)) continue;
    if (r < 0) break;  // the connection ended, or stop
    if (d->packet->stream_index != d->streamIndex) {
      // A chained Ogg stream may continue as a new logical stream: follow it.
      const AVStream* st = d->fmt->streams[d->packet->stream_index];
      HPLUGIN plugin;
      if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO || ChannelType(d->fmt, st->codecpar, &plugin) == 0 ||
          OpenCodec(d, d->packet->stream_index) != 0) {
        av_packet_unref(d->packet);
        continue;
      }
    }
    int sent = avcodec_send_packet(d->codec, d->packet);
    av_packet_unref(d->packet);
    if (sent < 0 && sent != AVERROR(EAGAIN)) {
      // A run of undecodable packets after a new chain's headers: start the decoder
      // again from what the demuxer knows now.
      if (++errors >= 8) {
        OpenCodec(d, d->streamIndex);
        errors = 0;
      }
      continue;
    }
    errors = 0;
    while (avcodec_receive_frame(d->codec, d->frame) == 0) {
      const int ok = Emit(d, d->frame);
      av_frame_unref(d->frame);
      if (!ok) return;
    }
  }
  if (s.stop) return;
  avcodec_send_packet(d->codec, nullptr);
  while (avcodec_receive_frame(d->codec, d->frame) == 0) {
    const int ok = Emit(d, d->frame);
    av_frame_unref(d->frame);
    if (!ok) return;
  }
}

void RunProc(Decoder* d, Stream& s) {
  const size_t frameBytes = size_t(d->procChans) * (d->procFloat ? 4 : 2);
  const size_t chunkFrames = std::max<size_t>(1, d->procFreq / 50);  // 20 ms per call
  d->procBuffer.resize(chunkFrames * frameBytes);
  AVFrame* f = d->frame;
  while (!s.stop) {
    const DWORD r = s.proc(s.handle, d->procBuffer.data(), DWORD(d->procBuffer.size()), s.procUser);
    const bool end = r & BASS_STREAMPROC_END;
    const size_t bytes = std::min<size_t>(r & ~BASS_STREAMPROC_END, d->procBuffer.size());
    const int frames = int(bytes / frameBytes);
    if (frames > 0) {
      f->nb_samples = frames;
      f->format = d->procFloat ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_S16;
      f->sample_rate = int(d->procFreq);
      av_channel_layout_default(&f->ch_layout, int(d->procChans));
      f->extended_data = f->data;
      f->data[0] = d->procBuffer.data();
      const int ok = Emit(d, f);
      f->data[0] = nullptr;
      av_channel_layout_uninit(&f->ch_layout);
      if (!ok) return;
    }
    if (end) break;
    // A procedure with nothing to give stalls the stream; ask again a little later.
    if (frames == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

void DestroyDecoder(Decoder* d) {
  if (!d) return;
  if (d->fmt) avformat_close_input(&d->fmt);
  if (d->avio) {
    av_freep(&d->avio->buffer);
    avio_context_free(&d->avio);
  }
  avcodec_free_context(&d->codec);
  swr_free(&d->swr);
  av_channel_layout_uninit(&d->swrLayout);
  av_packet_free(&d->packet);
  av_frame_free(&d->frame);
  delete d;
}

float DecoderBitrateKbps(Decoder* d) {
  if (d->nominalKbps > 0) return d->nominalKbps;
  // No nominal rate (VBR Ogg, for one): bytes taken over the time they decoded to.
  const uint64_t frames = d->sourceFrames;
  if (!d->in || frames == 0 || d->sourceRate <= 0) return 0;
  const double seconds = double(frames) / d->sourceRate;
  return float(double(d->in->TotalOut()) * 8.0 / seconds / 1000.0);
}

int OpenUrlDecoder(const StreamPtr& sp, Clock::time_point deadline) {
  // Damaged frames of a live stream are normal; they are skipped, not reported.
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_FATAL); });
  Stream& s = *sp;
  s.decoder.reset(new Decoder());
  Decoder* d = s.decoder.get();
  d->stream = &s;
  d->in = &s.net->ring;
  d->deadline = deadline;
  d->packet = av_packet_alloc();
  d->frame = av_frame_alloc();
  constexpr int kAvioSize = 8192;
  auto* buffer = static_cast<uint8_t*>(av_malloc(kAvioSize));
  if (!buffer || !d->packet || !d->frame) {
    av_free(buffer);
    return BASS_ERROR_MEM;
  }
  d->avio = avio_alloc_context(buffer, kAvioSize, 0, d, ReadPacket, nullptr, nullptr);
  if (!d->avio) {
    av_free(buffer);
    return BASS_ERROR_MEM;
  }
  d->avio->seekable = 0;
  AVFormatContext* fmt = avformat_alloc_context();
  if (!fmt) return BASS_ERROR_MEM;
  fmt->pb = d->avio;
  fmt->interrupt_callback.callback = Interrupted;
  fmt->interrupt_callback.opaque = d;
  fmt->probesize = std::max<int64_t>(int64_t(gConfig.verify), 64 * 1024);
  // The codec parameters come with the first frames; reading further only delays the
  // connect (and, with a slow server, could run into the read time-out).
  fmt->max_analyze_duration = AV_TIME_BASE / 4;
  // Demuxers keep a seek index as they read; a live stream is never sought, so keep it
  // small rather than letting it grow to the default megabyte over the hours.
  fmt->max_index_size = 16 * 1024;
  if (avformat_open_input(&fmt, "", nullptr, nullptr) < 0) return ProbeError(d);  // frees fmt
  d->fmt = fmt;
  if (avformat_find_stream_info(fmt, nullptr) < 0) return ProbeError(d);
  const int index = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (index < 0) return ProbeError(d);
  const AVCodecParameters* par = fmt->streams[index]->codecpar;
  HPLUGIN plugin = 0;
  const DWORD ctype = ChannelType(fmt, par, &plugin);
  if (ctype == 0 || par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0) return BASS_ERROR_FILEFORM;
  if (const int err = OpenCodec(d, index)) return err;

  s.info.freq = DWORD(par->sample_rate);
  s.info.chans = DWORD(par->ch_layout.nb_channels);
  s.info.flags = s.flags & ~BASS_UNICODE;
  s.info.ctype = ctype;
  s.info.plugin = plugin;
  s.info.origres = 0;
  if (ctype == BASS_CTYPE_STREAM_WAV_PCM || ctype == BASS_CTYPE_STREAM_WAV_FLOAT || ctype == BASS_CTYPE_STREAM_AIFF) {
    s.info.origres = DWORD(par->bits_per_coded_sample);
    if (ctype != BASS_CTYPE_STREAM_AIFF) {
      s.waveFormat.wFormatTag = ctype == BASS_CTYPE_STREAM_WAV_FLOAT ? 3 : 1;
      s.waveFormat.nChannels = WORD(s.info.chans);
      s.waveFormat.nSamplesPerSec = s.info.freq;
      s.waveFormat.wBitsPerSample = WORD(par->bits_per_coded_sample);
      s.waveFormat.nBlockAlign = WORD(s.info.chans * s.waveFormat.wBitsPerSample / 8);
      s.waveFormat.nAvgBytesPerSec = s.info.freq * s.waveFormat.nBlockAlign;
      s.hasWaveFormat = true;
    }
  }
  d->sourceRate = par->sample_rate;
  const int64_t bitrate = par->bit_rate > 0 ? par->bit_rate : fmt->bit_rate;
  d->nominalKbps = bitrate > 0 ? float(double(bitrate) / 1000.0) : 0.0f;
  d->deadline = Clock::time_point::max();  // from now on the stream waits as long as it lives
  return 0;
}

int OpenProcDecoder(const StreamPtr& sp, DWORD freq, DWORD chans, DWORD flags) {
  Stream& s = *sp;
  s.decoder.reset(new Decoder());
  Decoder* d = s.decoder.get();
  d->stream = &s;
  d->frame = av_frame_alloc();
  if (!d->frame) return BASS_ERROR_MEM;
  d->procFreq = freq;
  d->procChans = chans;
  d->procFloat = flags & BASS_SAMPLE_FLOAT;
  d->sourceRate = int(freq);
  return 0;
}

void RunDecoder(StreamPtr sp) {
  Stream& s = *sp;
  Decoder* d = s.decoder.get();
  if (d) {
    if (s.kind == SourceKind::Url)
      RunUrl(d, s);
    else
      RunProc(d, s);
  }
  // Whatever is left in the buffer still plays; then the mixer sees the end.
  s.pcm.Close();
}

}  // namespace audiolib
