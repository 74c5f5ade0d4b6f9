#pragma once

#include <QLocale>
#include <QString>

// Resource path of the interface catalogue for a system language: the Chinese catalogue for Chinese,
// the English one for every other language.
QString catalogueForLanguage(QLocale::Language language);
