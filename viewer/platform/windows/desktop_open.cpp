#include "desktop_open.h"

#include "shell_open.h"

#include <QByteArray>
#include <QTextCodec>

namespace viscana::platform {

bool openWithDesktop(const QString &path, QString *failure)
{
    // The shell's ANSI entry takes the Chinese code page; paths beside the program are in it.
    QTextCodec *codec = QTextCodec::codecForName("GBK");
    const QByteArray ansi = codec ? codec->fromUnicode(path) : path.toLocal8Bit();
    const long long result = shellOpenAnsi(ansi.constData());
    if (result > 32)
        return true;
    if (failure)
        *failure = QString::number(result);
    return false;
}

}  // namespace viscana::platform
