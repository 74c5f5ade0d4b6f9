// H.264 video files written with FFmpeg's libavcodec (libx264) and libavformat; frames decoded with
// libjpeg-turbo.
//
// The encoder runs at a fast preset with low-latency tuning and two threads: the recording must keep up
// with the camera on a small machine next to the live view, and the encoder then holds only the frame
// it works on (no look-ahead queue), which keeps a recording's memory small.
//
// A 4:2:0 JPEG of the file's size (the usual camera frame) is decoded straight into the encoder's input
// planes: no colour conversion and no chroma resampling, only the JPEG's full-range levels are mapped to
// the video range. Other frames go through libswscale.
//
// The file is a fragmented MP4: its header is written first and each group of pictures (from one key
// frame to the next) follows as a self-contained fragment. A file cut off after any whole fragment
// plays, so a disk that fills up mid-way (or a process that ends without finishing the file) loses at
// most the last two seconds, never the recording.

#include "mp4_writer.h"

#include "jpeg_picture.h"

#include <QDebug>
#include <QFile>
#include <QImage>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}
#include <turbojpeg.h>

#include <array>
#include <cmath>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace {

constexpr const char *kEncoderName = "libx264";
constexpr const char *kPreset = "ultrafast";
constexpr const char *kTune = "zerolatency";
constexpr const char *kCrf = "23";
constexpr int kThreads = 2;
constexpr int kKeyframeSeconds = 2;

QString avErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

// JPEG stores full-range levels (0-255); H.264 video is written in the video range (Y 16-235, Cb and
// Cr 16-240), as the converted RGB frames were before. Both use the BT.601 matrix, so a scale and an
// offset per component is the whole conversion: one table per kind of plane, applied in place.
using LevelTable = std::array<uint8_t, 256>;

LevelTable levelTable(double scale, double offset)
{
    LevelTable table{};
    for (int v = 0; v < 256; ++v)
        table[v] = static_cast<uint8_t>(std::lround(v * scale + offset));
    return table;
}

void mapToVideoRange(uint8_t *plane, int stride, int width, int height, bool luma)
{
    static const LevelTable lumaTable = levelTable(219.0 / 255.0, 16.0);
    static const LevelTable chromaTable = levelTable(224.0 / 255.0, 128.0 - 128.0 * 224.0 / 255.0);
    const LevelTable &table = luma ? lumaTable : chromaTable;
    for (int y = 0; y < height; ++y) {
        uint8_t *row = plane + static_cast<ptrdiff_t>(y) * stride;
        for (int x = 0; x < width; ++x)
            row[x] = table[row[x]];
    }
}

// The planar source format of a decoded JPEG, or AV_PIX_FMT_NONE when it is decoded to BGR instead.
AVPixelFormat planarFormat(int subsamp, int colorspace)
{
    if (colorspace == TJCS_GRAY || subsamp == TJSAMP_GRAY)
        return AV_PIX_FMT_GRAY8;
    if (colorspace != TJCS_YCbCr)
        return AV_PIX_FMT_NONE;
    switch (subsamp) {
    case TJSAMP_444: return AV_PIX_FMT_YUV444P;
    case TJSAMP_422: return AV_PIX_FMT_YUV422P;
    case TJSAMP_420: return AV_PIX_FMT_YUV420P;
    case TJSAMP_440: return AV_PIX_FMT_YUV440P;
    case TJSAMP_411: return AV_PIX_FMT_YUV411P;
    default: return AV_PIX_FMT_NONE;
    }
}

}  // namespace

struct Mp4Writer::Impl {
    AVFormatContext *format = nullptr;
    AVCodecContext *codec = nullptr;
    AVStream *stream = nullptr;
    AVFrame *frame = nullptr;  // the encoder's input, reused for every frame
    AVPacket *packet = nullptr;
    tjhandle jpeg = nullptr;
    bool opened = false;
    int64_t nextPts = 0;
    QString error;
    int errorCode = 0;
    QString path;
    // The file's size after its last whole fragment, and the packets written since.
    int64_t wholeSize = 0;
    int packetsInFragment = 0;
    // A write failed: the file's tail past wholeSize is not to be trusted.
    bool damaged = false;

    // Frames that are not written straight into the encoder's input: their decoded pixels and the scaler.
    std::vector<uint8_t> scratch;
    SwsContext *scaler = nullptr;
    struct {
        int width = 0, height = 0;
        AVPixelFormat format = AV_PIX_FMT_NONE;
        bool fullRange = false;
    } scalerInput;

    ~Impl()
    {
        close();
        if (jpeg)
            tjDestroy(jpeg);
        sws_freeContext(scaler);
    }

