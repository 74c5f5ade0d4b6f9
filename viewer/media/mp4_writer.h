#pragma once

#include <QSize>
#include <QString>

#include <memory>

// Writes camera frames (JPEG) into one H.264 video file, in the container the file name asks for (the
// recordings use MP4). Every frame written becomes one video frame at the fixed frame rate; a frame of
// another size than the file's is scaled to it. Used from one thread at a time.
class Mp4Writer {
public:
    Mp4Writer();
    ~Mp4Writer();  // finishes a file that is still open

    Mp4Writer(const Mp4Writer &) = delete;
    Mp4Writer &operator=(const Mp4Writer &) = delete;

    // Creates the file. False when it cannot be written or the encoder refuses the size; the reason is
    // then in errorText(), and a partly created file may be left for the caller to remove.
    bool open(const QString &path, QSize size, int fps);
    bool isOpened() const;
    QString errorText() const;

    // What the last failure was, as far as the user can act on it.
    enum class Failure { None, NoSpace, NoPermission, Other };
    Failure failure() const;

    enum class Result { Written, NotDecoded, Failed };
    // Decodes one frame and encodes it. NotDecoded: not a picture, nothing written.
    Result write(const char *data, int len);

    // Flushes the encoder and finishes the file; the writer is closed afterwards. After a failed write
    // (a full disk) the file is cut back to the last frames that were written completely, so it plays.
    void release();

    // The encoder and its settings, for the log and the benchmarks.
    static QString encoderDescription();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
