// Linked into the tests of the ThreadSanitizer build only. Qt is not instrumented and
// QMutex::lock(), tryLock() and unlock() are out of line in QtCore, so ThreadSanitizer never
// sees them and takes everything a QMutex guards for a data race. These definitions take the
// place of Qt's for our code, call Qt's own, and tell ThreadSanitizer what they did.

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include <QMutex>

extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);

template <typename Fn> static Fn qtCore(const char* symbol) {
    void* real = dlsym(RTLD_NEXT, symbol);
    if (!real) {
        std::fprintf(stderr, "tsanqmutex: %s not found in QtCore\n", symbol);
        std::abort();
    }
    return reinterpret_cast<Fn>(real);
}

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT {
    static const auto real = qtCore<void (*)(QMutex*)>("_ZN6QMutex4lockEv");
    real(this);
    __tsan_acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT {
    static const auto real = qtCore<bool (*)(QMutex*, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = real(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QMutex::unlock() noexcept {
    static const auto real = qtCore<void (*)(QMutex*)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    real(this);
}
