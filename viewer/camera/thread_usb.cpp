#include "thread_usb.h"

#include "image_conver_module.h"

#include <QDebug>
#include <QString>

#include <cstring>

const uint8_t ThreadUSB::HANDSHAKE_CMD[6] = {0xFF, 0x55, 0xFF, 0x55, 0xEE, 0x10};
const uint8_t ThreadUSB::HANDSHAKE_REPLY[6] = {0xFF, 0x55, 0x02, 0x00, 0xEE, 0x10};

namespace {

constexpr unsigned kCommandTimeoutMs = 1000;
constexpr unsigned kReadTimeoutMs = 3000;
constexpr int kReadSize = 4092;
constexpr unsigned long kParserSettleMs = 100;
// How often a paused or pausing loop looks at its flags again: short enough to go on at once after
// resume, long enough not to keep a core busy.
constexpr int kPausePollMs = 10;

// The libusb calls of pause, resume and the destructor also run on a record whose camera has been
// closed; without a handle they fail like a camera that has gone.
int claimInterface(vs_usbdev_t *dev, int intf)
{
    libusb_device_handle *h = dev->handle.load();
    return h ? libusb_claim_interface(h, intf) : LIBUSB_ERROR_NO_DEVICE;
}

// Every caller has claimed the interface just before. libusb 1.0.26 releases the handle's lock without
// holding it when an alternate setting is selected on a device that has gone, and the later close then
// aborts; so a device that is known to be gone (claiming answers "no device") is not asked.
int setAltSetting(vs_usbdev_t *dev, int intf, int alt)
{
    libusb_device_handle *h = dev->handle.load();
    if (!h || libusb_claim_interface(h, intf) == LIBUSB_ERROR_NO_DEVICE)
        return LIBUSB_ERROR_NO_DEVICE;
    return libusb_set_interface_alt_setting(h, intf, alt);
}

int resetDevice(vs_usbdev_t *dev)
{
    libusb_device_handle *h = dev->handle.load();
    return h ? libusb_reset_device(h) : LIBUSB_ERROR_NO_DEVICE;
}

int sendCommand(vs_usbdev_t *dev, uint8_t cid)
{
    uint8_t cmd[VS_CMD_LEN];
    proto_make_command(cid, cmd);
    int moved = 0;
    return USB_OUT_Set_Write2(dev, cmd, VS_CMD_LEN, &moved, kCommandTimeoutMs);
}

// CID_GET_ALLINFO twice, as the camera expects after its stream setting has been selected; the second
// only when the first went through. 0 when both went through.
int sendGetAllInfoTwice(vs_usbdev_t *dev)
{
    int r = sendCommand(dev, CID_GET_ALLINFO);
    qDebug() << "USB_OUT_Set_Write2:" << r;
    if (r == 0) {
        r = sendCommand(dev, CID_GET_ALLINFO);
        qDebug() << "USB_OUT_Set_Write2:" << r;
    }
    return r;
}

}  // namespace

