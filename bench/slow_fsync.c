/* A disk that takes its time to make data durable: preloaded into qmxhost,
 * every fsync and fdatasync first sleeps SLOW_FSYNC_S seconds (default 1.5),
 * as a worn SD card or a busy network disk can, then does the real call.
 * At exit it says on standard error how many calls it held back, so that a
 * run can tell the delay was in force.
 *
 *   cc -shared -fPIC -O2 -o slow_fsync.so slow_fsync.c -ldl
 *   LD_PRELOAD=./slow_fsync.so SLOW_FSYNC_S=1.5 qmxhost ...
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static unsigned long held_back;

static void take_time(void) {
    const char* text = getenv("SLOW_FSYNC_S");
    double seconds = text != NULL ? strtod(text, NULL) : 1.5;
    if (!(seconds > 0)) return;
    struct timespec left = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    /* A signal (the host's Ctrl-C) must not cut the delay short. */
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    __atomic_add_fetch(&held_back, 1, __ATOMIC_RELAXED);
}

int fsync(int fd) {
    static int (*real)(int);
    if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    const int saved = errno;
    take_time();
    errno = saved;
    return real(fd);
}

int fdatasync(int fd) {
    static int (*real)(int);
    if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    const int saved = errno;
    take_time();
    errno = saved;
    return real(fd);
}

__attribute__((destructor)) static void tell(void) {
    if (held_back > 0) fprintf(stderr, "slow_fsync: %lu calls held back\n", held_back);
}
