#include "image_conver_module.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMetaType>
#include <QMutexLocker>

#include <mutex>

namespace {

std::mutex g_instanceMutex;
ImageConverModule *g_instance = nullptr;

}  // namespace

ImageConverModule *ImageConverModule::instance()
{
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (!g_instance) {
        g_instance = new ImageConverModule();
        // Torn down with the application object, once the window and its stream thread are gone. A
        // process ended with exit() skips this and never destroys an object that may still be fed.
        qAddPostRoutine(&ImageConverModule::destroyInstance);
    }
    return g_instance;
}

void ImageConverModule::destroyInstance()
{
    ImageConverModule *doomed = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_instanceMutex);
        doomed = g_instance;
        g_instance = nullptr;
    }
    delete doomed;
}

ImageConverModule::ImageConverModule() : QObject(nullptr)
{
    qRegisterMetaType<char *>("char*");
    setObjectName(QStringLiteral("ImageConverModule"));
    // Connected before the conversion slot, so that the note is taken before the frame is queued.
    connect(
        this, &ImageConverModule::converBufToImage, this, [this](char *data, int len) { noteHandOver(data, len); },
        Qt::DirectConnection);
    QMetaObject::connectSlotsByName(this);
    // Pictures are delivered in the application's thread, where the window shows them.
    QCoreApplication *app = QCoreApplication::instance();
    m_courier.moveToThread(app ? app->thread() : QThread::currentThread());
    moveToThread(&m_thread);
    m_thread.start();
}

ImageConverModule::~ImageConverModule()
{
    // Frames already queued to the conversion thread are freed there without decoding; the quit is queued
    // behind them so that none is left in the queue.
    m_closing = true;
    QMetaObject::invokeMethod(this, [this] { m_thread.quit(); }, Qt::QueuedConnection);
    m_thread.wait();

    QMap<int, QSharedPointer<ConverToVideoModule>> works;
    {
        QMutexLocker lock(&m_mutex);
        works.swap(m_works);
    }
    works.clear();  // each work ends its thread and finishes its file
}

void ImageConverModule::noteHandOver(const char *data, int len)
{
    if (!data || len <= 0)
        return;
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(m_handOverMutex);
    m_handOvers.push_back({data, now});
}

bool ImageConverModule::takeHandOver(const char *data)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(m_handOverMutex);
    for (auto it = m_handOvers.begin(); it != m_handOvers.end(); ++it) {
        if (it->data != data)
            continue;
        const Clock::time_point handedAt = it->at;
        m_handOvers.erase(it);
        return !m_handOvers.empty() && now - handedAt >= std::chrono::milliseconds(kStaleFrameMs);
    }
    return false;
}

void ImageConverModule::on_ImageConverModule_converBufToImage(char *data, int len)
{
    const bool stale = data && len > 0 && takeHandOver(data);
    std::unique_ptr<char[]> owned(data);
    if (len <= 0 || m_closing)
        return;
    if (!data) {
        qDebug() << "converBufToImage: frame without data, len: " << len;
        return;
    }

    // The recordings first: their threads encode while this one decodes the picture.
    dispatchFrame(data, len);

    if (stale) {
        ++m_skippedFrames;
        ++m_skipRun;
        return;
    }
    if (m_skipRun > 0) {
        qDebug() << "live view behind, frames not shown: " << m_skipRun;
        m_skipRun = 0;
    }
    // The pixmap takes the decoded pixels over without a copy; the frame itself is kept for photos.
    const QPixmap picture = QPixmap::fromImage(m_decoder.decode(data, len, displaySize()));
    offerPicture(picture, Frame{std::shared_ptr<const char>(owned.release(), std::default_delete<char[]>()), len});
}

void ImageConverModule::offerPicture(const QPixmap &picture, const Frame &frame)
{
    bool post = false;
    Picture replaced;  // released outside the lock
    {
        std::lock_guard<std::mutex> lock(m_pictureMutex);
        if (m_pictureWaiting) {
            replaced = std::move(m_waiting);
            ++m_supersededPictures;
            ++m_skippedFrames;
            ++m_replaceRun;
        } else {
            post = true;
        }
        m_waiting = Picture{picture, frame};
        m_pictureWaiting = true;
    }
    if (!post)
        return;
    if (m_replaceRun > 0) {
        qDebug() << "live view behind, frames not shown: " << m_replaceRun;
        m_replaceRun = 0;
    }
    QMetaObject::invokeMethod(&m_courier, [this] { deliverPicture(); }, Qt::QueuedConnection);
}

