// SPDX-License-Identifier: ISC
#include "report.h"

#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

// The program's own progname and debug, where it defines them: weak
// references, so that a program that does not (one that loads the shared
// library through a foreign-function interface, say) still loads it. Then
// the address is null, the name is the C library's short name of the
// program, and debug is 0.
extern const char *progname __attribute__((weak)); // NOLINT(readability-redundant-declaration)
extern int debug __attribute__((weak));            // NOLINT(readability-redundant-declaration)

static int stderr_only = 1;

// Where reports go instead, when a program asks (report_to).
static std::atomic<report_sink> receiver;
static std::atomic<void *> receiver_arg;

// Equal widths keep the messages of every level in one column.
static constexpr const char *levelnames[] = {
    "emerg(0): ", "alert(1): ", "crit(2):  ", "error(3): ", "warn(4):  ",
    "note(5):  ", "info(6):  ", "debug(7): ", "level(?): ",
};
static constexpr int numlevels = sizeof levelnames / sizeof levelnames[0];

// The message buffer, one of 128 bytes for each thread: the updaters of two
// nearest tables may report at once.
static thread_local char message[128];

static const char *name()
{
    return &progname != nullptr ? progname : program_invocation_short_name;
}

static int debug_level()
{
    return &debug != nullptr ? debug : 0;
}

void report_init(int only)
{
    stderr_only = only;
    if (only == 0)
        openlog(name(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

void report_to(report_sink sink, void *arg)
{
    receiver_arg.store(arg, std::memory_order_relaxed);
    receiver.store(sink, std::memory_order_release);
}

void report(int level, const char *fmt, ...)
{
    if (level < 0 || level >= numlevels)
        level = numlevels - 1;

    va_list ap;
    va_start(ap, fmt);
    // A longer message is cut rather than allowed past the buffer.
    (void)vsnprintf(message, sizeof message, fmt, ap);
    va_end(ap);

    if (report_sink to = receiver.load(std::memory_order_acquire); to != nullptr) {
        // The caller may report a failure and then read its errno.
        const int saved = errno;
        to(level, message, receiver_arg.load(std::memory_order_relaxed));
        errno = saved;
        return;
    }
    if (stderr_only != 0 || debug_level() > 2) {
        const char *prefix = name();
        (void)std::fprintf(stderr, "%s: %s %s\n", prefix != nullptr ? prefix : "",
                           levelnames[level], message);
    }
    if (stderr_only == 0)
        syslog(level | LOG_DAEMON, "%s", message);
}

const char *get_errmsg()
{
    return std::strerror(errno);
}
