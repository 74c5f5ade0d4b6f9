#include "camera_ids.h"
#include "language.h"

#include <QCoreApplication>
#include <QFile>
#include <QTranslator>

#include <gtest/gtest.h>

namespace {

TEST(LanguageTest, ChineseSelectsTheChineseCatalogueEverythingElseEnglish)
{
    EXPECT_EQ(catalogueForLanguage(QLocale::Chinese), QStringLiteral(":/translate/tr_zh.qm"));
    EXPECT_EQ(catalogueForLanguage(QLocale::English), QStringLiteral(":/translate/tr_en.qm"));
    EXPECT_EQ(catalogueForLanguage(QLocale::German), QStringLiteral(":/translate/tr_en.qm"));
    EXPECT_EQ(catalogueForLanguage(QLocale::C), QStringLiteral(":/translate/tr_en.qm"));
}

TEST(LanguageTest, EnglishCatalogueTranslatesTheInterfaceTexts)
{
    QTranslator tr;
    ASSERT_TRUE(tr.load(QStringLiteral(":/translate/tr_en.qm")));
    EXPECT_EQ(tr.translate("MainWindow", "Viscana"), QStringLiteral("Viscana"));
    EXPECT_EQ(tr.translate("MainWindow", "安装驱动中"), QStringLiteral("Driver is being installed"));
    EXPECT_EQ(tr.translate("MainWindow", "安装完成,请重新插拔设备!"),
              QStringLiteral("Once installed, \nplease plug and unplug device again!"));
    EXPECT_EQ(tr.translate("AboutUI", "设置"), QStringLiteral("Setting"));
    EXPECT_EQ(tr.translate("AboutUI", "隐私声明"), QStringLiteral("Privacy Statement"));
    // Texts without an English entry keep their source text.
    EXPECT_TRUE(tr.translate("MainWindow", "关闭摄像头").isEmpty());
}

TEST(LanguageTest, ChineseCatalogueIsTheEmptyCatalogue)
{
    QFile f(QStringLiteral(":/translate/tr_zh.qm"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    const QByteArray magic("\x3C\xB8\x64\x18\xCA\xEF\x9C\x95\xCD\x21\x1C\xBF\x60\xA1\xBD\xDD", 16);
    EXPECT_TRUE(bytes.startsWith(magic));
    QTranslator tr;
    ASSERT_TRUE(tr.load(QStringLiteral(":/translate/tr_zh.qm")));
    EXPECT_TRUE(tr.translate("MainWindow", "Viscana").isEmpty());
}

TEST(ResourceBundleTest, HoldsEveryPicture)
{
    const char *names[] = {"NoUSB.png", "break.png", "camera.ico", "camera.png", "camera1.png", "close.png",
                           "luxiang.png", "luxiang1.png", "min.png", "recover.png", "set.png",
                           "stopluxiang.png", "suspend.png", "time0.png", "time2.png", "time5.png", "time10.png"};
    for (const char *n : names)
        EXPECT_TRUE(QFile::exists(QStringLiteral(":/img/") + QLatin1String(n))) << n;
}

TEST(CameraIdsTest, ListAndPatternAgree)
{
    EXPECT_EQ(g_CameraIdList, QStringList({"0329", "2CE3", "3301"}));
    EXPECT_EQ(g_CameraIdPattern, g_CameraIdList.join(QLatin1Char('|')));
}

}  // namespace
