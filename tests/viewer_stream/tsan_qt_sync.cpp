// ThreadSanitizer builds only: tells the race detector about the synchronisation that Qt performs inside
// its own (uninstrumented) library, so that it judges our code by the orderings Qt guarantees instead of
// reporting every hand-over between threads.
//
// - QMutex: lock and a successful tryLock acquire, unlock releases (Qt's mutex is a futex the detector
//   cannot see).
// - Queued signals: emitting a signal releases, the delivery of an event to one of our QObject classes
//   acquires. One sync object stands for all queues, which is coarser than Qt's per-receiver order.
// - Threads: quit and exit release, a wait that saw the thread end acquires; the owners of threads that
//   end by returning from run release from a direct connection to finished (see StreamWatch).
// - Functors posted with QMetaObject::invokeMethod: like queued signals.
// - Tasks on the thread pool: QThreadPool::start releases, the task's first look at its future
//   (isCanceled, in the pool thread) acquires; reportFinished releases, waitForFinished acquires.
//
// The calls from our code to these exported Qt functions land here (this program defines them) and go
// on to Qt's own implementation.

#include "stream_rig.h"

#if defined(STREAMTEST_TSAN)

#include <QDeadlineTimer>
#include <QFutureInterfaceBase>
#include <QRunnable>
#include <QThreadPool>
#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QThread>

#include <dlfcn.h>

extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);

namespace {

char g_queuedSignals;
char g_poolStart;
char g_futureEnd;

template <typename Fn>
Fn next(const char *symbol)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, symbol));
}

}  // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = next<void (*)(QMutex *)>("_ZN6QMutex4lockEv");
    real(this);
    __tsan_acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = next<bool (*)(QMutex *, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = real(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const auto real = next<void (*)(QMutex *)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    real(this);
}

void QMetaObject::activate(QObject *sender, const QMetaObject *m, int local_signal_index, void **argv)
{
    static const auto real =
        next<void (*)(QObject *, const QMetaObject *, int, void **)>("_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    __tsan_release(&g_queuedSignals);
    real(sender, m, local_signal_index, argv);
}

bool QObject::event(QEvent *e)
{
    static const auto real = next<bool (*)(QObject *, QEvent *)>("_ZN7QObject5eventEP6QEvent");
    __tsan_acquire(&g_queuedSignals);
    return real(this, e);
}

void QThread::exit(int retcode)
{
    static const auto real = next<void (*)(QThread *, int)>("_ZN7QThread4exitEi");
    __tsan_release(this);
    real(this, retcode);
}

void QThread::quit()
{
    static const auto real = next<void (*)(QThread *)>("_ZN7QThread4quitEv");
    __tsan_release(this);
    real(this);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto real = next<bool (*)(QThread *, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = real(this, deadline);
    if (ended)
        __tsan_acquire(this);
    return ended;
}

bool QThread::wait(unsigned long time)
{
    static const auto real = next<bool (*)(QThread *, unsigned long)>("_ZN7QThread4waitEm");
    const bool ended = real(this, time);
    if (ended)
        __tsan_acquire(this);
    return ended;
}

bool QMetaObject::invokeMethodImpl(QObject *object, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type,
                                   void *ret)
{
    static const auto real = next<bool (*)(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *)>(
        "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    __tsan_release(&g_queuedSignals);
    return real(object, slot, type, ret);
}

void QThreadPool::start(QRunnable *runnable, int priority)
{
    static const auto real = next<void (*)(QThreadPool *, QRunnable *, int)>("_ZN11QThreadPool5startEP9QRunnablei");
    __tsan_release(&g_poolStart);
    real(this, runnable, priority);
}

bool QFutureInterfaceBase::isCanceled() const
{
    static const auto real = next<bool (*)(const QFutureInterfaceBase *)>("_ZNK20QFutureInterfaceBase10isCanceledEv");
    __tsan_acquire(&g_poolStart);
    return real(this);
}

void QFutureInterfaceBase::reportFinished()
{
    static const auto real = next<void (*)(QFutureInterfaceBase *)>("_ZN20QFutureInterfaceBase14reportFinishedEv");
    __tsan_release(&g_futureEnd);
    real(this);
}

void QFutureInterfaceBase::waitForFinished()
{
    static const auto real = next<void (*)(QFutureInterfaceBase *)>("_ZN20QFutureInterfaceBase15waitForFinishedEv");
    real(this);
    __tsan_acquire(&g_futureEnd);
}

// Qt's own calls into the C library (its wait conditions in particular) are not instrumented and are
// ordered by the futexes above; only accesses made from our code are judged.
extern "C" const char *__tsan_default_options()
{
    return "ignore_noninstrumented_modules=1";
}

#endif
