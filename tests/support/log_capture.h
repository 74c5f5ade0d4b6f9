#pragma once

#include <QString>
#include <QStringList>

namespace testsupport {

// Captures every Qt log message of the process (from any thread) while it exists; only one at a time.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    int count(const QString &text) const;  // lines that contain text
    int exact(const QString &line) const;  // lines equal to line
    // Runs the event loop until a line containing text arrives or the time is up.
    bool waitFor(const QString &text, int timeoutMs) const;
};

}  // namespace testsupport
