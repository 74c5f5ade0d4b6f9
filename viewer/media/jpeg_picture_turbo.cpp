// Live-view pictures decoded with libjpeg-turbo straight into 32-bit RGB, into recycled buffers.

#include "jpeg_picture.h"

#include <QDebug>

#include <turbojpeg.h>

#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

// QImage::Format_RGB32 is 0xffRRGGBB in a native 32-bit word; libjpeg-turbo fills X with 0xFF.
constexpr int kPixelFormat = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? TJPF_BGRX : TJPF_XRGB;

// Free pixel buffers of one size. Shared by the decoder and every picture still holding a buffer, so
// a picture that outlives its decoder still frees its buffer.
struct BufferPool {
    static constexpr size_t kKeep = 4;  // one shown, one on its way to the window, one being decoded

    std::mutex mutex;
    size_t bytes = 0;
    std::vector<uchar *> free;

    ~BufferPool()
    {
        for (uchar *b : free)
            std::free(b);
    }

    uchar *take(size_t size)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (size != bytes) {
                for (uchar *b : free)
                    std::free(b);
                free.clear();
                bytes = size;
            } else if (!free.empty()) {
                uchar *b = free.back();
                free.pop_back();
                return b;
            }
        }
        return static_cast<uchar *>(std::malloc(size));
    }

    void give(uchar *buffer, size_t size)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (size == bytes && free.size() < kKeep) {
                free.push_back(buffer);
                return;
            }
        }
        std::free(buffer);
    }
};

struct PooledBuffer {
    std::shared_ptr<BufferPool> pool;
    uchar *data;
    size_t bytes;
};

// Runs in whichever thread drops the last picture or pixmap sharing the buffer.
void returnBuffer(void *info)
{
    auto *buffer = static_cast<PooledBuffer *>(info);
    buffer->pool->give(buffer->data, buffer->bytes);
    delete buffer;
}

}  // namespace

struct JpegPictureDecoder::Impl {
    tjhandle handle = tjInitDecompress();
    std::shared_ptr<BufferPool> pool = std::make_shared<BufferPool>();

    ~Impl()
    {
        if (handle)
            tjDestroy(handle);
    }
};

JpegPictureDecoder::JpegPictureDecoder() : d(std::make_unique<Impl>()) {}

JpegPictureDecoder::~JpegPictureDecoder() = default;

QSize JpegPictureDecoder::displaySize(QSize frameSize, QSize view)
{
    if (frameSize.isEmpty() || view.isEmpty() ||
        (view.width() >= frameSize.width() && view.height() >= frameSize.height()))
        return frameSize;
    int count = 0;
    const tjscalingfactor *factors = tjGetScalingFactors(&count);
    QSize best = frameSize;
    for (int i = 0; factors && i < count; ++i) {
        const tjscalingfactor f = factors[i];
        // Only 1/2, 1/4 and 1/8: libjpeg-turbo has fast transforms for these, while the other reduced
        // scales (3/8, 5/8 ...) decode more slowly than the full size does.
        if (f.num != 1 || f.denom < 2)
            continue;
        const QSize scaled(TJSCALED(frameSize.width(), f), TJSCALED(frameSize.height(), f));
        if (scaled.width() >= view.width() && scaled.height() >= view.height() &&
            static_cast<long long>(scaled.width()) * scaled.height() <
                static_cast<long long>(best.width()) * best.height())
            best = scaled;
    }
    return best;
}

QSize JpegPictureDecoder::frameSize(const char *data, int len)
{
    if (!data || len <= 0)
        return QSize();
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsamp = 0, colorspace = 0;
    const bool ok = handle && tjDecompressHeader3(handle, reinterpret_cast<const unsigned char *>(data),
                                                  static_cast<unsigned long>(len), &width, &height, &subsamp,
                                                  &colorspace) == 0;
    if (handle)
        tjDestroy(handle);
    return ok ? QSize(width, height) : QSize();
}

QImage JpegPictureDecoder::decode(const char *data, int len, QSize view)
{
    if (!data || len <= 0)
        return QImage();
    const auto *jpeg = reinterpret_cast<const unsigned char *>(data);
    int width = 0, height = 0, subsamp = 0, colorspace = 0;
    if (!d->handle || tjDecompressHeader3(d->handle, jpeg, static_cast<unsigned long>(len), &width, &height,
                                          &subsamp, &colorspace) != 0) {
        // Not a JPEG: let Qt detect the format, as for any picture.
        QImage other;
        other.loadFromData(jpeg, len);
        return other;
    }
    if (width <= 0 || height <= 0 || static_cast<long long>(width) * height > kMaxPixels) {
        qDebug() << "JPEG frame refused, picture too large: " << width << "x" << height;
        return QImage();
    }
    // libjpeg-turbo picks the reduced scale that gives exactly this size.
    const QSize shown = displaySize(QSize(width, height), view);
    width = shown.width();
    height = shown.height();

    const int bytesPerLine = width * 4;
    const size_t bytes = static_cast<size_t>(bytesPerLine) * static_cast<size_t>(height);
    uchar *pixels = d->pool->take(bytes);
    if (!pixels)
        return QImage();
    if (tjDecompress2(d->handle, jpeg, static_cast<unsigned long>(len), pixels, width, bytesPerLine, height,
                      kPixelFormat, TJFLAG_LIMITSCANS) != 0 &&
        tjGetErrorCode(d->handle) != TJERR_WARNING) {
        // Damaged beyond a warning (a warning still leaves a whole picture, as other decoders show it).
        d->pool->give(pixels, bytes);
        return QImage();
    }
    return QImage(pixels, width, height, bytesPerLine, QImage::Format_RGB32, &returnBuffer,
                  new PooledBuffer{d->pool, pixels, bytes});
}
