#include "remux.h"

#include <algorithm>
#include <memory>
#include <vector>

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

void RequireRemux() {
  if (!RemuxBuilt())
    throw ToolError("this zrfs was built without libavformat, so it cannot write MP4 or MPEG-TS",
                    "Use --format raw, or install libavformat-dev and build again.");
}

#ifndef ZRFS_HAVE_AVFORMAT

bool RemuxBuilt() {
  return false;
}

RemuxOutcome Remux(const ByteSource &, uint64_t, const std::string &, const std::string &, double,
                   Progress *) {
  RequireRemux();
  return {};
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

// Owners of what libavformat hands out for reading the stream.
struct InputContexts {
  AVFormatContext *in = nullptr;
  AVIOContext *io = nullptr;
  AVPacket *packet = nullptr;
  ~InputContexts() {
    av_packet_free(&packet);
    avformat_close_input(&in);
    if (io != nullptr) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
  }
};

// The output file, closed and freed on every path.
struct OutputContext {
  AVFormatContext *out = nullptr;
  ~OutputContext() {
    if (out == nullptr) return;
    if (out->pb != nullptr) avio_closep(&out->pb);
    avformat_free_context(out);
  }
};

// Opens the recording from its start as an H.264 or H.265 elementary
// stream; returns libavformat's name of it.
std::string OpenStream(InputContexts &c, Input &input, double fps) {
  input.position = 0;
  constexpr int kBufferBytes = 1 << 16;
  auto *buffer = static_cast<uint8_t *>(av_malloc(kBufferBytes));
  c.io = avio_alloc_context(buffer, kBufferBytes, 0, &input, ReadPacket, nullptr, Seek);
  c.in = avformat_alloc_context();
  c.packet = av_packet_alloc();
  if (buffer == nullptr || c.io == nullptr || c.in == nullptr || c.packet == nullptr) {
    if (c.io == nullptr) av_free(buffer);
    throw ToolError("out of memory");
  }
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
  return found;
}

// Where each frame, in decoding order, stands in presentation order.  An
// elementary stream carries no presentation times, only each picture's
// order count, which starts again at a key frame; frames with B-frames
// between them are decoded out of order.  Counts that a parser cannot give
// come out equal, and such frames keep their decoding order.
std::vector<int64_t> PresentationOrder(Input &input, double fps) {
  InputContexts c;
  OpenStream(c, input, fps);
  const AVCodecParameters *par = c.in->streams[0]->codecpar;
  AVCodecParserContext *parser = av_parser_init(par->codec_id);
  AVCodecContext *codec = avcodec_alloc_context3(nullptr);
  std::unique_ptr<AVCodecParserContext, void (*)(AVCodecParserContext *)> parserOwner(
      parser, av_parser_close);
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext *)> codecOwner(
      codec, [](AVCodecContext *ctx) { avcodec_free_context(&ctx); });
  if (parser == nullptr || codec == nullptr || avcodec_parameters_to_context(codec, par) < 0)
    throw ToolError("out of memory");
  parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;  // each packet is one whole frame

  struct Frame {
    int order;  // picture order count
    bool key;
  };
  std::vector<Frame> frames;
  int err;
  while ((err = av_read_frame(c.in, c.packet)) >= 0) {
    if (c.packet->stream_index == 0) {
      uint8_t *data = nullptr;
      int size = 0;
      parser->output_picture_number = 0;
      av_parser_parse2(parser, codec, &data, &size, c.packet->data, c.packet->size, AV_NOPTS_VALUE,
                       AV_NOPTS_VALUE, 0);
      frames.push_back({parser->output_picture_number, (c.packet->flags & AV_PKT_FLAG_KEY) != 0});
    }
    av_packet_unref(c.packet);
  }
  if (err != AVERROR_EOF) throw ToolError(fmt::format("cannot read the stream: {}", AvText(err)));

  // Within each run from one key frame to the next, the frames' ranks by
  // order count; a sort that keeps ties in decoding order.
  std::vector<int64_t> shown(frames.size());
  std::vector<size_t> run;
  for (size_t first = 0; first < frames.size();) {
    size_t end = first + 1;
    while (end < frames.size() && !frames[end].key) ++end;
    run.resize(end - first);
    for (size_t i = 0; i < run.size(); ++i) run[i] = first + i;
    std::stable_sort(run.begin(), run.end(),
                     [&](size_t a, size_t b) { return frames[a].order < frames[b].order; });
    for (size_t rank = 0; rank < run.size(); ++rank) shown[run[rank]] = int64_t(first + rank);
    first = end;
  }
  return shown;
}

}  // namespace