    void close()
    {
        if (format && format->pb && !(format->oformat->flags & AVFMT_NOFILE))
            avio_closep(&format->pb);
        avformat_free_context(format);
        format = nullptr;
        stream = nullptr;
        avcodec_free_context(&codec);
        av_frame_free(&frame);
        av_packet_free(&packet);
        opened = false;
    }

    bool fail(const QString &what, int code)
    {
        error = what + QStringLiteral(": ") + avErrorText(code);
        errorCode = code;
        return false;
    }

    // The output's own error (a failed write of buffered bytes) over the code a call returned.
    int outputError(int code) const
    {
        return format && format->pb && format->pb->error < 0 ? format->pb->error : code;
    }

    // Writes the fragment gathered so far and notes where the file is whole.
    bool cutFragment()
    {
        if (packetsInFragment == 0)
            return true;
        int r = av_write_frame(format, nullptr);
        if (r >= 0) {
            avio_flush(format->pb);
            r = outputError(0);
        }
        if (r < 0) {
            damaged = true;
            return fail(QStringLiteral("writing failed"), r);
        }
        packetsInFragment = 0;
        wholeSize = avio_tell(format->pb);
        return true;
    }

    bool open(const QString &path, QSize size, int fps)
    {
        close();
        error.clear();
        errorCode = 0;
        nextPts = 0;
        wholeSize = 0;
        packetsInFragment = 0;
        damaged = false;
        this->path = path;
        // The encoder's statistics and notes would go to standard error; failures are reported here.
        static const bool quiet = [] {
            av_log_set_level(AV_LOG_ERROR);
            return true;
        }();
        (void)quiet;
        if (size.width() <= 0 || size.height() <= 0 || fps <= 0 ||
            static_cast<long long>(size.width()) * size.height() > JpegPictureDecoder::kMaxPixels) {
            error = QStringLiteral("invalid frame size or rate");
            return false;
        }
        // FFmpeg takes file names in UTF-8 on every system.
        const QByteArray name = path.toUtf8();
        int r = avformat_alloc_output_context2(&format, nullptr, nullptr, name.constData());
        if (r < 0 || !format)
            r = avformat_alloc_output_context2(&format, nullptr, "mp4", name.constData());
        if (r < 0 || !format)
            return fail(QStringLiteral("no container"), r);

        const AVCodec *encoder = avcodec_find_encoder_by_name(kEncoderName);
        if (!encoder)
            encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
        if (!encoder) {
            error = QStringLiteral("no H.264 encoder");
            return false;
        }
        stream = avformat_new_stream(format, nullptr);
        codec = avcodec_alloc_context3(encoder);
        if (!stream || !codec)
            return fail(QStringLiteral("out of memory"), AVERROR(ENOMEM));
        codec->width = size.width();
        codec->height = size.height();
        codec->time_base = AVRational{1, fps};
        codec->framerate = AVRational{fps, 1};
        codec->pix_fmt = AV_PIX_FMT_YUV420P;
        codec->gop_size = fps * kKeyframeSeconds;
        codec->max_b_frames = 0;
        codec->thread_count = kThreads;
        codec->color_range = AVCOL_RANGE_MPEG;
        codec->colorspace = AVCOL_SPC_SMPTE170M;
        if (format->oformat->flags & AVFMT_GLOBALHEADER)
            codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary *options = nullptr;
        av_dict_set(&options, "preset", kPreset, 0);
        av_dict_set(&options, "tune", kTune, 0);
        av_dict_set(&options, "crf", kCrf, 0);
        r = avcodec_open2(codec, encoder, &options);
        av_dict_free(&options);
        if (r < 0)
            return fail(QStringLiteral("encoder refused %1x%2").arg(size.width()).arg(size.height()), r);

        r = avcodec_parameters_from_context(stream->codecpar, codec);
        if (r < 0)
            return fail(QStringLiteral("stream parameters"), r);
        stream->time_base = codec->time_base;
        stream->avg_frame_rate = codec->framerate;

        if (!(format->oformat->flags & AVFMT_NOFILE)) {
            r = avio_open(&format->pb, name.constData(), AVIO_FLAG_WRITE);
            if (r < 0)
                return fail(QStringLiteral("cannot create the file"), r);
        }
        // Fragments are cut by this writer, at each key frame (cutFragment).
        AVDictionary *muxOptions = nullptr;
        av_dict_set(&muxOptions, "movflags", "frag_custom+empty_moov+default_base_moof", 0);
        r = avformat_write_header(format, &muxOptions);
        av_dict_free(&muxOptions);
        if (r >= 0) {
            avio_flush(format->pb);
            r = outputError(r);
        }
        if (r < 0)
            return fail(QStringLiteral("cannot write the file header"), r);
        wholeSize = avio_tell(format->pb);

        frame = av_frame_alloc();
        packet = av_packet_alloc();
        if (!frame || !packet)
            return fail(QStringLiteral("out of memory"), AVERROR(ENOMEM));
        frame->format = codec->pix_fmt;
        frame->width = codec->width;
        frame->height = codec->height;
        r = av_frame_get_buffer(frame, 0);
        if (r < 0)
            return fail(QStringLiteral("out of memory"), r);
        if (!jpeg)
            jpeg = tjInitDecompress();
        opened = true;
        return true;
    }

