// SPDX-License-Identifier: ISC
// daemon_bench LANPICKD [QUERIES [CHANGES]]: runs lanpickd over pipes, as a
// client would, and prints the cost of a lookup while nothing changes and of
// the first lookup after an address change. Run it as root in a network
// namespace of its own with a private /dev: it binds /dev/log, where a thread
// reads the daemon's entries as a system logger would, and it adds and
// deletes 10.0.0.2/30 on a bridge it makes, and removes it at the end.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int in_fd;
int out_fd;

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

// Sends one query and waits for its answer line.
std::string ask(const std::string &query)
{
    if (write(in_fd, query.data(), query.size()) != static_cast<ssize_t>(query.size()))
        std::exit(1);
    std::string line;
    for (char c = 0; c != '\n';) {
        if (read(out_fd, &c, 1) != 1)
            std::exit(1);
        line += c;
    }
    return line;
}

void logger()
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::snprintf(sun.sun_path, sizeof sun.sun_path, "/dev/log");
    unlink(sun.sun_path); // left by an earlier run in the same /dev
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0) {
        std::perror("bind /dev/log");
        std::exit(1);
    }
    std::thread([fd] {
        char buf[1024];
        while (recv(fd, buf, sizeof buf, 0) >= 0) {
        }
    }).detach();
}

// Runs an ip command; a shell is what we want here.
void shell(const char *cmd)
{
    if (std::system(cmd) != 0) // NOLINT(cert-env33-c)
        std::exit(1);
}

double median(std::vector<double> v)
{
    std::ranges::sort(v);
    return v[v.size() / 2];
}

// Starts path over two pipes, as the peer of ask.
pid_t spawn(const char *path)
{
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0)
        std::exit(1);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (const int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
        execl(path, path, nullptr);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_fd = in[1];
    out_fd = out[0];
    return pid;
}

// Ends the peer; returns the processor time it used, in microseconds.
double finish(pid_t pid)
{
    close(in_fd);
    close(out_fd);
    rusage ru{};
    wait4(pid, nullptr, 0, &ru);
    return (static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

struct Trips {
    double mean, median; // microseconds per round trip
};

Trips round_trips(long n, const std::string &query)
{
    std::vector<double> each;
    each.reserve(static_cast<std::size_t>(n));
    const auto start = Clock::now();
    for (long i = 0; i < n; ++i) {
        const auto t = Clock::now();
        ask(query);
        each.push_back(micros(Clock::now() - t));
    }
    return {micros(Clock::now() - start) / static_cast<double>(n), median(each)};
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        return 2;
    const long queries = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 100000;
    const long changes = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 200;
    shell("ip link set lo up && ip link add bb type bridge && ip link set bb up && "
          "ip addr add 10.0.0.1/24 dev bb");
    logger();
    const std::string query = "10.0.0.3\n";
    // The floor: the same round trips through cat, which only echoes.
    pid_t pid = spawn("/bin/cat");
    const Trips pipe_only = round_trips(queries, query);
    finish(pid);

    pid = spawn(argv[1]);
    ask(query); // the first fetch
    const Trips steady = round_trips(queries, query);

    std::vector<double> fresh;
    std::vector<double> plain;
    for (long i = 0; i < changes; ++i) {
        // A narrower subnet, and its route, that take the query from 10.0.0.1.
        shell(i % 2 == 0 ? "ip addr add 10.0.0.2/30 dev bb" : "ip addr del 10.0.0.2/30 dev bb");
        auto t = Clock::now();
        const std::string got = ask(query);
        fresh.push_back(micros(Clock::now() - t));
        if ((got.find("10.0.0.2") != std::string::npos) != (i % 2 == 0))
            return 1; // a stale answer
        t = Clock::now();
        ask(query);
        plain.push_back(micros(Clock::now() - t));
    }
    shell("ip link del bb");
    const double cpu = finish(pid) / static_cast<double>(queries + 1 + (2 * changes));
    std::printf("- %ld queries with no change: %.0f per second, a round trip %.1f us (median); "
                "through cat, the pipe alone: %.0f per second, %.1f us; lanpickd's own processor "
                "time: %.1f us a query\n",
                queries, 1e6 / steady.mean, steady.median, 1e6 / pipe_only.mean, pipe_only.median,
                cpu);
    std::printf("- %ld changes: the first answer after a change %.1f us, the next one %.1f us "
                "(medians)\n",
                changes, median(fresh), median(plain));
    return 0;
}
