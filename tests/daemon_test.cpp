// SPDX-License-Identifier: ISC
// lanpickd in private namespaces: each address it is given becomes one entry
// at /dev/log, and all its lookups cost one address dump; over pipes, its
// answers follow the addresses as they change, and signals end it whatever
// it is doing.
// LANPICK_DAEMON in the environment names another build of it to test, such
// as one built against an installed lanpick.
#include "sandbox.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
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

// The address dumps asked for in an strace log.
int dumps(const char *trace)
{
    std::ifstream lines(trace);
    int n = 0;
    for (std::string line; std::getline(lines, line);)
        n += line.find("RTM_GETADDR") != std::string::npos ? 1 : 0;
    return n;
}

// A child process that writes line to fd until the reader goes, or with
// no line, reads fd to its end, slowly enough that the writer waits in
// mid-write, and exits 1 if what it read ends in half a line.
pid_t flood(int fd, const char *line)
{
    const pid_t pid = fork();
    if (pid == 0) {
        char buf[4096];
        signal(SIGPIPE, SIG_DFL);
        if (line != nullptr)
            while (write(fd, line, std::strlen(line)) > 0)
                ;
        char last = '\n';
        for (ssize_t n; line == nullptr && (n = read(fd, buf, sizeof buf)) > 0;) {
            last = buf[n - 1];
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        _exit(last == '\n' ? 0 : 1);
    }
    return pid;
}

// Waits up to 5 seconds for pid, then kills it; its status as run() gives it.
int reap(pid_t pid)
{
    int ws = 0;
    for (int i = 0; i < 500 && waitpid(pid, &ws, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (kill(pid, SIGKILL) == 0)
        waitpid(pid, &ws, 0);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
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
// sends SIGTERM, "flood" and "stuck" send it while lines keep coming and
// its answers are read, or not read; then print its exit status and how
// many entries reached /dev/log (and, traced, how many dumps it asked); any
// other
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
            execute("strace", {"strace", "-qq", "-e", "trace=sendto", "-o", trace, path});
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
        if (step == "eof" || step == "term" || step == "flood" || step == "stuck") {
            const pid_t writer = step.size() == 5 ? flood(in[1], "10.1.2.9\n") : 0;
            const pid_t reader = step == "flood" ? flood(out[0], nullptr) : 0;
            std::this_thread::sleep_for(
                std::chrono::milliseconds(writer != 0 ? 300 : 0)); // the pipes fill
            if (step == "eof")
                close(in[1]);
            else
                kill(pid, SIGTERM);
            const int status = reap(pid);
            if (writer != 0)
                reap(writer);
            if (reader != 0 && reap(reader) != 0)
                std::printf("half a line\n");
            entries += devlog_read(log).size();
            if (writer == 0) // what it answered to the end
                for (std::string line; (line = answer(out[0])) != "timeout\n";)
                    std::printf("%s", line.c_str());
            std::printf("exit %d, %zu entries", status, entries);
            if (traced)
                std::printf(", %d dumps", dumps(trace));
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

TEST_F(Daemon, LogsEachAddressAfterOneDump)
{
    const std::string path = daemon_path();
    const Outcome o =
        run(Sandbox{.net = "lo b0:a=10.1.2.3", .hosts = "\n", .devlog = true}, [&path] {
            const int fd = devlog_listen();
            char trace[] = "/tmp/lanpickd-trace.XXXXXX";
            close(mkstemp(trace));
            no_leak_check();
            shell("ip link set b0 up");
            const pid_t pid = fork();
            if (pid == 0)
                execute("strace", {"strace", "-f", "-qq", "-e", "trace=sendto", "-o", trace, path,
                                   "10.1.2.3", "10.9.9.9", "127.0.0.1", "192.0.2.1", "nonsense"});
            waitpid(pid, nullptr, 0);
            for (const std::string &d : devlog_read(fd))
                std::printf("%s\n", entry(d).c_str());
            std::printf("dumps: %d\n", dumps(trace));
            unlink(trace);
        });
    EXPECT_EQ(o.out, "<30> following the addresses through netlink\n"
                     "<30> 10.1.2.3 lo 10.1.2.3 same\n"
                     "<30> 10.9.9.9 - none\n"
                     "<30> 127.0.0.1 lo 127.0.0.1 same\n"
                     "<30> 192.0.2.1 - none\n"
                     "<30> nonsense - unknown\n"
                     "dumps: 1\n")
        << o.err;
    EXPECT_EQ(o.err, "");
}

TEST_F(Daemon, FollowsTheAddressesAsTheyChange)
{
    const std::string up =
        "+ip link set b0 up && ip link set b1 up && ip route add 10.1.2.0/24 dev b0";
    const std::string near = "+ip addr add 10.1.2.8/30 dev b1 label b1:a";
    const std::string far = "+ip addr del 10.1.2.8/30 dev b1";
    const std::string b0 = "10.1.2.9 b0 10.1.2.3 route\n";
    const std::string b1 = "10.1.2.9 b1 10.1.2.8 subnet\n";
    const struct {
        const char *what;
        bool traced, nonetlink;
        std::vector<std::string> steps;
        std::string out;
    } cases[] = {
        {"an address added, a link down and up, the address deleted",
         false,
         false,
         {up, "10.1.2.9\n", near, "10.1.2.9\n", "+ip link set b1 down", "10.1.2.9\n",
          "+ip link set b1 up", "10.1.2.9\n", far, "10.1.2.9\n", "eof"},
         b0 + b1 + b0 + b1 + b0 + "exit 0, 1 entries\n"},
        {"one dump for the first query and none for a burst of changes",
         true,
         false,
         {up, "1000*10.1.2.9\n", near, "+ip addr add 10.1.2.10/32 dev b1",
          "+ip addr del 10.1.2.10/32 dev b1", "1000*10.1.2.9\n", "eof"},
         b0 + b1 + "exit 0, 1 entries, 1 dumps\n"},
        {"bad lines answered, CR LF as LF, and the daemon goes on",
         false,
         false,
         {up, "\n", std::string(5000, 'x') + "\n", std::string("10.1\0.2.9\n", 10), "gate way\n",
          "nowhere\n", "gateway\r\n", "10.1\r.2.9\n", "10.1.2.9\r", "+sleep 0.1", "9\n",
          "10.1.2.9\n", "term"},
         "- - empty\n- - long\n- - invalid\ngate - invalid\nnowhere - unknown\n"
         "gateway b0 10.1.2.3 route\n- - invalid\n- - invalid\n" +
             b0 + "exit 0, 1 entries\n"},
        {"words after the host, as ip route get takes them; a word or value it does not know",
         false,
         false,
         {up,
          "10.1.2.9 oif b1\n10.1.2.9 from 20.0.0.1\n10.1.2.9  mark 7 tos 0x10\tdport 53\n"
          "gateway from 10.1.2.3 ipproto tcp\n10.1.2.9 oif nope\n10.1.2.9 mark\n"
          "10.1.2.9 sport 70000\n10.1.2.9 from 2001:db8::1\n10.1.2.9 via 10.1.2.1\n",
          "eof"},
         "10.1.2.9 b1 20.0.0.1 route\n10.1.2.9 b0 20.0.0.1 route\n" + b0 +
             "gateway b0 10.1.2.3 route\n10.1.2.9 - invalid\n10.1.2.9 - invalid\n"
             "10.1.2.9 - invalid\n10.1.2.9 - invalid\n10.1.2.9 - invalid\nexit 0, 1 entries\n"},
        {"a last line without a newline",
         false,
         false,
         {up, "10.1.2.9", "eof"},
         b0 + "exit 0, 1 entries\n"},
        {"IPv6, and link-local with and without a scope",
         false,
         false,
         // IPv6 announces a nodad address from a work queue, after ip returns.
         {up,
          "+ip addr add 2001:db8::5/64 dev b0 nodad && ip addr add fe80::1/64 dev b1 nodad "
          "&& sleep 0.2",
          "2001:db8::9\nfe80::9%b1\nfe80::9\n", "eof"},
         "2001:db8::9 b0 2001:db8::5 subnet\nfe80::9%b1 b1 fe80::1 subnet\nfe80::9 - scope\n"
         "exit 0, 1 entries\n"},
        {"without netlink, IPv4 by leading bits",
         false,
         true,
         {"10.1.2.9\n2001:db8::9\n", "eof"},
         "10.1.2.9 b0:a 10.1.2.3 bits\n2001:db8::9 - none\nexit 0, 2 entries\n"},
        {"SIGTERM while lines keep coming",
         false,
         false,
         {up, "10.1.2.9\n", "flood"},
         b0 + "exit 0, 1 entries\n"},
        {"SIGTERM while nobody reads the answers",
         false,
         false,
         {up, "10.1.2.9\n", "stuck"},
         b0 + "exit 0, 1 entries\n"},
    };
    for (const auto &c : cases) {
        const Outcome o = run(Sandbox{.net = "lo b0:a=10.1.2.3 b1:x=20.0.0.1",
                                      .hosts = "10.1.2.9 gateway\n",
                                      .devlog = true,
                                      .nonetlink = c.nonetlink},
                              [&c] { converse(c.steps, c.traced); });
        EXPECT_EQ(o.out, c.out) << c.what;
        EXPECT_EQ(o.err, "") << c.what;
    }
}

TEST_F(Daemon, StartsOrSaysWhy)
{
    const std::string path = daemon_path();
    const std::string other =
        "mount -t tmpfs tmpfs /run && ip netns add c1 && ip -n c1 link add e0 "
        "type bridge && ip -n c1 link set e0 up && ip -n c1 addr add "
        "10.9.0.2/24 dev e0 && ";
    const struct {
        const char *what, *redirect, *out, *err;
        int status;
        std::string setup, wrap; // before the daemon, and the command it runs under
    } cases[] = {
        {"no standard output: an error before anything is read", " >&-", "",
         ": error(3):  standard output: Bad file descriptor\n", 1},
        {"no standard input: an empty input", " 0<&-", "",
         ": info(6):   following the addresses through netlink\n", 0},
        {"another network namespace, by name", " -n c1 <<'EOF'\n10.9.0.7\n10.9.0.7 oif e0\nEOF",
         "10.9.0.7 e0 10.9.0.2 subnet\n10.9.0.7 e0 10.9.0.2 subnet\n",
         ": info(6):   following the addresses through netlink\n", 0, other},
        {"a network namespace that is not there", " -n c2 </dev/null", "",
         ": error(3):  /run/netns/c2: No such file or directory\n", 1, other},
        {"a network namespace it has no right to enter", " -n /proc/self/fd/3 </dev/null", "",
         ": error(3):  setns: Operation not permitted\n", 1, "exec 3</proc/self/ns/net && ",
         "unshare --user --map-root-user --net "},
    };
    for (const auto &c : cases) {
        const Outcome o = run(Sandbox{.devlog = true}, [&] {
            execute("sh",
                    {"sh", "-c",
                     c.setup + "exec " + c.wrap + "timeout 5 " + path + " -d 3" + c.redirect});
        });
        EXPECT_EQ(o.out, c.out) << c.what;
        EXPECT_EQ(o.err, path + c.err) << c.what;
        EXPECT_EQ(o.status, c.status) << c.what;
    }
}

} // namespace