    // Moves every packet the encoder has ready into the file.
    bool drain()
    {
        for (;;) {
            int r = avcodec_receive_packet(codec, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
                return true;
            if (r < 0)
                return fail(QStringLiteral("encoding failed"), r);
            // A key frame starts the next fragment.
            if ((packet->flags & AV_PKT_FLAG_KEY) && !cutFragment()) {
                av_packet_unref(packet);
                return false;
            }
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            // One stream: nothing to interleave.
            r = av_write_frame(format, packet);
            av_packet_unref(packet);
            r = outputError(r);
            if (r < 0) {
                damaged = true;
                return fail(QStringLiteral("writing failed"), r);
            }
            ++packetsInFragment;
        }
    }

    // Brings a decoded picture to the encoder's input through libswscale.
    void scaleIntoFrame(const uint8_t *const planes[], const int strides[], int width, int height,
                        AVPixelFormat sourceFormat, bool fullRange)
    {
        if (!scaler || scalerInput.width != width || scalerInput.height != height ||
            scalerInput.format != sourceFormat || scalerInput.fullRange != fullRange) {
            sws_freeContext(scaler);
            const bool shrinking = width > codec->width || height > codec->height;
            scaler = sws_getContext(width, height, sourceFormat, codec->width, codec->height, AV_PIX_FMT_YUV420P,
                                    shrinking ? SWS_AREA : SWS_BILINEAR, nullptr, nullptr, nullptr);
            scalerInput = {width, height, sourceFormat, fullRange};
            if (scaler) {
                const int *bt601 = sws_getCoefficients(SWS_CS_ITU601);
                sws_setColorspaceDetails(scaler, bt601, fullRange ? 1 : 0, bt601, 0, 0, 1 << 16, 1 << 16);
            }
        }
        if (scaler)
            sws_scale(scaler, planes, strides, 0, height, frame->data, frame->linesize);
    }

    Result decodeIntoFrame(const char *data, int len)
    {
        const auto *bytes = reinterpret_cast<const unsigned char *>(data);
        const auto size = static_cast<unsigned long>(len);
        int width = 0, height = 0, subsamp = 0, colorspace = 0;
        if (!jpeg || tjDecompressHeader3(jpeg, bytes, size, &width, &height, &subsamp, &colorspace) != 0)
            return decodeOtherFormat(data, len);
        if (width <= 0 || height <= 0 || static_cast<long long>(width) * height > JpegPictureDecoder::kMaxPixels) {
            qDebug() << "JPEG frame refused, picture too large: " << width << "x" << height;
            return Result::NotDecoded;
        }
        const auto decoded = [this] { return tjGetErrorCode(jpeg) == TJERR_WARNING; };

        const AVPixelFormat planar = planarFormat(subsamp, colorspace);
        if (planar == AV_PIX_FMT_YUV420P && width == codec->width && height == codec->height) {
            unsigned char *planes[3] = {frame->data[0], frame->data[1], frame->data[2]};
            int strides[3] = {frame->linesize[0], frame->linesize[1], frame->linesize[2]};
            if (tjDecompressToYUVPlanes(jpeg, bytes, size, planes, width, strides, height, TJFLAG_LIMITSCANS) != 0 &&
                !decoded())
                return Result::NotDecoded;
            const int chromaWidth = tjPlaneWidth(1, width, subsamp);
            const int chromaHeight = tjPlaneHeight(1, height, subsamp);
            mapToVideoRange(frame->data[0], frame->linesize[0], width, height, true);
            mapToVideoRange(frame->data[1], frame->linesize[1], chromaWidth, chromaHeight, false);
            mapToVideoRange(frame->data[2], frame->linesize[2], chromaWidth, chromaHeight, false);
            return Result::Written;
        }
        if (planar != AV_PIX_FMT_NONE) {
            const int components = planar == AV_PIX_FMT_GRAY8 ? 1 : 3;
            unsigned char *planes[3] = {nullptr, nullptr, nullptr};
            int strides[3] = {0, 0, 0};
            size_t total = 0;
            for (int c = 0; c < components; ++c)
                total += static_cast<size_t>(tjPlaneWidth(c, width, subsamp)) * tjPlaneHeight(c, height, subsamp);
            scratch.resize(total);
            size_t offset = 0;
            for (int c = 0; c < components; ++c) {
                planes[c] = scratch.data() + offset;
                strides[c] = tjPlaneWidth(c, width, subsamp);
                offset += static_cast<size_t>(strides[c]) * tjPlaneHeight(c, height, subsamp);
            }
            if (tjDecompressToYUVPlanes(jpeg, bytes, size, planes, width, strides, height, TJFLAG_LIMITSCANS) != 0 &&
                !decoded())
                return Result::NotDecoded;
            scaleIntoFrame(planes, strides, width, height, planar, true);
            return Result::Written;
        }
        // Colour spaces without a planar form here (RGB, CMYK, YCCK): decoded to BGR.
        const int stride = width * 3;
        scratch.resize(static_cast<size_t>(stride) * height);
        if (tjDecompress2(jpeg, bytes, size, scratch.data(), width, stride, height, TJPF_BGR, TJFLAG_LIMITSCANS) != 0 &&
            !decoded())
            return Result::NotDecoded;
        const uint8_t *planes[1] = {scratch.data()};
        scaleIntoFrame(planes, &stride, width, height, AV_PIX_FMT_BGR24, false);
        return Result::Written;
    }

    // A frame that is not a JPEG: any picture format Qt reads.
    Result decodeOtherFormat(const char *data, int len)
    {
        QImage image;
        if (!image.loadFromData(reinterpret_cast<const uchar *>(data), len) || image.isNull())
            return Result::NotDecoded;
        image = image.convertToFormat(QImage::Format_RGB888);
        if (image.isNull())
            return Result::NotDecoded;
        const uint8_t *planes[1] = {image.constBits()};
        const int stride = image.bytesPerLine();
        scaleIntoFrame(planes, &stride, image.width(), image.height(), AV_PIX_FMT_RGB24, false);
        return Result::Written;
    }

    Result write(const char *data, int len)
    {
        if (!opened)
            return Result::Failed;
        if (!data || len <= 0)
            return Result::NotDecoded;
        // The encoder has taken up the previous frame (its packets were drained), so this is normally free.
        int r = av_frame_make_writable(frame);
        if (r < 0) {
            fail(QStringLiteral("out of memory"), r);
            return Result::Failed;
        }
        const Result decoded = decodeIntoFrame(data, len);
        if (decoded != Result::Written)
            return decoded;
        frame->pts = nextPts++;
        r = avcodec_send_frame(codec, frame);
        if (r < 0) {
            fail(QStringLiteral("encoding failed"), r);
            return Result::Failed;
        }
        return drain() ? Result::Written : Result::Failed;
    }

    void release()
    {
        if (!opened) {
            close();
            return;
        }
        if (!damaged && avcodec_send_frame(codec, nullptr) >= 0)
            drain();
        if (!damaged) {
            int r = av_write_trailer(format);
            if (r >= 0) {
                avio_flush(format->pb);
                r = outputError(r);
            }
            if (r < 0) {
                damaged = true;
                fail(QStringLiteral("cannot finish the file"), r);
            }
        }
        close();
        if (damaged) {
            // The bytes past the last whole fragment may be a fragment cut short: without them the file
            // plays.
            if (!QFile::resize(path, wholeSize))
                qDebug().noquote() << "cannot cut the video back to its whole fragments:" << path;
        }
    }

    Failure failure() const
    {
        switch (errorCode) {
        case 0:
            return error.isEmpty() ? Failure::None : Failure::Other;
        case AVERROR(ENOSPC):
        case AVERROR(EFBIG):
#ifdef EDQUOT
        case AVERROR(EDQUOT):
#endif
            return Failure::NoSpace;
        case AVERROR(EACCES):
        case AVERROR(EPERM):
        case AVERROR(EROFS):
            return Failure::NoPermission;
        default:
            return Failure::Other;
        }
    }
};

Mp4Writer::Mp4Writer() : d(std::make_unique<Impl>()) {}

Mp4Writer::~Mp4Writer()
{
    d->release();
}

bool Mp4Writer::open(const QString &path, QSize size, int fps)
{
    const bool ok = d->open(path, size, fps);
    if (!ok)
        d->close();
    return ok;
}

bool Mp4Writer::isOpened() const
{
    return d->opened;
}

QString Mp4Writer::errorText() const
{
    return d->error;
}

Mp4Writer::Failure Mp4Writer::failure() const
{
    return d->failure();
}

Mp4Writer::Result Mp4Writer::write(const char *data, int len)
{
    return d->write(data, len);
}

void Mp4Writer::release()
{
    d->release();
}

QString Mp4Writer::encoderDescription()
{
    return QStringLiteral("%1 preset %2, tune %3, crf %4, %5 threads")
        .arg(QLatin1String(kEncoderName), QLatin1String(kPreset), QLatin1String(kTune), QLatin1String(kCrf))
        .arg(kThreads);
}
