#pragma once

#include <QByteArray>
#include <QSize>
#include <QVector>

namespace mediabench {

// JPEG frames that look roughly like a camera picture: a lit gradient, a few moving shapes and light
// sensor noise, so that both the JPEG decoder and the H.264 encoder do realistic work.
QVector<QByteArray> makeCameraFrames(QSize size, int count, int quality = 85);

// The worst case for both coders: every pixel random, new in every frame.
QVector<QByteArray> makeNoiseFrames(QSize size, int count, int quality = 85);

// Resident and peak resident memory of this process in KiB (0 when not known).
long residentKiB();
long peakResidentKiB();

}  // namespace mediabench
