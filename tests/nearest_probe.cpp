// SPDX-License-Identifier: ISC
// nearest_probe STEP...: opens the nearest table, then takes each step in
// turn and prints what it answers, one line a destination:
//   update        applies the queued events
//   +CMD          runs a shell command
//   stopped:CMD   runs CMD while this process is stopped (SIGSTOP)
//   DEST          a numeric IPv4 or IPv6 address, with an optional %scope:
//                 "DEST WHY" when nearest names the device and source that
//                 `ip route get` names (nothing when the kernel refuses), or
//                 refuses a link-local destination without a scope, which
//                 the kernel answers; else "DEST WHY: kernel DEV SRC,
//                 nearest DEV SRC"
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
#include <string>

const char *progname = "nearest_probe";
int debug;

namespace {

// The value of "key":"..." in ip's JSON, or "-".
std::string field(const std::string &json, const char *key)
{
    const std::string k = std::string("\"") + key + "\":\"";
    const std::size_t at = json.find(k);
    if (at == std::string::npos)
        return "-";
    const std::size_t from = at + k.size();
    return json.substr(from, json.find('"', from) - from);
}

// What the kernel names for dest: "DEV SRC", or "- -" when it refuses or
// has no address to send from (every one out of the route's scope), where
// nearest has no answer either.
std::string kernel(const char *dest, const char *family)
{
    std::string cmd = "ip -j ";
    cmd.append(family).append(" route get ");
    const char *pct = std::strchr(dest, '%');
    if (pct != nullptr)
        cmd.append(dest, static_cast<std::size_t>(pct - dest)).append(" oif ").append(pct + 1);
    else
        cmd.append(dest);
    cmd.append(" 2>/dev/null");
    std::string json;
    if (FILE *ip = popen(cmd.c_str(), "r")) { // NOLINT(cert-env33-c): ip is the oracle
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, ip)) > 0;)
            json.append(chunk, n);
        pclose(ip);
    }
    const std::string source = field(json, "prefsrc");
    return source == "-" ? "- -" : field(json, "dev") + " " + source;
}

void answer(const char *dest)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *ai = nullptr;
    if (getaddrinfo(dest, nullptr, &hints, &ai) != 0) {
        std::printf("%s unknown\n", dest);
        return;
    }
    const char *why = nullptr;
    const struct nearest *r = nearest_find(ai->ai_addr, &why);
    // A mapped address is asked of the kernel as the IPv4 address it holds.
    const bool mapped = std::strncmp(dest, "::ffff:", 7) == 0 && std::strchr(dest, '.') != nullptr;
    const bool six = ai->ai_family == AF_INET6 && !mapped;
    freeaddrinfo(ai);
    char text[INET6_ADDRSTRLEN] = "-";
    if (r != nullptr)
        inet_ntop(r->family, &r->addr, text, sizeof text);
    const std::string mine = std::string(r != nullptr ? r->name : "-") + " " + text;
    const std::string theirs = kernel(mapped ? dest + 7 : dest, six ? "-6" : "-4");
    std::fflush(stdout);
    if (mine == theirs || std::strcmp(why, "scope") == 0)
        std::printf("%s %s\n", dest, why);
    else
        std::printf("%s %s: kernel %s, nearest %s\n", dest, why, theirs.c_str(), mine.c_str());
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
