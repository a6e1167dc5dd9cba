// SPDX-License-Identifier: ISC
// nearest_probe STEP...: opens the nearest table, then takes each step in
// turn and prints what it answers, one line a destination:
//   update        applies the queued events
//   +CMD          runs a shell command
//   stopped:CMD   runs CMD while this process is stopped (SIGSTOP)
//   DEST          a numeric IPv4 or IPv6 address, with an optional %scope:
//                 "NAME ADDRESS WHY", or "- WHY" when there is no answer
#include "nearest.h"
#include "report.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *progname = "nearest_probe";
int debug;

namespace {

void answer(const char *dest)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *ai = nullptr;
    if (getaddrinfo(dest, nullptr, &hints, &ai) != 0) {
        std::printf("- unknown\n");
        return;
    }
    const char *why = nullptr;
    const struct nearest *r = nearest_find(ai->ai_addr, &why);
    freeaddrinfo(ai);
    char text[INET6_ADDRSTRLEN] = "-";
    if (r != nullptr)
        inet_ntop(r->family, &r->addr, text, sizeof text);
    std::printf("%s%s%s %s\n", r != nullptr ? r->name : "", r != nullptr ? " " : "", text, why);
}

void stopped(const char *cmd)
{
    std::fflush(stdout);
    const pid_t self = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        kill(self, SIGSTOP);
        const int rc = std::system(cmd);
        kill(self, SIGCONT);
        _exit(rc == 0 ? 0 : 1);
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    if (ws != 0)
        std::printf("failed: %s\n", cmd);
}

} // namespace

// cppcheck-suppress constParameter
int main(int argc, char *argv[])
{
    if (nearest_open() < 0)
        return 1;
    for (int i = 1; i < argc; ++i) {
        const char *step = argv[i];
        if (std::strcmp(step, "update") == 0) {
            if (nearest_update() < 0)
                return 1;
        } else if (step[0] == '+') {
            std::fflush(stdout);
            if (std::system(step + 1) != 0)
                std::printf("failed: %s\n", step + 1);
        } else if (std::strncmp(step, "stopped:", 8) == 0) {
            stopped(step + 8);
        } else {
            answer(step);
        }
    }
    return nearest_valid() != 0 ? 0 : 2;
}