RemuxOutcome Remux(const ByteSource &source, uint64_t size, const std::string &out,
                   const std::string &container, double fps, Progress *progress) {
  av_log_set_level(AV_LOG_ERROR);
  // First the frames' presentation order, without the progress bar; then
  // the frames themselves.
  Input scan{&source, size, 0, nullptr};
  std::vector<int64_t> shown = PresentationOrder(scan, fps);
  // A frame is decoded no later than it is shown: decoding times run behind
  // by the furthest a frame is shown ahead of its place.
  int64_t delay = 0;
  for (size_t i = 0; i < shown.size(); ++i) delay = std::max(delay, int64_t(i) - shown[i]);

  Input input{&source, size, 0, progress};
  InputContexts c;
  RemuxOutcome outcome;
  outcome.codec = OpenStream(c, input, fps);
  AVStream *from = c.in->streams[0];

  OutputContext o;
  int err;
  if ((err = avformat_alloc_output_context2(&o.out, nullptr, container.c_str(), out.c_str())) < 0)
    throw ToolError(fmt::format("cannot make {}: {}", out, AvText(err)));
  AVStream *to = avformat_new_stream(o.out, nullptr);
  if (to == nullptr || avcodec_parameters_copy(to->codecpar, from->codecpar) < 0)
    throw ToolError("out of memory");
  to->codecpar->codec_tag = 0;  // the container picks its own
  to->time_base = from->time_base;
  if ((err = avio_open(&o.out->pb, out.c_str(), AVIO_FLAG_WRITE)) < 0)
    throw ToolError(fmt::format("cannot write {}: {}", out, AvText(err)));
  if ((err = avformat_write_header(o.out, nullptr)) < 0)
    throw ToolError(fmt::format("cannot write {}: {}", out, AvText(err)));

  // Frames follow one another at the frame rate (the stream's, --fps, or
  // 25), shown in their presentation order.
  AVRational rate = from->avg_frame_rate.num > 0 ? from->avg_frame_rate : from->r_frame_rate;
  if (fps > 0) rate = av_d2q(fps, 100000);
  if (rate.num <= 0 || rate.den <= 0) rate = AVRational{25, 1};
  int64_t frameTicks = av_rescale_q(1, av_inv_q(rate), from->time_base);
  while ((err = av_read_frame(c.in, c.packet)) >= 0) {
    if (c.packet->stream_index != 0) {
      av_packet_unref(c.packet);
      continue;
    }
    auto count = int64_t(outcome.frames++);
    int64_t place = size_t(count) < shown.size() ? shown[size_t(count)] : count;
    c.packet->dts = count * frameTicks;
    c.packet->pts = (place + delay) * frameTicks;
    c.packet->duration = frameTicks;
    av_packet_rescale_ts(c.packet, from->time_base, to->time_base);
    c.packet->stream_index = to->index;
    c.packet->pos = -1;
    if ((err = av_interleaved_write_frame(o.out, c.packet)) < 0)
      throw ToolError(fmt::format("cannot write {}: {}", out, AvText(err)));
  }
  if (err != AVERROR_EOF) throw ToolError(fmt::format("cannot read the stream: {}", AvText(err)));
  if ((err = av_write_trailer(o.out)) < 0)
    throw ToolError(fmt::format("cannot finish {}: {}", out, AvText(err)));
  return outcome;
}

#endif

}  // namespace zrfs::tool
