// SPDX-License-Identifier: ISC
// nearest_probe STEP...: opens a nearest table of its own network
// namespace, then takes each step in turn and prints what it answers, one
// line a destination:
//   @NAME         goes on with the table of namespace NAME (/run/netns/NAME),
//                 opened the first time; @ alone, with its own
//   update        applies the queued events
//   +CMD          runs a shell command
//   stopped:CMD   runs CMD while this process is stopped (SIGSTOP)
//   nosend        from then on, sendto fails with EPERM (seccomp), so that
//                 no dump can be asked for
//   DEST [WORDS]  a numeric IPv4 or IPv6 address, with an optional %scope,
//                 then any of ip route get's from, oif, mark, uid, tos,
//                 ipproto, sport and dport with their values:
//                 "DEST [WORDS] WHY" when nearest names the device and
//                 source that `ip route get` with the same words names
//                 (nothing when the kernel refuses), or refuses a link-local
//                 destination without a scope, which the kernel answers;
//                 else "DEST [WORDS] WHY: kernel DEV SRC, nearest DEV SRC"
#include "nearest.h"
#include "report.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/net.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <netdb.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

const char *progname = "nearest_probe";
int debug;

namespace {

nearest_table *table;
std::string netns; // the namespace's name, for ip -n, or empty

struct opened {
    std::string name;
    nearest_table *table;
};
std::vector<opened> tables;

// Goes on with the table of namespace name, or its own for an empty name;
// false when it cannot be opened.
bool use(const std::string &name)
{
    netns = name;
    if (const auto o =
            std::ranges::find_if(tables, [&](const opened &x) { return x.name == name; });
        o != tables.end()) {
        table = o->table;
        return true;
    }
    const int fd = name.empty() ? -1 : open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    table = nearest_table_open(fd);
    if (fd >= 0)
        close(fd);
    tables.push_back({name, table});
    return table != nullptr;
}

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

// What the kernel names for dest with the words after it: "DEV SRC", or
// "- -" when it refuses or has no address to send from (every one out of
// the route's scope), where nearest has no answer either.
std::string kernel(const char *dest, const char *family, const std::string &words)
{
    std::string cmd = "ip -j ";
    if (!netns.empty())
        cmd.append("-n ").append(netns).append(" ");
    cmd.append(family).append(" route get ");
    const char *pct = std::strchr(dest, '%');
    if (pct != nullptr)
        cmd.append(dest, static_cast<std::size_t>(pct - dest)).append(" oif ").append(pct + 1);
    else
        cmd.append(dest);
    cmd.append(words).append(" 2>/dev/null");
    std::string json;
    if (FILE *ip = popen(cmd.c_str(), "r")) { // NOLINT(cert-env33-c): ip is the oracle
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, ip)) > 0;)
            json.append(chunk, n);
        pclose(ip);
    }
    // IPv4 names a source given as "from", and then no "prefsrc".
    std::string source = field(json, "prefsrc");
    if (source == "-" && std::strcmp(family, "-4") == 0)
        source = field(json, "from");
    return source == "-" ? "- -" : field(json, "dev") + " " + source;
}

// A number as ip takes it: decimal, or hexadecimal after 0x.
unsigned long number(const std::string &text)
{
    return std::strtoul(text.c_str(), nullptr, 0);
}

// The query's words after the destination, as ip route get takes them.
bool words(std::istringstream &in, nearest_query *q)
{
    for (std::string word, value; in >> word >> value;) {
        if (word == "from") {
            addrinfo hints{};
            hints.ai_flags = AI_NUMERICHOST;
            addrinfo *ai = nullptr;
            if (getaddrinfo(value.c_str(), nullptr, &hints, &ai) != 0)
                return false;
            std::memcpy(&q->from, ai->ai_addr, ai->ai_addrlen);
            freeaddrinfo(ai);
            q->flags |= NEAREST_FROM;
        } else if (word == "oif") {
            q->oif = nearest_table_index(table, value.c_str());
            q->flags |= NEAREST_OIF;
        } else if (word == "mark") {
            q->mark = static_cast<unsigned>(number(value));
            q->flags |= NEAREST_MARK;
        } else if (word == "uid") {
            q->uid = static_cast<unsigned>(number(value));
            q->flags |= NEAREST_UID;
        } else if (word == "tos") {
            q->tos = static_cast<unsigned char>(number(value));
            q->flags |= NEAREST_TOS;
        } else if (word == "ipproto") {
            q->ipproto = static_cast<unsigned char>(number(value));
            q->flags |= NEAREST_IPPROTO;
        } else if (word == "sport" || word == "dport") {
            (word == "sport" ? q->sport : q->dport) = static_cast<unsigned short>(number(value));
            q->flags |= word == "sport" ? NEAREST_SPORT : NEAREST_DPORT;
        } else {
            return false;
        }
    }
    return true;
}

