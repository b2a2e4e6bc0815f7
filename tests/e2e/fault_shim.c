/* A fault injector for the end-to-end tests, loaded into quellix with LD_PRELOAD.
 *
 * QUELLIX_FAULTS lists the faults, separated by ';':
 *   call:errno[:text]  every call of `call` fails with that errno, for good; with
 *                      text only the calls whose path (the name given, or the file
 *                      or socket behind the descriptor) contains it
 *   alloc:n            the nth heap allocation after main starts fails
 * Each injected failure moves the monotonic clock on by kSkewMs, so that a loop
 * that retries until a deadline reaches it at once, and one without a deadline
 * spins until the test's timeout. QUELLIX_FAULT_COUNT names a file that takes the
 * number of allocations made from main's start to its return.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

enum { kMaxFaults = 4, kSkewMs = 100 };

struct Fault {
    char call[16];
    int error;
    char text[64];
};

static struct Fault g_faults[kMaxFaults];
static int g_faultCount = -1;
static long g_failAllocation = 0;
static long g_allocations = 0;
static int g_armed = 0;
static long g_skewMs = 0;

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);

static void ParseFaults(void) {
    static char copy[512];
    const char* wanted = getenv("QUELLIX_FAULTS");
    g_faultCount = 0;
    if (wanted == NULL) {
        return;
    }
    snprintf(copy, sizeof copy, "%s", wanted);
    char* rest = copy;
    for (char* item; (item = strtok_r(rest, ";", &rest)) != NULL && g_faultCount < kMaxFaults;) {
        char* fields[3] = {item, "", ""};
        for (int i = 1; i < 3 && (fields[i] = strchr(fields[i - 1], ':')) != NULL; ++i) {
            *fields[i]++ = '\0';
        }
        if (fields[1] == NULL) {
            continue;
        }
        if (strcmp(fields[0], "alloc") == 0) {
            g_failAllocation = atol(fields[1]);
            continue;
        }
        struct Fault* f = &g_faults[g_faultCount++];
        snprintf(f->call, sizeof f->call, "%s", fields[0]);
        f->error = atoi(fields[1]);
        snprintf(f->text, sizeof f->text, "%s", fields[2] != NULL ? fields[2] : "");
    }
}

/* The error to inject into this call on path (NULL: not known), or 0. */
static int Injected(const char* call, const char* path) {
    if (g_faultCount < 0) {
        ParseFaults();
    }
    for (int i = 0; i < g_faultCount; ++i) {
        const struct Fault* f = &g_faults[i];
        if (strcmp(f->call, call) == 0 &&
            (f->text[0] == '\0' || (path != NULL && strstr(path, f->text) != NULL))) {
            g_skewMs += kSkewMs;
            errno = f->error;
            return f->error;
        }
    }
    return 0;
}

static int InjectedOnFd(const char* call, int fd) {
    char link[64];
    static char path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    path[n > 0 ? n : 0] = '\0';
    return Injected(call, path);
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

int connect(int fd, const struct sockaddr* address, socklen_t size) {
    const char* path =
        address->sa_family == AF_UNIX ? ((const struct sockaddr_un*)address)->sun_path : NULL;
    return Injected("connect", path) ? -1 : REAL(connect)(fd, address, size);
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
    return Injected("poll", NULL) ? -1 : REAL(poll)(fds, count, timeout);
}

ssize_t recv(int fd, void* buffer, size_t size, int flags) {
    return InjectedOnFd("recv", fd) ? -1 : REAL(recv)(fd, buffer, size, flags);
}

ssize_t read(int fd, void* buffer, size_t size) {
    return InjectedOnFd("read", fd) ? -1 : REAL(read)(fd, buffer, size);
}

ssize_t write(int fd, const void* buffer, size_t size) {
    return InjectedOnFd("write", fd) ? -1 : REAL(write)(fd, buffer, size);
}

int fsync(int fd) {
    return InjectedOnFd("fsync", fd) ? -1 : REAL(fsync)(fd);
}

int close(int fd) {
    return InjectedOnFd("close", fd) ? -1 : REAL(close)(fd);
}

static int OpenWith(const char* call, int (*real)(const char*, int, ...), const char* path,
                    int flags, va_list arguments) {
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(arguments, mode_t) : 0;
    return Injected(call, path) ? -1 : real(path, flags, mode);
}

/* open and open64 both fail as "open": the C library may call either. */
#define OPEN_WRAPPER(name)                                                   \
    int name(const char* path, int flags, ...) {                             \
        va_list arguments;                                                   \
        va_start(arguments, flags);                                          \
        const int fd = OpenWith("open", REAL(name), path, flags, arguments); \
        va_end(arguments);                                                   \
        return fd;                                                           \
    }
OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

int rename(const char* from, const char* to) {
    return Injected("rename", to) ? -1 : REAL(rename)(from, to);
}

int unlink(const char* path) {
    return Injected("unlink", path) ? -1 : REAL(unlink)(path);
}

int nanosleep(const struct timespec* pause, struct timespec* left) {
    return Injected("nanosleep", NULL) ? -1 : REAL(nanosleep)(pause, left);
}

int clock_gettime(clockid_t clock, struct timespec* now) {
    const int result = REAL(clock_gettime)(clock, now);
    if (result == 0 && clock == CLOCK_MONOTONIC) {
        now->tv_sec += g_skewMs / 1000;
        now->tv_nsec += (g_skewMs % 1000) * 1000000;
        if (now->tv_nsec >= 1000000000) {
            now->tv_sec += 1;
            now->tv_nsec -= 1000000000;
        }
    }
    return result;
}

static int FailsAllocation(void) {
    return g_armed && ++g_allocations == g_failAllocation;
}

void* malloc(size_t size) {
    return FailsAllocation() ? NULL : __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    return FailsAllocation() ? NULL : __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
    return FailsAllocation() ? NULL : __libc_realloc(block, size);
}

static int (*g_main)(int, char**, char**);

static int CountingMain(int argc, char** argv, char** env) {
    if (g_faultCount < 0) {
        ParseFaults();
    }
    g_armed = 1;
    const int result = g_main(argc, argv, env);
    g_armed = 0;
    const char* countFile = getenv("QUELLIX_FAULT_COUNT");
    FILE* file = countFile != NULL ? fopen(countFile, "w") : NULL;
    if (file != NULL) {
        fprintf(file, "%ld\n", g_allocations);
        fclose(file);
    }
    return result;
}

typedef int (*StartMain)(int (*)(int, char**, char**), int, char**, void (*)(void), void (*)(void),
                         void (*)(void), void*);

int __libc_start_main(int (*main)(int, char**, char**), int argc, char** argv, void (*init)(void),
                      void (*fini)(void), void (*rtldFini)(void), void* stackEnd) {
    g_main = main;
    StartMain real = (StartMain)dlsym(RTLD_NEXT, "__libc_start_main");
    return real(CountingMain, argc, argv, init, fini, rtldFini, stackEnd);
}
