#pragma once
// The virtual camera's pictures for Qt programs and tests: conversions between vcam::Picture and
// QImage, and the frame number read from a QImage (a frame as the viewer shows it).

#include "picture.h"

#include <QByteArray>
#include <QImage>

#include <cstdint>
#include <optional>

namespace vcam {

QImage toQImage(const Picture &picture);
Picture fromQImage(const QImage &image);
std::optional<uint32_t> decodeFrameNumber(const QImage &image);
inline QByteArray toQByteArray(const Bytes &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size()));
}

}  // namespace vcam
