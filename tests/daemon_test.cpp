// SPDX-License-Identifier: ISC
// The example daemon in private namespaces: each address it is given becomes
// one entry at /dev/log, and all its lookups cost one SIOCGIFCONF request;
// over pipes, its answers follow the addresses as they change.
// LANPICK_DAEMON in the environment names another build of it to test, such
// as one built against an installed lanpick.
#include "sandbox.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string daemon_path()
{
    return program("LANPICK_DAEMON", LANPICK_DAEMON);
}

// "<30>Dec  8 03:09:29 ident[pid]: text" as "<30> text".
std::string entry(const std::string &datagram)
{
    const std::size_t text = datagram.find("]: ");
    return datagram.substr(0, datagram.find('>') + 1) + " " + datagram.substr(text + 3);
}

// The SIOCGIFCONF requests in an strace log.
int requests(const char *trace)
{
    std::ifstream lines(trace);
    int n = 0;
    for (std::string line; std::getline(lines, line);)
        n += line.find("SIOCGIFCONF") != std::string::npos ? 1 : 0;
    return n;
}

// LeakSanitizer cannot work under ptrace; the rest of ASan can.
void no_leak_check()
{
    const char *asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":detect_leaks=0").c_str(),
           1);
}

// One answer line from fd, or "timeout" after 10 seconds of silence.
std::string answer(int fd)
{
    std::string line;
    pollfd p{fd, POLLIN, 0};
    for (char c = 0; c != '\n';) {
        if (poll(&p, 1, 10000) != 1 || read(fd, &c, 1) != 1)
            return "timeout\n";
        line += c;
    }
    return line;
}

// Drives the daemon over pipes, one step at a time, and prints what it
// answers: "+cmd" runs a shell command; "eof" closes its input and "term"
// sends SIGTERM, then print its exit status and how many entries reached
// /dev/log (and, traced, how many interface requests it made); any other
// step is written as it is, and as many answers as it holds newlines are
// read, or with "N*" before it, N times over, printed once if all agree.
void converse(const std::vector<std::string> &steps, bool traced)
{
    const int log = devlog_listen();
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0)
        return;
    char trace[] = "/tmp/lanpickd-trace.XXXXXX";
    close(mkstemp(trace));
    const std::string path = daemon_path();
    if (traced)
        no_leak_check();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        if (traced)
            execute("strace", {"strace", "-qq", "-e", "trace=ioctl", "-o", trace, path});
        execute(path.c_str(), {path});
    }
    close(in[0]);
    close(out[1]);
    std::size_t entries = 0; // read as they come, or the log's queue fills and syslog blocks
    for (const std::string &step : steps) {
        if (step[0] == '+') {
            shell(step.c_str() + 1);
            continue;
        }
        if (step == "eof" || step == "term") {
            if (step == "eof")
                close(in[1]);
            else
                kill(pid, SIGTERM);
            int ws = 0;
            waitpid(pid, &ws, 0);
            entries += devlog_read(log).size();
            std::printf("exit %d, %zu entries",
                        WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws), entries);
            if (traced)
                std::printf(", %d requests", requests(trace));
            std::printf("\n");
            break;
        }
        const std::size_t star = step.find('*');
        const int times = star == std::string::npos ? 1 : std::stoi(step.substr(0, star));
        const std::string text = star == std::string::npos ? step : step.substr(star + 1);
        std::string first;
        bool same = true;
        for (int i = 0; i < times; ++i) {
            if (write(in[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
                std::printf("short write\n");
            std::string got;
            for (std::size_t k = 0;
                 k < static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); ++k)
                got += answer(out[0]);
            entries += devlog_read(log).size();
            same = same && (i == 0 || got == first);
            if (i == 0)
                first = got;
        }
        std::printf("%s%s", same ? "" : "answers differ: ", first.c_str());
    }
    unlink(trace);
}

using Daemon = Namespaces;

TEST_F(Daemon, LogsEachAddressAfterOneRequest)
{
    const std::string path = daemon_path();
    const Outcome o = run(Sandbox{.net = "lo b0:a=10.1.2.3", .devlog = true}, [&path] {
        const int fd = devlog_listen();
        char trace[] = "/tmp/lanpickd-trace.XXXXXX";
        close(mkstemp(trace));
        no_leak_check();
        const pid_t pid = fork();
        if (pid == 0)
            execute("strace", {"strace", "-f", "-qq", "-e", "trace=ioctl", "-o", trace, path,
                               "10.1.2.3", "10.9.9.9", "127.0.0.1", "192.0.2.1", "nonsense"});
        waitpid(pid, nullptr, 0);
        for (const std::string &d : devlog_read(fd))
            std::printf("%s\n", entry(d).c_str());
        std::printf("requests: %d\n", requests(trace));
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

TEST_F(Daemon, FollowsTheAddressesAsTheyChange)
{
    const std::string near = "+ip addr add 10.1.2.8/32 dev b1 label b1:a";
    const std::string far = "+ip addr del 10.1.2.8/32 dev b1";
    const std::string b0 = "10.1.2.9 b0:a 10.1.2.3\n";
    const std::string b1 = "10.1.2.9 b1:a 10.1.2.8\n";
    const struct {
        const char *what;
        bool traced;
        std::vector<std::string> steps;
        std::string out;
    } cases[] = {
        {"an address added, a link up and down, the address deleted",
         false,
         {"10.1.2.9\n", near, "10.1.2.9\n", "+ip link set b1 up", "10.1.2.9\n",
          "+ip link set b1 down", "10.1.2.9\n", far, "10.1.2.9\n", "eof"},
         b0 + b1 + b1 + b1 + b0 + "exit 0, 5 entries\n"},
        {"a request for the first query and one for a burst of changes",
         true,
         {"1000*10.1.2.9\n", near, "+ip addr add 10.1.2.10/32 dev b1",
          "+ip addr del 10.1.2.10/32 dev b1", "1000*10.1.2.9\n", "eof"},
         b0 + b1 + "exit 0, 2000 entries, 2 requests\n"},
        {"bad lines answered, and the daemon goes on",
         false,
         {"\n", std::string(5000, 'x') + "\n", std::string("10.1\0.2.9\n", 10), "gate way\n",
          "nowhere\n", "10.1.2.9\n", "term"},
         "- - empty\n- - long\n- - invalid\n- - invalid\nnowhere - unknown\n" + b0 +
             "exit 0, 6 entries\n"},
        {"a last line without a newline", false, {"10.1.2.9", "eof"}, "exit 0, 1 entries\n"},
    };
    for (const auto &c : cases) {
        const Outcome o = run(Sandbox{.net = "lo b0:a=10.1.2.3 b1:x=20.0.0.1",
                                      .hosts = "10.1.2.9 gateway\n",
                                      .devlog = true},
                              [&c] { converse(c.steps, c.traced); });
        EXPECT_EQ(o.out, c.out) << c.what;
        EXPECT_EQ(o.err, "") << c.what;
    }
}

} // namespace