// Whether two answers say the same.
bool same(const nearest &a, const nearest &b)
{
    return std::strcmp(a.name, b.name) == 0 && a.index == b.index && a.family == b.family &&
           std::memcmp(&a.addr.v6, &b.addr.v6, sizeof a.addr.v6) == 0 &&
           a.prefixlen == b.prefixlen &&
           std::memcmp(&a.gateway.v6, &b.gateway.v6, sizeof a.gateway.v6) == 0 &&
           a.table == b.table && a.why == b.why;
}

void answer(const char *step)
{
    std::istringstream in(step);
    std::string dest;
    in >> dest;
    const std::string rest = std::strchr(step, ' ') != nullptr ? std::strchr(step, ' ') : "";
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *ai = nullptr;
    nearest_query q{};
    const std::string host = dest.substr(0, dest.find('%'));
    if (getaddrinfo(dest.c_str(), nullptr, &hints, &ai) != 0 || !words(in, &q)) {
        std::printf("%s unknown\n", step);
        return;
    }
    std::memcpy(&q.to, ai->ai_addr, ai->ai_addrlen);
    if (dest.find('%') != std::string::npos) // the scope, a device of the table's
        q.to.v6.sin6_scope_id = nearest_table_index(table, dest.c_str() + dest.find('%') + 1);
    nearest r{};
    const int code = nearest_table_find(table, &q, &r);
    // The same query at the end of a batch of all asked so far, whose walks
    // are interleaved: the same answer.
    static std::vector<nearest_query> asked;
    asked.push_back(q);
    std::vector<nearest> many(asked.size());
    std::vector<int> codes(asked.size());
    nearest_table_find_many(table, asked.data(), asked.size(), many.data(), codes.data());
    if (codes.back() != code || !same(many.back(), r))
        std::printf("%s: a batch answers otherwise\n", step);
    // A mapped address is asked of the kernel as the IPv4 address it holds.
    const bool mapped = host.starts_with("::ffff:") && host.find('.') != std::string::npos;
    const bool six = ai->ai_family == AF_INET6 && !mapped;
    freeaddrinfo(ai);
    char text[INET6_ADDRSTRLEN] = "-";
    if (code == NEAREST_FOUND)
        inet_ntop(r.family, &r.addr, text, sizeof text);
    const std::string mine = std::string(code == NEAREST_FOUND ? r.name : "-") + " " + text;
    const std::string theirs = kernel(dest.c_str() + (mapped ? 7 : 0), six ? "-6" : "-4", rest);
    const char *why = code == NEAREST_FOUND ? r.why : nearest_reason(code);
    std::fflush(stdout);
    if (mine == theirs || code == NEAREST_SCOPE)
        std::printf("%s %s\n", step, why);
    else
        std::printf("%s %s: kernel %s, nearest %s\n", step, why, theirs.c_str(), mine.c_str());
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

// Makes every later sendto of this process fail with EPERM: the system
// call, and where the C library sends through socketcall (i386), that call
// with SYS_SENDTO, read from the low word of its first argument.
void refuse_sendto()
{
    constexpr unsigned int refuse = SECCOMP_RET_ERRNO | EPERM;
    sock_filter code[] = {
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, nr)},
#ifdef SYS_socketcall
        {BPF_JMP | BPF_JEQ | BPF_K, 4, 0, SYS_sendto},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 2, SYS_socketcall},
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, args)},
        {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, SYS_SENDTO},
#else
        {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, SYS_sendto},
#endif
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
        {BPF_RET | BPF_K, 0, 0, refuse},
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        std::printf("failed: seccomp\n");
}

} // namespace

// cppcheck-suppress constParameter
int main(int argc, char *argv[])
{
    if (!use(""))
        return 1;
    for (int i = 1; i < argc; ++i) {
        const char *step = argv[i];
        if (step[0] == '@') {
            if (!use(step + 1))
                return 1;
        } else if (std::strcmp(step, "update") == 0) {
            if (nearest_table_update(table) < 0)
                return 1;
        } else if (step[0] == '+') {
            std::fflush(stdout);
            if (std::system(step + 1) != 0)
                std::printf("failed: %s\n", step + 1);
        } else if (std::strncmp(step, "stopped:", 8) == 0) {
            stopped(step + 8);
        } else if (std::strcmp(step, "nosend") == 0) {
            refuse_sendto();
        } else {
            answer(step);
        }
    }
    bool valid = true;
    for (const opened &o : tables) {
        valid = valid && nearest_table_valid(o.table) != 0;
        nearest_table_close(o.table);
    }
    return valid ? 0 : 2;
}