ThreadUSB::ThreadUSB(QObject *parent, uint16_t vid, uint16_t pid)
    : QThread(parent), m_vid(vid), m_pid(pid), m_dev(new vs_usbdev_t)
{
    m_streaming = false;

    int r = USB_Lib_Start();
    if (r != 0) {
        qDebug("libusb_init() err with %d", static_cast<unsigned>(static_cast<uint8_t>(r)));
        USB_Lib_End(nullptr);
        return;
    }
    m_libStarted = true;

    libusb_device **list = nullptr;
    const ssize_t count = USB_Get_Device_List(&list);
    if (count < 0) {
        qDebug("libusb_get_device_list() err with %d", static_cast<int>(count));
        m_streaming = false;
        USB_Lib_End(nullptr);
        m_libStarted = false;
        return;
    }

    const int b = USB_cameraWifi_Open(m_vid, m_pid, m_dev);
    qDebug() << "USB_cameraWifi_Open :" << b;
    if (b != 0) {
        // An open that failed after the device was opened keeps its handle and claims: close it before
        // the list walk opens the camera again, and start the endpoint discovery afresh.
        if (m_dev->handle.load())
            USB_Close(m_dev);
        m_dev->ep_in = m_dev->ep_out = m_dev->ep_in2 = m_dev->ep_out2 = 0;
        libusb_device_handle *handle = nullptr;
        if (print_devs_libusb_open(list, &handle, m_vid, m_pid) != 0 || !handle) {
            failureExit(list);
            return;
        }
        m_dev->handle.store(handle);
        if (USB_cameraWifi_Open(m_vid, m_pid, m_dev) != 0) {
            failureExit(list);
            return;
        }
    }
    // The open handle keeps its own reference to the device; the list is not needed any more.
    libusb_free_device_list(list, 1);
    list = nullptr;

    uint8_t reply[6] = {0};
    int moved = 0;
    r = USB_IN_RetureData_Read(m_dev, reply, sizeof reply, &moved, kCommandTimeoutMs);
    qDebug() << "USB_IN_RetureData_Read ret:" << r;
    if (r != 0) {
        qDebug() << "读数据失败";
        std::memset(reply, 0, sizeof reply);
        if (!openFallback()) {
            USB_Close(m_dev);
            m_streaming = false;
            return;  // libusb stays started; the destructor ends it
        }
    }

    if (std::memcmp(reply, HANDSHAKE_REPLY, sizeof reply) != 0) {
        qDebug() << "返回值不对";
        m_streaming = false;
    }

    uint8_t cmd[6];
    std::memcpy(cmd, HANDSHAKE_CMD, sizeof cmd);
    if (USB_OUT_Set_Write(m_dev, cmd, sizeof cmd, &moved, kCommandTimeoutMs) != 0) {
        failureExit(nullptr);
        return;
    }

    qDebug() << "Send OK!";
    r = claimInterface(m_dev, 1);
    qDebug() << "err!" << r;
    if (r != 0) {
        failureExit(nullptr);
        return;
    }
    r = setAltSetting(m_dev, 1, 1);
    qDebug() << "err!" << r;
    if (r != 0) {
        failureExit(nullptr);
        return;
    }

    if (sendCommand(m_dev, CID_OPEN_STREAM) != 0 || sendCommand(m_dev, CID_GET_ALLINFO) != 0) {
        failureExit(nullptr);
        return;
    }
    m_streaming = true;
}

// The camera did not answer the handshake read: reset it and open the stream setting directly.
bool ThreadUSB::openFallback()
{
    resetDevice(m_dev);
    int r = claimInterface(m_dev, 1);
    qDebug() << "libusb_claim_interface error:" << r;
    if (r != 0)
        return false;
    r = setAltSetting(m_dev, 1, 1);
    qDebug() << "libusb_set_interface_alt_setting error:" << r;
    if (r != 0)
        return false;
    return sendGetAllInfoTwice(m_dev) == 0;
}

void ThreadUSB::failureExit(libusb_device **list)
{
    USB_Close(m_dev);
    m_streaming = false;
    USB_Lib_End(list);
    m_libStarted = false;
}

ThreadUSB::~ThreadUSB()
{
    // The object may not go while run executes: end a stream that is still running first.
    if (isRunning() || m_paused)
        stopStream();
    wait();

    qDebug() << "ThreadUSB 析构结束";
    if (m_dev->handle.load()) {
        claimInterface(m_dev, 0);
        qDebug() << "libusb_claim_interface end";
        setAltSetting(m_dev, 0, 0);
        qDebug() << "libusb_set_interface_alt_setting end";
        USB_Close(m_dev);
    }
    if (m_libStarted) {
        USB_Lib_End(nullptr);
        m_libStarted = false;
    }
    qDebug() << "ThreadUSB end";
    delete m_dev;
}

bool ThreadUSB::stopRequested() const
{
    return m_stopRequested.load() || isInterruptionRequested();
}

