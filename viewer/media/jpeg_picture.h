#pragma once

#include <QImage>
#include <QSize>

#include <memory>

// Decodes camera frames into pictures for the live view. One decoder per thread.
//
// The pictures come out in the format the screen paints without conversion (32-bit RGB), so a pixmap
// can take them over without a copy. Their pixel buffers are recycled: a buffer returns to the decoder
// when the last picture or pixmap sharing it goes, so a steady stream of frames of one size does not
// allocate (and fault in) fresh memory for every frame.
class JpegPictureDecoder {
public:
    // Pictures with more pixels than this are refused rather than allocated (a corrupt or hostile header
    // may claim up to 65535 x 65535).
    static constexpr long long kMaxPixels = 8192LL * 8192LL;

    JpegPictureDecoder();
    ~JpegPictureDecoder();

    JpegPictureDecoder(const JpegPictureDecoder &) = delete;
    JpegPictureDecoder &operator=(const JpegPictureDecoder &) = delete;

    // The picture of a frame (JPEG, or any other format Qt reads); a null image when it does not decode.
    // With a view size (device pixels), a JPEG is decoded at displaySize() of it rather than in full:
    // the reduced decode skips most of the work for a picture that is shown smaller anyway.
    QImage decode(const char *data, int len, QSize view = QSize());

    // The size a frame of frameSize is decoded at for a view of the given size: the smallest of the
    // decoder's fast reduced scales (1/2, 1/4, 1/8) whose width and height both still cover the view's,
    // so that the picture is only ever scaled down to be shown; the full size when none does or the
    // view is empty.
    static QSize displaySize(QSize frameSize, QSize view);

    // The width and height a JPEG's header gives; an invalid size when it is not a JPEG.
    static QSize frameSize(const char *data, int len);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