void ImageConverModule::deliverPicture()
{
    Picture taken;
    Frame previous;  // released outside the lock
    {
        std::lock_guard<std::mutex> lock(m_pictureMutex);
        if (!m_pictureWaiting)
            return;
        taken = std::move(m_waiting);
        m_waiting = Picture{};
        m_pictureWaiting = false;
        previous = std::move(m_shownFrame);
        m_shownFrame = taken.frame;
    }
    emit newImage(taken.picture);
}

ImageConverModule::Frame ImageConverModule::shownFrame() const
{
    std::lock_guard<std::mutex> lock(m_pictureMutex);
    return m_shownFrame;
}

void ImageConverModule::setDisplaySize(QSize size)
{
    const quint64 w = size.isValid() ? static_cast<quint32>(size.width()) : 0;
    const quint64 h = size.isValid() ? static_cast<quint32>(size.height()) : 0;
    m_displaySize.store(w << 32 | h);
}

QSize ImageConverModule::displaySize() const
{
    const quint64 packed = m_displaySize.load();
    return QSize(static_cast<int>(packed >> 32), static_cast<int>(packed & 0xFFFFFFFFu));
}

void ImageConverModule::dispatchFrame(const char *data, int len)
{
    if (!data || len <= 0)
        return;
    QMutexLocker lock(&m_mutex);
    for (auto it = m_works.cbegin(); it != m_works.cend(); ++it)
        it.value()->queueFrameCopy(data, len);
}

int ImageConverModule::startVideoWork(const QString &savePath, const QSize &size, int workId,
                                      Mp4Writer::Failure *failure)
{
    QMutexLocker lock(&m_mutex);
    if (m_works.contains(workId))
        return -1;

    QSharedPointer<ConverToVideoModule> work(new ConverToVideoModule(static_cast<uint>(workId), 3000, nullptr));
    // A file that cannot be created starts no recording: the caller says so instead of showing a
    // recording that writes nothing.
    if (!work->openFile(savePath, size)) {
        if (failure)
            *failure = work->failure();
        return kFileNotCreated;
    }
    emit work->startVideo(savePath, size);
    connect(work.data(), &ConverToVideoModule::workFinish, this, &ImageConverModule::videWorkFinishSlots);
    connect(work.data(), &ConverToVideoModule::trigTimeOut, this, &ImageConverModule::videWorkTimeOutSlots);
    m_works.insert(workId, work);
    return workId;
}

void ImageConverModule::pauseVideoWork(int workId, bool condition)
{
    qDebug() << "  workId: " << workId << "condition:" << condition;
    QMutexLocker lock(&m_mutex);
    const auto it = m_works.constFind(workId);
    if (it != m_works.cend())
        emit it.value()->pauseVudeo(condition);
}

void ImageConverModule::stopVideoWork(int workId)
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_works.constFind(workId);
    if (it != m_works.cend())
        emit it.value()->stopVideo();
}

QSharedPointer<ConverToVideoModule> ImageConverModule::videoWork(int workId) const
{
    QMutexLocker lock(&m_mutex);
    return m_works.value(workId);
}

void ImageConverModule::videWorkFinishSlots(uint workId)
{
    // Only the work that reported may be removed, never a later one that took the same id.
    const QObject *reporter = sender();
    QSharedPointer<ConverToVideoModule> finished;
    {
        QMutexLocker lock(&m_mutex);
        const auto it = m_works.find(static_cast<int>(workId));
        if (it != m_works.end() && (!reporter || it.value().data() == reporter)) {
            finished = it.value();
            m_works.erase(it);
        }
    }
    // The recording is deleted here, outside the lock; its thread has already ended.
}

void ImageConverModule::videWorkTimeOutSlots(uint workId)
{
    qDebug() << "video id : " << workId << "   trigger time out !";
    stopVideoWork(static_cast<int>(workId));
}
