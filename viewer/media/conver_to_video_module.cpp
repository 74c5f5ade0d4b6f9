#include "conver_to_video_module.h"

#include "mp4_writer.h"

#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QMetaType>
#include <QTimer>

#include <cstring>

ConverToVideoModule::ConverToVideoModule(uint workId, int timeoutMs, QObject *parent)
    : QObject(parent), m_workId(workId), m_timeoutMs(timeoutMs)
{
    // Frame arrays travel through queued connections by raw pointer.
    qRegisterMetaType<char *>("char*");

    setObjectName(QStringLiteral("ConverToVideoModule"));
    QMetaObject::connectSlotsByName(this);

    // The watchdog must belong to the recording thread, so it is made there once the thread runs.
    connect(&m_thread, &QThread::started, this, [this] {
        if (m_watchdog)
            return;
        m_watchdog = new QTimer();
        m_watchdog->setSingleShot(true);
        m_watchdog->setInterval(m_timeoutMs);
        connect(m_watchdog, &QTimer::timeout, this, [this] { emit trigTimeOut(m_workId); });
    });
    // Runs in the recording thread as it ends, the last chance to free the watchdog in its own thread.
    connect(&m_thread, &QThread::finished, this, [this] {
        delete m_watchdog;
        m_watchdog = nullptr;
        emit workFinish(m_workId);
        qDebug() << "ConverToVideo thread quit! work id : " << m_workId;
    });

    moveToThread(&m_thread);
    m_thread.start();
}

ConverToVideoModule::~ConverToVideoModule()
{
    // The thread is ended before the writer goes, so the writer is never freed in the middle of a write.
    if (m_thread.isRunning()) {
        m_thread.quit();
        m_thread.wait();
    }
    delete m_writer;  // releasing a writer that is still open finishes its file
    m_writer = nullptr;
    delete m_watchdog;
    m_watchdog = nullptr;

    {
        std::unique_lock<std::mutex> lock(m_backlogMutex);
        for (const auto &frame : m_backlog)
            delete[] frame.first;
        m_backlog.clear();
        m_backlogBytes = 0;
        if (m_droppingFrames)
            logDropBurstLocked();
    }
    qDebug() << " ~ConverToVideoModule  work Id : " << m_workId;
}

bool ConverToVideoModule::queueFrameCopy(const char *data, int len)
{
    if (!data || len <= 0)
        return false;

    std::unique_lock<std::mutex> lock(m_backlogMutex);
    const int backlog = static_cast<int>(m_backlog.size());
    if (m_droppingFrames && backlog <= kBacklogResume && m_backlogBytes <= kBacklogByteResume) {
        logDropBurstLocked();
        m_droppingFrames = false;
    } else if (!m_droppingFrames &&
               (backlog >= kBacklogLimit || (backlog > 0 && m_backlogBytes + len > kBacklogByteLimit))) {
        m_droppingFrames = true;
        m_burstDrops = 0;
    }
    if (m_droppingFrames) {
        ++m_burstDrops;
        ++m_droppedFrames;
        return false;
    }

    char *copy = new char[static_cast<size_t>(len)];
    std::memcpy(copy, data, static_cast<size_t>(len));
    m_backlog.emplace(copy, len);
    m_backlogBytes += len;
    lock.unlock();

    emit newImageData(copy, len);
    return true;
}

int ConverToVideoModule::pendingFrames() const
{
    std::unique_lock<std::mutex> lock(m_backlogMutex);
    return static_cast<int>(m_backlog.size());
}

quint64 ConverToVideoModule::droppedFrames() const
{
    std::unique_lock<std::mutex> lock(m_backlogMutex);
    return m_droppedFrames;
}

void ConverToVideoModule::logDropBurstLocked()
{
    qDebug() << "video work id : " << m_workId << " encoder behind, dropped frames: " << m_burstDrops;
    m_burstDrops = 0;
}

void ConverToVideoModule::takeFromBacklog(char *data)
{
    std::unique_lock<std::mutex> lock(m_backlogMutex);
    const auto it = m_backlog.find(data);
    if (it != m_backlog.end()) {
        m_backlogBytes -= it->second;
        m_backlog.erase(it);
    }
}

void ConverToVideoModule::restartWatchdog()
{
    if (m_watchdog)
        m_watchdog->start();
}

void ConverToVideoModule::on_ConverToVideoModule_startVideo(QString savePath, QSize size)
{
    m_savePath = savePath;
    m_size = size;
    if (!m_writer)
        openWriter();
    restartWatchdog();
    m_recording = true;
    emit workStart(m_workId);
}

bool ConverToVideoModule::openFile(const QString &savePath, const QSize &size)
{
    // The recording thread has nothing to do until startVideo arrives, so the writer is this thread's.
    m_savePath = savePath;
    m_size = size;
    openWriter();
    return m_writer->isOpened();
}

Mp4Writer::Failure ConverToVideoModule::failure() const
{
    return static_cast<Mp4Writer::Failure>(m_failure.load());
}

void ConverToVideoModule::openWriter()
{
    m_writer = new Mp4Writer();
    if (!m_writer->open(m_savePath, m_size, m_fps)) {
        if (!m_writer->errorText().isEmpty())
            qDebug().noquote() << "VideoWriter open error: " << m_writer->errorText();
        qDebug().noquote() << "isOpened savePath 打开失败: " << m_savePath;
        m_failure = static_cast<int>(m_writer->failure());
        QFile::remove(m_savePath);
        return;
    }
    qDebug().noquote() << "VideoWriter open: " << m_savePath << Mp4Writer::encoderDescription();
}

void ConverToVideoModule::on_ConverToVideoModule_newImageData(char *data, int len)
{
    takeFromBacklog(data);
    restartWatchdog();
    if (m_recording && len > 0 && data && m_writer && m_writer->isOpened())
        writeFrame(data, len);
    else
        qDebug() << " 点击了暂停 一直来这里";
    delete[] data;
}

void ConverToVideoModule::writeFrame(const char *data, int len)
{
    // A frame that is not a picture is dropped without a word. A file that cannot be written further
    // (a full disk) is finished with what it holds; later frames are then dropped as for a closed file.
    if (m_writer->write(data, len) == Mp4Writer::Result::Failed) {
        qDebug().noquote() << "VideoWriter write error: " << m_writer->errorText();
        const Mp4Writer::Failure why = m_writer->failure();
        m_writer->release();
        m_failure = static_cast<int>(why);
        emit workFailed(m_workId, static_cast<int>(why));
    }
}

void ConverToVideoModule::on_ConverToVideoModule_pauseVudeo(bool condition)
{
    qDebug() << "on_ConverToVideoModule_pauseVudeo condition : " << static_cast<int>(condition);
    m_recording = condition;
}

void ConverToVideoModule::on_ConverToVideoModule_stopVideo()
{
    if (m_watchdog)
        m_watchdog->stop();
    // While paused a stop is ignored; the window resumes before it stops.
    if (!m_recording)
        return;

    m_recording = false;
    if (m_writer && m_writer->isOpened())
        m_writer->release();

    // Let the recording thread go on handling its events for a moment before it ends.
    QEventLoop loop;
    QTimer::singleShot(m_quitDelayMs, &loop, &QEventLoop::quit);
    loop.exec();

    m_thread.quit();
}
