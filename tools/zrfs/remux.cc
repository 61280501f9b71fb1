#include "remux.h"

#include <fmt/format.h>

#include "errors.h"

#ifdef ZRFS_HAVE_AVFORMAT
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}
#endif

namespace zrfs::tool {

#ifndef ZRFS_HAVE_AVFORMAT

bool RemuxBuilt() {
  return false;
}

RemuxOutcome Remux(const ByteSource &, uint64_t, const std::string &, const std::string &, double,
                   Progress *) {
  throw ToolError("this zrfs was built without libavformat, so it cannot write MP4 or MPEG-TS",
                  "Use --format raw, or install libavformat-dev and build again.");
}

#else

bool RemuxBuilt() {
  return true;
}

namespace {

// The recording as libavformat's input: reads through the source.
struct Input {
  const ByteSource *source;
  uint64_t size;
  uint64_t position = 0;
  Progress *progress;
};

int ReadPacket(void *opaque, uint8_t *buf, int len) {
  auto *in = static_cast<Input *>(opaque);
  int n = (*in->source)(in->position, buf, uint32_t(len));
  if (n < 0) return AVERROR(EIO);
  if (n == 0) return AVERROR_EOF;
  in->position += uint64_t(n);
  if (in->progress != nullptr) in->progress->Update(in->position);
  return n;
}

int64_t Seek(void *opaque, int64_t offset, int whence) {
  auto *in = static_cast<Input *>(opaque);
  if (whence & AVSEEK_SIZE) return int64_t(in->size);
  whence &= ~AVSEEK_FORCE;
  int64_t base = whence == SEEK_CUR   ? int64_t(in->position)
                 : whence == SEEK_END ? int64_t(in->size)
                                      : 0;
  if (base + offset < 0) return -1;
  in->position = uint64_t(base + offset);
  return int64_t(in->position);
}

std::string AvText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// Owners of what libavformat hands out.
struct Contexts {
  AVFormatContext *in = nullptr;
  AVIOContext *io = nullptr;
  AVFormatContext *out = nullptr;
  AVPacket *packet = nullptr;
  ~Contexts() {
    av_packet_free(&packet);
    if (out != nullptr) {
      if (out->pb != nullptr) avio_closep(&out->pb);
      avformat_free_context(out);
    }
    avformat_close_input(&in);
    if (io != nullptr) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
  }
};

}  // namespace

RemuxOutcome Remux(const ByteSource &source, uint64_t size, const std::string &out,
                   const std::string &container, double fps, Progress *progress) {
  av_log_set_level(AV_LOG_ERROR);
  Input input{&source, size, 0, progress};
  Contexts c;
  constexpr int kBufferBytes = 1 << 16;
  auto *buffer = static_cast<uint8_t *>(av_malloc(kBufferBytes));
  c.io = avio_alloc_context(buffer, kBufferBytes, 0, &input, ReadPacket, nullptr, Seek);
  c.in = avformat_alloc_context();
  if (buffer == nullptr || c.io == nullptr || c.in == nullptr) throw ToolError("out of memory");
  c.in->pb = c.io;
  c.in->flags |= AVFMT_FLAG_CUSTOM_IO;  // the input context never closes our reader

  const AVInputFormat *format = nullptr;
  int err = av_probe_input_buffer(c.io, &format, nullptr, nullptr, 0, 0);
  std::string found = format != nullptr ? format->name : "nothing known";
  if (err < 0 || (found != "h264" && found != "hevc"))
    throw ToolError(
        fmt::format("the recording is no H.264 or H.265 stream (it looks like {})", found),
        "Export it with --format raw.");
  AVDictionary *options = nullptr;
  if (fps > 0) av_dict_set(&options, "framerate", fmt::format("{}", fps).c_str(), 0);
  err = avformat_open_input(&c.in, nullptr, format, &options);
  av_dict_free(&options);
  if (err < 0) throw ToolError(fmt::format("cannot read the stream: {}", AvText(err)));
  if ((err = avformat_find_stream_info(c.in, nullptr)) < 0 || c.in->nb_streams < 1)
    throw ToolError(fmt::format("cannot read the stream: {}", AvText(err)));
  AVStream *from = c.in->streams[0];

  if ((err = avformat_alloc_output_context2(&c.out, nullptr, container.c_str(), out.c_str())) < 0)
    throw ToolError(fmt::format("cannot make {}: {}", out, AvText(err)));
  AVStream *to = avformat_new_stream(c.out, nullptr);
  if (to == nullptr || avcodec_parameters_copy(to->codecpar, from->codecpar) < 0)
    throw ToolError("out of memory");
  to->codecpar->codec_tag = 0;  // the container picks its own
  to->time_base = from->time_base;
  if ((err = avio_open(&c.out->pb, out.c_str(), AVIO_FLAG_WRITE)) < 0)
    throw ToolError(fmt::format("cannot write {}: {}", out, AvText(err)));
  if ((err = avformat_write_header(c.out, nullptr)) < 0)
    throw ToolError(fmt::format("cannot write {}: {}", out, AvText(err)));

  // A raw stream's frames may come without times: they follow one another
  // at the frame rate (the stream's, --fps, or 25).
  AVRational rate = from->avg_frame_rate.num > 0 ? from->avg_frame_rate : from->r_frame_rate;
  if (fps > 0) rate = av_d2q(fps, 100000);
  if (rate.num <= 0 || rate.den <= 0) rate = AVRational{25, 1};
  int64_t frameTicks = av_rescale_q(1, av_inv_q(rate), from->time_base);
  RemuxOutcome outcome;
  outcome.codec = found;
  c.packet = av_packet_alloc();
  int64_t lastDts = AV_NOPTS_VALUE;
  while ((err = av_read_frame(c.in, c.packet)) >= 0) {
    if (c.packet->stream_index != 0) {
      av_packet_unref(c.packet);
      continue;
    }
    int64_t count = int64_t(outcome.frames++);
    if (c.packet->dts == AV_NOPTS_VALUE) c.packet->dts = count * frameTicks;
    if (c.packet->pts == AV_NOPTS_VALUE) c.packet->pts = c.packet->dts;
    if (lastDts != AV_NOPTS_VALUE && c.packet->dts <= lastDts) c.packet->dts = lastDts + 1;
    if (c.packet->pts < c.packet->dts) c.packet->pts = c.packet->dts;
    lastDts = c.packet->dts;
    if (c.packet->duration <= 0 || fps > 0) c.packet->duration = frameTicks;  // --fps rules
    av_packet_rescale_ts(c.packet, from->time_base, to->time_base);
    c.packet->stream_index = to->index;
    c.packet->pos = -1;
    if ((err = av_interleaved_write_frame(c.out, c.packet)) < 0)
      throw ToolError(fmt::format("cannot write {}: {}", out, AvText(err)));
  }
  if (err != AVERROR_EOF) throw ToolError(fmt::format("cannot read the stream: {}", AvText(err)));
  if ((err = av_write_trailer(c.out)) < 0)
    throw ToolError(fmt::format("cannot finish {}: {}", out, AvText(err)));
  return outcome;
}

#endif

}  // namespace zrfs::tool
