#pragma once

#include <QByteArray>
#include <QSize>
#include <QVector>

namespace mediabench {

// JPEG frames of the virtual camera's scenes at the camera's JPEG quality: camera-like (a panned
// landscape with traffic, light sensor noise, the frame number and the time) or, with noise set, the
// worst case for both coders (every pixel random, new in every frame).
QVector<QByteArray> makeSceneFrames(QSize size, int count, bool noise);

// Resident and peak resident memory of this process in KiB (0 when not known).
long residentKiB();
long peakResidentKiB();

}  // namespace mediabench
