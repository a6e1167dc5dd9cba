// SPDX-License-Identifier: ISC
#include "report.h"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

static int stderr_only = 1;

// Equal widths keep the messages of every level in one column.
static constexpr const char *levelnames[] = {
    "emerg(0): ", "alert(1): ", "crit(2):  ", "error(3): ", "warn(4):  ",
    "note(5):  ", "info(6):  ", "debug(7): ", "level(?): ",
};
static constexpr int numlevels = sizeof levelnames / sizeof levelnames[0];

// The message buffer, one of 128 bytes for each thread: the updaters of two
// nearest tables may report at once.
static thread_local char message[128];

void report_init(int only)
{
    stderr_only = only;
    if (only == 0)
        openlog(progname, LOG_PID | LOG_NDELAY, LOG_DAEMON);
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

    if (stderr_only != 0 || debug > 2)
        (void)std::fprintf(stderr, "%s: %s %s\n", progname != nullptr ? progname : "",
                           levelnames[level], message);
    if (stderr_only == 0)
        syslog(level | LOG_DAEMON, "%s", message);
}

const char *get_errmsg()
{
    return std::strerror(errno);
}
