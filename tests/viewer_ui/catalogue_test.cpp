// The English catalogue against the texts the viewer actually marks for translation: lupdate lists
// every tr() text and form text of the viewer's sources, and each must have an entry in tr_en.ts.
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTranslator>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

namespace {

using Entry = QPair<QString, QString>;  // context, source

QSet<Entry> readTs(const QString &path, bool *ok)
{
    QSet<Entry> entries;
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    if (!*ok)
        return entries;
    QXmlStreamReader xml(&file);
    QString context;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("name"))
            context = xml.readElementText();
        else if (xml.name() == QLatin1String("source"))
            entries.insert({context, xml.readElementText()});
    }
    *ok = !xml.hasError();
    return entries;
}

TEST(CatalogueTest, EveryTranslatableTextHasAnEnglishEntry)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString scanned = tmp.filePath("scanned.ts");
    QProcess lupdate;
    lupdate.start(QStringLiteral(VISCANA_LUPDATE),
                  {"-silent", "-locations", "none", "-no-obsolete", "-recursive", QStringLiteral(VISCANA_VIEWER_DIR),
                   "-ts", scanned});
    ASSERT_TRUE(lupdate.waitForFinished(60000));
    ASSERT_EQ(lupdate.exitCode(), 0) << lupdate.readAllStandardError().constData();

    bool ok = false;
    const QSet<Entry> found = readTs(scanned, &ok);
    ASSERT_TRUE(ok);
    const QSet<Entry> catalogue = readTs(QStringLiteral(VISCANA_TR_EN_TS), &ok);
    ASSERT_TRUE(ok);
    ASSERT_FALSE(found.isEmpty());

    QStringList missing;
    for (const Entry &e : found) {
        if (!catalogue.contains(e))
            missing << e.first + ": \"" + e.second + "\"";
    }
    missing.sort();
    EXPECT_TRUE(missing.isEmpty()) << "texts without an entry in tr_en.ts:\n"
                                   << missing.join('\n').toStdString();
    // The three forms' contexts are all there.
    QSet<QString> contexts;
    for (const Entry &e : found)
        contexts.insert(e.first);
    for (const char *c : {"AboutUI", "MainWindow", "ShowTime"})
        EXPECT_TRUE(contexts.contains(QLatin1String(c))) << c;
}

TEST(CatalogueTest, EnglishTexts)
{
    QTranslator tr;
    ASSERT_TRUE(tr.load(QStringLiteral(":/translate/tr_en.qm")));
    const struct {
        const char *context, *source, *english;  // english null: the source text stays
    } table[] = {
        {"AboutUI", "1.0.0", nullptr},
        {"AboutUI", "Form", nullptr},
        {"AboutUI", "使用条款", "Terms of Use"},
        {"AboutUI", "关于此应用", "About this app"},
        {"AboutUI", "版本号：", "Version:"},
        {"AboutUI", "设置", "Setting"},
        {"AboutUI", "隐私声明", "Privacy Statement"},
        {"MainWindow", "00:00", nullptr},
        {"MainWindow", "TextLabel", nullptr},
        {"MainWindow", "Viscana", "Viscana"},
        {"MainWindow", "关闭摄像头", nullptr},
        {"MainWindow", "口", nullptr},
        {"MainWindow", "安装完成,请重新插拔设备!", "Once installed, \nplease plug and unplug device again!"},
        {"MainWindow", "安装驱动中", "Driver is being installed"},
        {"MainWindow", "开启摄像头", nullptr},
        {"MainWindow", "当前系统版本比较旧,\n驱动安装完成，请重启!",
         "The current system version \nis relatively old,The driver \ninstallation is complete,please restart!"},
        {"MainWindow", "打开摄像头", nullptr},
        {"MainWindow", "扫描摄像头", nullptr},
        {"MainWindow", "暂停录像", nullptr},
        {"MainWindow", "请右键管理员启动!", "Please right-click Admin to start!"},
        {"ShowTime", "Form", nullptr},
    };
    bool ok = false;
    const QSet<Entry> catalogue = readTs(QStringLiteral(VISCANA_TR_EN_TS), &ok);
    ASSERT_TRUE(ok);
    for (const auto &row : table) {
        const QString english = tr.translate(row.context, row.source);
        EXPECT_TRUE(catalogue.contains({QLatin1String(row.context), QString::fromUtf8(row.source)}))
            << row.context << " " << row.source;
        if (row.english)
            EXPECT_EQ(english, QString::fromUtf8(row.english)) << row.source;
        else
            EXPECT_TRUE(english.isEmpty()) << row.source;  // no entry: Qt shows the source
    }
    // The About panel's notice line has its English form.
    EXPECT_FALSE(tr.translate("AboutUI", "本软件仅用于连接配套的USB摄像头。").isEmpty());
}

