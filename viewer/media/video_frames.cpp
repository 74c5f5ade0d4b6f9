// Video pictures decoded with libavformat/libavcodec and brought to RGB by libswscale.

#include "video_frames.h"

#include "jpeg_picture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace {

QString avErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

}  // namespace

struct VideoFrameReader::Impl {
    AVFormatContext *format = nullptr;
    AVCodecContext *codec = nullptr;
    AVPacket *packet = nullptr;
    AVFrame *frame = nullptr;
    SwsContext *scaler = nullptr;
    int streamIndex = -1;
    bool flushed = false;  // the end of the file was handed to the decoder
    QString error;

    ~Impl() { close(); }

    void close()
    {
        sws_freeContext(scaler);
        scaler = nullptr;
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        streamIndex = -1;
        flushed = false;
    }

    bool fail(const QString &what, int code)
    {
        error = code ? what + QStringLiteral(": ") + avErrorText(code) : what;
        close();
        return false;
    }

    bool open(const QString &path)
    {
        close();
        error.clear();
        static const bool quiet = [] {
            av_log_set_level(AV_LOG_ERROR);
            return true;
        }();
        (void)quiet;
        // FFmpeg takes file names in UTF-8 on every system.
        int r = avformat_open_input(&format, path.toUtf8().constData(), nullptr, nullptr);
        if (r < 0)
            return fail(QStringLiteral("cannot open"), r);
        r = avformat_find_stream_info(format, nullptr);
        if (r < 0)
            return fail(QStringLiteral("no stream information"), r);
        const AVCodec *decoder = nullptr;
        streamIndex = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
        if (streamIndex < 0 || !decoder)
            return fail(QStringLiteral("no video stream that can be decoded"), streamIndex < 0 ? streamIndex : 0);
        codec = avcodec_alloc_context3(decoder);
        packet = av_packet_alloc();
        frame = av_frame_alloc();
        if (!codec || !packet || !frame)
            return fail(QStringLiteral("out of memory"), AVERROR(ENOMEM));
        r = avcodec_parameters_to_context(codec, format->streams[streamIndex]->codecpar);
        if (r < 0)
            return fail(QStringLiteral("stream parameters"), r);
        codec->thread_count = 1;  // pictures in file order, no frame-threading delay
        r = avcodec_open2(codec, decoder, nullptr);
        if (r < 0)
            return fail(QStringLiteral("decoder refused the stream"), r);
        return true;
    }

    // The next decoded picture into frame; false at the end or on an error.
    bool decodeNext()
    {
        for (;;) {
            int r = avcodec_receive_frame(codec, frame);
            if (r == 0)
                return true;
            if (r != AVERROR(EAGAIN)) {
                if (r != AVERROR_EOF)
                    error = QStringLiteral("decoding failed: ") + avErrorText(r);
                return false;
            }
            if (flushed)
                return false;
            // The decoder wants input: the next packet of the video stream, or the end of the file.
            for (;;) {
                r = av_read_frame(format, packet);
                if (r < 0) {
                    flushed = true;
                    avcodec_send_packet(codec, nullptr);
                    break;
                }
                const bool ours = packet->stream_index == streamIndex;
                if (ours)
                    r = avcodec_send_packet(codec, packet);
                av_packet_unref(packet);
                if (ours)
                    break;
            }
        }
    }

    QImage next(QSize size)
    {
        if (!codec || !decodeNext())
            return QImage();
        const int width = frame->width;
        const int height = frame->height;
        if (width <= 0 || height <= 0 || static_cast<long long>(width) * height > JpegPictureDecoder::kMaxPixels) {
            error = QStringLiteral("picture size %1x%2 refused").arg(width).arg(height);
            return QImage();
        }
        if (!size.isValid() || size.isEmpty())
            size = QSize(width, height);
        if (static_cast<long long>(size.width()) * size.height() > JpegPictureDecoder::kMaxPixels) {
            error = QStringLiteral("picture size %1x%2 refused").arg(size.width()).arg(size.height());
            return QImage();
        }
        const auto source = static_cast<AVPixelFormat>(frame->format);
        scaler = sws_getCachedContext(scaler, width, height, source, size.width(), size.height(), AV_PIX_FMT_RGB24,
                                      SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!scaler) {
            error = QStringLiteral("no conversion from this picture format");
            return QImage();
        }
        // The matrix and level range the file declares (the recordings: BT.601, video range).
        const int *matrix = sws_getCoefficients(frame->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_ITU601);
        const int fullRange = frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
        sws_setColorspaceDetails(scaler, matrix, fullRange, matrix, 1, 0, 1 << 16, 1 << 16);
        QImage image(size, QImage::Format_RGB888);
        if (image.isNull()) {
            error = QStringLiteral("out of memory");
            return QImage();
        }
        uint8_t *planes[4] = {image.bits(), nullptr, nullptr, nullptr};
        int strides[4] = {static_cast<int>(image.bytesPerLine()), 0, 0, 0};
        sws_scale(scaler, frame->data, frame->linesize, 0, height, planes, strides);
        av_frame_unref(frame);
        return image;
    }
};

VideoFrameReader::VideoFrameReader() : d(std::make_unique<Impl>()) {}

VideoFrameReader::~VideoFrameReader() = default;

bool VideoFrameReader::open(const QString &path)
{
    return d->open(path);
}

QString VideoFrameReader::errorText() const
{
    return d->error;
}

QImage VideoFrameReader::next(QSize size)
{
    return d->next(size);
}

QImage videoThumbnail(const QString &path, QSize size)
{
    VideoFrameReader reader;
    if (!reader.open(path))
        return QImage();
    return reader.next(size);
}
