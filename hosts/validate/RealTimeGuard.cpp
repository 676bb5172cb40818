// Interposers: this program defines malloc, free, operator new and delete,
// the pthread mutex calls and the common system-call wrappers itself, so
// every call in the process (the plug-in module's included) comes here first.
// Each counts when the calling thread is armed, then does the real work.

#include "hosts/validate/RealTimeGuard.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <cstdarg>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORVANE_VALIDATE_SANITIZED 1
#endif

namespace orvane::validate {
namespace {

thread_local bool armed = false;
thread_local RealTimeViolations seen;

inline void count(std::uint64_t RealTimeViolations::*what) {
    if (armed) ++(seen.*what);
}

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

} // namespace

RealTimeGuard::RealTimeGuard() {
    seen = {};
    armed = true;
}
RealTimeGuard::~RealTimeGuard() { armed = false; }
RealTimeViolations RealTimeGuard::violations() const { return seen; }

#ifdef ORVANE_VALIDATE_SANITIZED
bool realTimeGuardAvailable() { return false; }
#else
bool realTimeGuardAvailable() { return true; }
#endif

} // namespace orvane::validate

#ifndef ORVANE_VALIDATE_SANITIZED
using orvane::validate::count;
using orvane::validate::RealTimeViolations;


namespace {
// The real functions, looked up before anything is armed (the look-up itself
// may allocate), or on first use by whatever runs before that.
int (*next_pthread_mutex_lock)(pthread_mutex_t*) = nullptr;
int (*next_pthread_mutex_trylock)(pthread_mutex_t*) = nullptr;
ssize_t (*next_write)(int, const void*, std::size_t) = nullptr;
ssize_t (*next_read)(int, void*, std::size_t) = nullptr;
int (*next_open)(const char*, int, ...) = nullptr;
int (*next_nanosleep)(const struct timespec*, struct timespec*) = nullptr;
int (*next_usleep)(useconds_t) = nullptr;
int (*next_sched_yield)() = nullptr;
long (*next_syscall)(long, ...) = nullptr;
} // namespace

__attribute__((constructor)) static void resolveRealFunctions() {
    next_pthread_mutex_lock = orvane::validate::real<int (*)(pthread_mutex_t*)>("pthread_mutex_lock");
    next_pthread_mutex_trylock = orvane::validate::real<int (*)(pthread_mutex_t*)>("pthread_mutex_trylock");
    next_write = orvane::validate::real<ssize_t (*)(int, const void*, std::size_t)>("write");
    next_read = orvane::validate::real<ssize_t (*)(int, void*, std::size_t)>("read");
    next_open = orvane::validate::real<int (*)(const char*, int, ...)>("open");
    next_nanosleep = orvane::validate::real<int (*)(const struct timespec*, struct timespec*)>("nanosleep");
    next_usleep = orvane::validate::real<int (*)(useconds_t)>("usleep");
    next_sched_yield = orvane::validate::real<int (*)()>("sched_yield");
    next_syscall = orvane::validate::real<long (*)(long, ...)>("syscall");
}

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) {
    count(&RealTimeViolations::allocations);
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
    count(&RealTimeViolations::allocations);
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
    count(&RealTimeViolations::allocations);
    return __libc_realloc(p, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    count(&RealTimeViolations::allocations);
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    count(&RealTimeViolations::allocations);
    void* p = __libc_memalign(alignment, size);
    if (!p) return 12; // ENOMEM
    *out = p;
    return 0;
}
void free(void* p) {
    if (p) count(&RealTimeViolations::frees);
    __libc_free(p);
}

int pthread_mutex_lock(pthread_mutex_t* m) {
    count(&RealTimeViolations::locks);
    if (!next_pthread_mutex_lock) resolveRealFunctions();
    return next_pthread_mutex_lock(m);
}
int pthread_mutex_trylock(pthread_mutex_t* m) {
    count(&RealTimeViolations::locks);
    if (!next_pthread_mutex_trylock) resolveRealFunctions();
    return next_pthread_mutex_trylock(m);
}

ssize_t write(int fd, const void* data, std::size_t size) {
    count(&RealTimeViolations::systemCalls);
    if (!next_write) resolveRealFunctions();
    return next_write(fd, data, size);
}
ssize_t read(int fd, void* data, std::size_t size) {
    count(&RealTimeViolations::systemCalls);
    if (!next_read) resolveRealFunctions();
    return next_read(fd, data, size);
}
int open(const char* path, int flags, ...) {
    count(&RealTimeViolations::systemCalls);
    va_list args;
    va_start(args, flags);
    const int mode = va_arg(args, int);
    va_end(args);
    if (!next_open) resolveRealFunctions();
    return next_open(path, flags, mode);
}
int nanosleep(const struct timespec* duration, struct timespec* rest) {
    count(&RealTimeViolations::systemCalls);
    if (!next_nanosleep) resolveRealFunctions();
    return next_nanosleep(duration, rest);
}
int usleep(useconds_t microseconds) {
    count(&RealTimeViolations::systemCalls);
    if (!next_usleep) resolveRealFunctions();
    return next_usleep(microseconds);
}
int sched_yield() {
    count(&RealTimeViolations::systemCalls);
    if (!next_sched_yield) resolveRealFunctions();
    return next_sched_yield();
}
long syscall(long number, ...) {
    count(&RealTimeViolations::systemCalls);
    va_list args;
    va_start(args, number);
    long a[6];
    for (long& v : a) v = va_arg(args, long);
    va_end(args);
    if (!next_syscall) resolveRealFunctions();
    return next_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
} // extern "C"

void* operator new(std::size_t size) {
    if (void* p = malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
    void* p = nullptr;
    if (posix_memalign(&p, static_cast<std::size_t>(alignment), size ? size : 1) != 0) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t size, std::align_val_t alignment) { return ::operator new(size, alignment); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, std::size_t) noexcept { free(p); }
void operator delete[](void* p, std::size_t) noexcept { free(p); }
void operator delete(void* p, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { free(p); }
#endif
