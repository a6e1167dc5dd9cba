// SPDX-License-Identifier: ISC
// Reporting: levelled, printf-style diagnostics to standard error or to the
// system log, for the tool and for daemons alike.
#ifndef LANPICK_REPORT_H
#define LANPICK_REPORT_H

#ifdef __cplusplus
extern "C" {
#endif

// What this header declares is the library's interface, visible from its
// shared object; the rest of the library is hidden.
#pragma GCC visibility push(default)

// A program that uses this module may define these two, and set progname
// before its first report:
//   const char *progname;  argv[0] as given; the prefix of every standard
//                          error line and the system log's identity
//   int debug;             0 at start; above 2, every report is also
//                          copied to standard error in system-log mode
// The library's references to them are weak: where the program defines
// neither (a Python program through ctypes, a plugin host that dlopens a
// plugin linked to the library without exporting its own symbols), the name
// is the C library's program_invocation_short_name and debug is 0.
extern const char *progname;
extern int debug;

// Chooses where reports go. Nonzero: standard error only, as at process
// start. 0: the system log, opened here under LOG_DAEMON with progname as its
// identity and the process id in every entry (so progname must be set first).
// The log is never closed; a later nonzero call only stops writing to it.
void report_init(int stderr_only);

// Formats a printf-style message, cut to 127 bytes, and reports it at a
// level: 0 (emergency) to 7 (debug), any other value as "level(?)".
// Standard error receives "progname: <level prefix> message\n"; the system
// log receives the message alone, at priority level | LOG_DAEMON, never
// reinterpreted as a format. Failures of the output itself are ignored.
// Not reentrant: every call reuses one static buffer.
void report(int level, const char *fmt, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Sends every report, from then on, to sink instead of standard error and
// the system log: sink(level, message, arg) on the thread that reports, with
// the message formatted and cut as above, and level 0 to 7, or 8 for one out
// of range. A null sink restores report_init's choice. Set it before the
// reports it is to receive, not while other threads report. (LANPICK_1.1)
typedef void (*report_sink)(int level, const char *message, void *arg); // NOLINT(modernize-use-using): a C header too
void report_to(report_sink sink, void *arg);

// The system's text for the current errno. The C library owns the text; it
// may change with the next call.
const char *get_errmsg(void);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