// The window's notices, tooltips and keys are in both catalogues: English translated, Chinese as written.
TEST(CatalogueTest, NoticeAndTooltipTextsInBothLanguages)
{
    const struct {
        const char *context, *source, *english;
    } table[] = {
        {"MainWindow", "照片未保存: 磁盘空间不足。", "Photo not saved: the disk is full."},
        {"MainWindow", "照片未保存: 没有写入权限。", "Photo not saved: no permission to write there."},
        {"MainWindow", "照片未保存。", "Photo not saved."},
        {"MainWindow", "无法开始录像: 磁盘空间不足。", "Recording could not start: the disk is full."},
        {"MainWindow", "无法开始录像: 没有写入权限。", "Recording could not start: no permission to write there."},
        {"MainWindow", "无法开始录像。", "Recording could not start."},
        {"MainWindow", "录像已提前停止: 磁盘空间不足。已录制的部分已保存。",
         "Recording stopped early: the disk is full. What was recorded is saved."},
        {"MainWindow", "录像已提前停止。已录制的部分已保存。", "Recording stopped early. What was recorded is saved."},
        {"MainWindow", "摄像头有数据传来, 但画面无法显示。",
         "Data arrives from the camera, but its pictures cannot be shown."},
        {"MainWindow", "程序文件夹不可写入, 照片和录像将保存到:\n%1",
         "The program folder cannot be written to; photos and videos now go to:\n%1"},
        {"MainWindow", "拍照 (空格键)", "Take a photo (Space)"},
        {"MainWindow", "开始录像 (R)", "Start recording (R)"},
        {"MainWindow", "停止录像 (R)", "Stop recording (R)"},
        {"MainWindow", "暂停录像 (P)", "Pause recording (P)"},
        {"MainWindow", "继续录像 (P)", "Resume recording (P)"},
        {"MainWindow", "倒计时: 关 (T)", "Countdown: off (T)"},
        {"MainWindow", "倒计时: %1 秒 (T)", "Countdown: %1 s (T)"},
        {"MainWindow", "关于", "About"},
        {"MainWindow", "最小化", "Minimise"},
        {"MainWindow", "最大化", "Maximise"},
        {"MainWindow", "关闭", "Close"},
        {"MainWindow", "最新拍摄: %1\n单击打开所在文件夹", "Newest capture: %1\nClick to open its folder"},
        {"MainWindow", "还没有照片或录像", "No photo or video yet"},
        {"AboutUI", "返回 (Esc)", "Back (Esc)"},
    };
    QTranslator en, zh;
    ASSERT_TRUE(en.load(QStringLiteral(":/translate/tr_en.qm")));
    ASSERT_TRUE(zh.load(QStringLiteral(":/translate/tr_zh.qm")));
    bool ok = false;
    const QSet<Entry> zhCatalogue = readTs(QStringLiteral(VISCANA_TR_ZH_TS), &ok);
    ASSERT_TRUE(ok);
    for (const auto &row : table) {
        const QString source = QString::fromUtf8(row.source);
        EXPECT_EQ(en.translate(row.context, row.source), QString::fromUtf8(row.english)) << row.source;
        EXPECT_TRUE(zhCatalogue.contains({QLatin1String(row.context), source})) << row.source;
        EXPECT_EQ(zh.translate(row.context, row.source), source) << row.source;
    }
}

}  // namespace
