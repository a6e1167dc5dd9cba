// SPDX-License-Identifier: ISC
#include "report.h"
#include "sandbox.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

const char *progname;
int debug;

namespace {

TEST(Report, StandardErrorLine)
{
    const std::string longest(127, 'x');
    const struct {
        int level;
        std::string message, line;
        const char *name = "prog";
    } cases[] = {
        {0, "m", "prog: emerg(0):  m\n"},
        {1, "m", "prog: alert(1):  m\n"},
        {2, "m", "prog: crit(2):   m\n"},
        {3, "m", "prog: error(3):  m\n"},
        {4, "m", "prog: warn(4):   m\n"},
        {5, "m", "prog: note(5):   m\n"},
        {6, "m", "prog: info(6):   m\n"},
        {7, "m", "prog: debug(7):  m\n"},
        {8, "m", "prog: level(?):  m\n"},
        {9, "m", "prog: level(?):  m\n"},
        {-1, "m", "prog: level(?):  m\n"},
        {100, "m", "prog: level(?):  m\n"},
        {INT_MIN, "m", "prog: level(?):  m\n"},
        {3, "a\nb %s %n", "prog: error(3):  a\nb %s %n\n"},
        {3, longest, "prog: error(3):  " + longest + "\n"},
        {3, longest + "yz", "prog: error(3):  " + longest + "\n"},
        {3, "m", ": error(3):  m\n", nullptr},
    };
    for (const auto &c : cases) {
        const Outcome o = run(Sandbox{.isolate = false}, [&c] {
            progname = c.name;
            report(c.level, "%s", c.message.c_str());
        });
        EXPECT_EQ(o.err, c.line) << "level " << c.level;
        EXPECT_EQ(o.out, "");
    }
}

TEST(Report, FormatsItsArguments)
{
    const Outcome o = run(Sandbox{.isolate = false}, [] {
        progname = "/usr/bin/x";
        report(6, "%s=%d%%", "n", 42);
    });
    EXPECT_EQ(o.err, "/usr/bin/x: info(6):   n=42%\n");
}

TEST(Report, ErrorMessageOfErrno)
{
    errno = ENOENT;
    EXPECT_STREQ(get_errmsg(), "No such file or directory");
}

using Loaded = Namespaces;

// The library reached as an interpreter or a plugin host reaches it: it
// reads the program's own globals where the program defines and exports
// them, and names the program after itself where it does not.
TEST_F(Loaded, ByProgramsThatDefineNeitherGlobal)
{
    const struct {
        const char *loader, *name;
    } cases[] = {
        {"loader_bare", "loader_bare"},
        {"loader_globals", "given"},
        {"loader_hidden", "loader_hidden"},
        {"loader_static", "loader_static"},
    };
    for (const auto &c : cases) {
        const std::string path = std::string(LOADER_DIR) + "/" + c.loader;
        const Outcome o = run(Sandbox{.net = "lo"},
                              [&path] { execute(path.c_str(), {path, LANPICK_SHARED}); });
        EXPECT_EQ(o.status, 0) << c.loader << ": " << o.out;
        EXPECT_EQ(o.err, std::string(c.name) + ": error(3):  loaded\n") << c.loader;
        EXPECT_EQ(o.out, "sink 3 loaded\nlo\n") << c.loader;
    }
}

using SystemLog = Namespaces;

// Whether some descriptor is a socket connected to /dev/log.
bool logging_connected()
{
    for (int fd = 0; fd < 64; ++fd) {
        sockaddr_un peer{};
        socklen_t len = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) == 0 &&
            peer.sun_family == AF_UNIX && std::string(peer.sun_path) == "/dev/log")
            return true;
    }
    return false;
}

// A listener on /dev/log in a private /dev reads the datagram that the C
// library's syslog sends; the test prints it after the process id and
// whether report_init had connected to the log before the first entry.
// A row marked own logs through syslog itself, as a daemon may, under the
// facility that report_init chose.
TEST_F(SystemLog, ModesLevelsAndPriorities)
{
    const int none = -2; // report_init never called
    const struct {
        int init, debug, level;
        const char *message, *priority, *copy;
        bool own = false;
    } cases[] = {
        {none, 0, 3, "m", nullptr, "prog: error(3):  m\n"},
        {1, 9, 3, "m", nullptr, "prog: error(3):  m\n"},
        {0, 0, 3, "m", "<27>", ""},
        {0, 2, 3, "m", "<27>", ""},
        {0, 3, 3, "m", "<27>", "prog: error(3):  m\n"},
        {0, 0, 7, "m", "<31>", ""},
        {0, 0, 0, "m", "<24>", ""},
        {0, 0, 8, "m", "<24>", ""},
        {0, 0, 9, "m", "<24>", ""},
        {0, 0, -1, "m", "<24>", ""},
        {0, 0, 100, "m", "<24>", ""},
        {0, 0, 3, "50% %s%n done", "<27>", ""},
        {0, 0, LOG_INFO, "m", "<30>", "", true},
    };
    for (const auto &c : cases) {
        const Outcome o = run(Sandbox{.devlog = true}, [&c] {
            const int fd = devlog_listen();
            progname = "prog";
            debug = c.debug;
            if (c.init != none)
                report_init(c.init);
            const bool connected = logging_connected();
            if (c.own)
                syslog(c.level, "%s", c.message);
            else
                report(c.level, "%s", c.message);
            const std::vector<std::string> got = devlog_read(fd);
            std::printf("%d %d\n%s", getpid(), connected, got.empty() ? "" : got[0].c_str());
        });
        const std::string pid = o.out.substr(0, o.out.find(' '));
        const std::string connected = o.out.substr(o.out.find(' ') + 1, 1);
        const std::string datagram = o.out.substr(o.out.find('\n') + 1);
        SCOPED_TRACE(std::to_string(c.init) + " " + std::to_string(c.debug) + " " +
                     std::to_string(c.level) + ": " + o.out);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.err, c.copy);
        EXPECT_EQ(connected, c.init == 0 ? "1" : "0");
        if (c.priority == nullptr) {
            EXPECT_EQ(datagram, "");
            continue;
        }
        EXPECT_EQ(datagram.substr(0, 4), c.priority);
        const std::string tail = "prog[" + pid + "]: " + c.message;
        EXPECT_TRUE(datagram.ends_with(tail)) << tail;
    }
}

} // namespace
