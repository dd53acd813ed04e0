// ThreadSanitizer as clang 14 has it does not intercept
// pthread_mutex_clocklock, which libstdc++ uses for
// std::timed_mutex::try_lock_until on the steady clock (the library's
// DeviceConnection waits for its turn that way). It then misses those
// locks: it reports each unlock as "unlock of an unlocked mutex" and would
// take what the mutex guards for unguarded. This definition, linked into
// the test programs of a ThreadSanitizer build only, takes such a lock
// through pthread_mutex_timedlock, which it does intercept, with the same
// deadline moved to the realtime clock.
#include <pthread.h>
#include <time.h>

#include <cstdint>

extern "C" int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock,
                                       const struct timespec* abstime) {
    if (clock == CLOCK_REALTIME)
        return pthread_mutex_timedlock(mutex, abstime);
    timespec on_clock{};
    timespec realtime{};
    clock_gettime(clock, &on_clock);
    clock_gettime(CLOCK_REALTIME, &realtime);
    constexpr std::int64_t kBillion = 1'000'000'000;
    const std::int64_t left =
        (abstime->tv_sec - on_clock.tv_sec) * kBillion + (abstime->tv_nsec - on_clock.tv_nsec);
    const std::int64_t at = realtime.tv_sec * kBillion + realtime.tv_nsec + (left > 0 ? left : 0);
    const timespec deadline{static_cast<time_t>(at / kBillion), static_cast<long>(at % kBillion)};
    return pthread_mutex_timedlock(mutex, &deadline);
}