void ThreadUSB::run()
{
    qDebug() << " ThreadUSB::run() 线程开始";
    if (!m_dev->handle.load()) {
        qDebug() << "没有拿到句柄直接出去";
        emit signals_In_Image(1);
        return;
    }

    static const vs_proto_cb_t callbacks = {&ThreadUSB::frame_callback, nullptr};
    proto_init(&callbacks);
    msleep(kParserSettleMs);

    uint8_t buf[kReadSize];
    while (m_dev->handle.load() && !stopRequested()) {
        // Paused, or a pause waiting for the lock: no transfer, look again shortly. Keeping away from
        // the lock while a pause waits for it lets the pause in after the read in progress.
        if (!m_streaming.load() || m_pausePending.load()) {
            msleep(kPausePollMs);
            continue;
        }
        if (!m_mutex.tryLock(kPausePollMs))
            continue;
        if (!m_streaming.load()) {
            m_mutex.unlock();
            continue;
        }
        std::memset(buf, 0, sizeof buf);
        int got = 0;
        const int r = USB_IN_RetureData_Read2(m_dev, buf, kReadSize, &got, kReadTimeoutMs);
        emit signals_In_Image(0);
        if (r != 0) {
            m_streaming = false;
            m_mutex.unlock();
            break;
        }
        if (got > 0)
            m_bytesRead += static_cast<quint64>(got);
        proto_input(buf, got);
        m_mutex.unlock();
    }
    m_streaming = false;

    qDebug() << "------------------------线程结束---------------------------";
    emit signals_In_Image(1);
    qDebug() << " -------------terminate-------------------------";
}

int ThreadUSB::frame_callback(vs_frameinfo_t *info, void *)
{
    if (!info)
        return 0;
    if (info->len > 0 && info->data) {
        char *copy = new char[static_cast<size_t>(info->len)];
        std::memcpy(copy, info->data, static_cast<size_t>(info->len));
        emit ImageConverModule::instance()->converBufToImage(copy, info->len);
    }
    if (info->haspic) {
        qDebug() << "info->haspic = " << 1;
        emit ImageConverModule::instance()->ButtonPhoto(1);
    }
    return 0;
}

void ThreadUSB::pause()
{
    if (m_paused) {
        // The pause lock is already ours; waiting for it again would never end.
        qDebug() << "pause : 已经暂停, 忽略";
        return;
    }
    qDebug().noquote() << QString("pause :%1").arg(m_streaming.load() ? 1 : 0);
    m_pausePending = true;
    m_mutex.lock();
    m_paused = true;
    m_streaming = false;
    m_pausePending = false;
    qDebug() << "pause";

    qDebug() << "libusb_claim_interface error:" << claimInterface(m_dev, 1);
    qDebug() << "err!" << setAltSetting(m_dev, 1, 0);
    resetDevice(m_dev);
}

void ThreadUSB::resume()
{
    if (!m_paused) {
        // Nothing to resume: the pause lock is not ours to release.
        qDebug() << "resume : 没有暂停, 忽略";
        return;
    }
    resetDevice(m_dev);
    qDebug() << "libusb_claim_interface error:" << claimInterface(m_dev, 1);
    qDebug() << "libusb_set_interface_alt_setting error:" << setAltSetting(m_dev, 1, 1);

    if (sendGetAllInfoTwice(m_dev) == 0) {
        qDebug().noquote() << QString("resume :%1").arg(m_streaming.load() ? 1 : 0);
        m_paused = false;
        m_mutex.unlock();
        m_streaming = true;
    } else {
        // The camera no longer answers: close it; the run loop ends at its next test.
        USB_Close(m_dev);
        m_streaming = false;
        m_paused = false;
        m_mutex.unlock();
    }
}

void ThreadUSB::stopStream()
{
    qDebug() << "ThreadUSB stopStream";
    m_stopRequested = true;
    requestInterruption();
    if (m_paused) {
        m_paused = false;
        m_mutex.unlock();
    }
}
