#include "language.h"

QString catalogueForLanguage(QLocale::Language language)
{
    return language == QLocale::Chinese ? QStringLiteral(":/translate/tr_zh.qm")
                                        : QStringLiteral(":/translate/tr_en.qm");
}
