// The example daemon in private namespaces: each address it is given becomes
// one entry at /dev/log, and all its lookups cost one SIOCGIFCONF request.
// LANPICK_DAEMON in the environment names another build of it to test, such
// as one built against an installed lanpick.
#include "sandbox.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string daemon_path()
{
    const char *env = std::getenv("LANPICK_DAEMON");
    return env != nullptr && *env != '\0' ? env : LANPICK_DAEMON;
}

// "<30>Dec  8 03:09:29 ident[pid]: text" as "<30> text".
std::string entry(const std::string &datagram)
{
    const std::size_t text = datagram.find("]: ");
    return datagram.substr(0, datagram.find('>') + 1) + " " + datagram.substr(text + 3);
}

using Daemon = Namespaces;

TEST_F(Daemon, LogsEachAddressAfterOneRequest)
{
    const std::string path = daemon_path();
    const Outcome o = run(Sandbox{.net = "lo b0:a=10.1.2.3", .devlog = true}, [&path] {
        const int fd = devlog_listen();
        char trace[] = "/tmp/lanpickd-trace.XXXXXX";
        close(mkstemp(trace));
        // LeakSanitizer cannot work under ptrace; the rest of ASan can.
        const char *asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS",
               (std::string(asan != nullptr ? asan : "") + ":detect_leaks=0").c_str(), 1);
        const pid_t pid = fork();
        if (pid == 0)
            execute("strace", {"strace", "-f", "-qq", "-e", "trace=ioctl", "-o", trace, path,
                               "10.1.2.3", "10.9.9.9", "127.0.0.1", "192.0.2.1", "nonsense"});
        waitpid(pid, nullptr, 0);
        for (const std::string &d : devlog_read(fd))
            std::printf("%s\n", entry(d).c_str());
        std::ifstream lines(trace);
        int requests = 0;
        for (std::string line; std::getline(lines, line);)
            requests += line.find("SIOCGIFCONF") != std::string::npos ? 1 : 0;
        std::printf("requests: %d\n", requests);
        unlink(trace);
    });
    EXPECT_EQ(o.out, "<30> 10.1.2.3: b0:a 10.1.2.3\n"
                     "<30> 10.9.9.9: b0:a 10.1.2.3\n"
                     "<30> 127.0.0.1: lo 127.0.0.1\n"
                     "<29> 192.0.2.1: no interface\n"
                     "<28> nonsense: not a dotted IPv4 address\n"
                     "requests: 1\n")
        << o.err;
    EXPECT_EQ(o.err, "");
}

} // namespace
