// SPDX-License-Identifier: ISC
#include "sandbox.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/net.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "sandbox: %s: %s\n", what.c_str(), std::strerror(errno));
    std::fflush(stderr);
    _exit(125);
}

void put(const char *path, const std::string &text)
{
    std::ofstream f(path);
    if (!(f << text).flush())
        die(path);
}

// A private /etc: our own hosts and nsswitch.conf, and for every other entry
// a link into the real /etc, mounted aside in dir. The real one need not
// have either file (a minimal root has no hosts).
void private_etc(const Sandbox &sb, const std::string &dir)
{
    const std::string real = dir + "/etc";
    if (mkdir(real.c_str(), 0755) != 0 ||
        mount("/etc", real.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        die("bind /etc aside");
    if (mount("tmpfs", "/etc", "tmpfs", 0, nullptr) != 0)
        die("tmpfs on /etc");
    for (const auto &entry : std::filesystem::directory_iterator(real)) {
        const std::string link = "/etc/" + entry.path().filename().string();
        if (link != "/etc/hosts" && link != "/etc/nsswitch.conf" &&
            symlink(entry.path().c_str(), link.c_str()) != 0)
            die(link);
    }
    put("/etc/hosts", sb.hosts);
    put("/etc/nsswitch.conf", "hosts: files\n");
}

// An empty /dev, where a test can bind /dev/log, with the real /dev/null.
void private_dev()
{
    const int null = open("/dev/null", O_PATH | O_CLOEXEC);
    if (mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0)
        die("tmpfs on /dev");
    const std::string from = "/proc/self/fd/" + std::to_string(null);
    put("/dev/null", "");
    if (mount(from.c_str(), "/dev/null", nullptr, MS_BIND, nullptr) != 0)
        die("bind /dev/null");
    close(null);
}

void enter(const Sandbox &sb, const std::string &dir)
{
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    // A process of more than one thread cannot enter a user namespace, and
    // ThreadSanitizer starts one in every child; root needs none.
    const bool user = unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) == 0;
    if (!user && (errno != EINVAL || uid != 0 || unshare(CLONE_NEWNET | CLONE_NEWNS) != 0))
        die("unshare user+net+mount");
    if (user) {
        put("/proc/self/setgroups", "deny");
        put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        die("make mounts private");
    if (!sb.hosts.empty())
        private_etc(sb, dir);
    setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
    for (const std::string &cmd : links(sb.net))
        if (std::system(cmd.c_str()) != 0)
            die(cmd);
    if (sb.devlog)
        private_dev();
}

constexpr __u32 nosyscall = ~0U;
#ifdef SYS_socketcall
constexpr __u32 socketcall = SYS_socketcall;
#else
constexpr __u32 socketcall = nosyscall;
#endif

// Answers the socket calls that the filter hands over, made through
// socketcall(2) by child or its descendants: EPERM for netlink, the call
// itself for any other family. Exits as child does, once no process is
// left under the filter.
[[noreturn]] void supervise(pid_t child, int given, int taken)
{
    long number = -1;
    if (read(given, &number, sizeof number) != sizeof number)
        die("seccomp listener number");
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    const int listener = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, number, 0));
    if (pidfd < 0 || listener < 0 || write(taken, "", 1) != 1)
        die("seccomp listener taken");
    close(given);
    close(taken);
    for (pollfd p{listener, POLLIN, 0}; poll(&p, 1, -1) >= 0 || errno == EINTR;) {
        if ((p.revents & POLLHUP) != 0)
            break;
        seccomp_notif req{};
        if ((p.revents & POLLIN) == 0 || ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &req) != 0)
            continue;
        unsigned long family = 0; // socketcall's first argument, in the caller's memory
        iovec here{&family, sizeof family};
        // An address in the caller, never dereferenced here.
        iovec there{std::bit_cast<void *>(static_cast<std::uintptr_t>(req.data.args[1])),
                    sizeof family};
        seccomp_notif_resp resp{};
        resp.id = req.id;
        if (process_vm_readv(static_cast<pid_t>(req.pid), &here, 1, &there, 1, 0) !=
            static_cast<ssize_t>(sizeof family))
            resp.error = -EFAULT;
        else if (family == AF_NETLINK)
            resp.error = -EPERM;
        else
            resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp);
    }
    int ws = 0;
    waitpid(child, &ws, 0);
    _exit(WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws));
}

// A real fault for the socket call, reached after the dynamic loader is
// done: every socket fails with EMFILE, or netlink sockets alone with EPERM,
// as in a sandbox that forbids them.
void forbid_socket(bool netlink)
{
    const unsigned family = netlink ? AF_NETLINK : 0;
    const unsigned err = SECCOMP_RET_ERRNO | (netlink ? EPERM : EMFILE);
    // Where socket(2) may also go through socketcall(2), as on 32-bit x86,
    // that call fails too; its family lies in the caller's memory, out of the
    // filter's reach, so for netlink alone a supervisor reads it there.
    const unsigned viacall = netlink ? SECCOMP_RET_USER_NOTIF : err;
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, family, 0, static_cast<__u8>(netlink ? 4 : 0)),
        BPF_STMT(BPF_RET | BPF_K, err),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, socketcall, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_SOCKET, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, viacall),
    };
    sock_fprog prog{sizeof code / sizeof code[0], code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        die("no new privileges");
    if (socketcall == nosyscall || !netlink) {
        if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0)
            die("seccomp");
        return;
    }
    // The supervisor is this process, the ancestor of every caller, as the
    // kernel asks of one that reads another's memory; the body goes on in
    // a child that installs the filter and hands over its listener.
    int given[2]; // the listener's number, to the supervisor
    int taken[2]; // and word back that it has its own copy
    if (pipe(given) != 0 || pipe(taken) != 0)
        die("pipe");
    const pid_t child = fork();
    if (child == 0) {
        const long listener =
            syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog);
        char byte = 0;
        if (listener < 0 || write(given[1], &listener, sizeof listener) != sizeof listener ||
            read(taken[0], &byte, 1) != 1)
            die("seccomp listener handed over");
        for (const long fd :
             {listener, long{given[0]}, long{given[1]}, long{taken[0]}, long{taken[1]}})
            close(static_cast<int>(fd));
        return;
    }
    close(given[1]);
    close(taken[0]);
    supervise(child, given[0], taken[1]);
}

std::string slurp(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return s;
}

std::string make_dir(const Sandbox &sb)
{
    if (sb.hosts.empty())
        return {};
    char dir[] = "/tmp/lanpick-test.XXXXXX";
    return mkdtemp(dir) != nullptr ? dir : std::string();
}

} // namespace

Outcome run(const Sandbox &sb, const std::function<void()> &body)
{
    const int out = memfd_create("out", 0);
    const int err = memfd_create("err", 0);
    const std::string dir = make_dir(sb);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0)
            die("/dev/null");
        close(null);
        if (sb.nostdin)
            close(0);
        dup2(out, 1);
        dup2(err, 2);
        if (sb.isolate)
            enter(sb, dir);
        if (sb.nosocket || sb.nonetlink)
            forbid_socket(sb.nonetlink);
        body();
        std::fflush(nullptr);
        _exit(0);
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    if (!dir.empty())
        std::filesystem::remove_all(dir);
    return {slurp(out), slurp(err), WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws)};
}

void execute(const char *file, const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    std::ranges::transform(argv, std::back_inserter(args),
                           [](const std::string &a) { return const_cast<char *>(a.c_str()); });
    args.push_back(nullptr);
    execvp(file, args.data());
    die(std::string("exec ") + file);
}

void shell(const char *cmd)
{
    std::fflush(stdout);
    if (std::system(cmd) != 0)
        std::printf("failed: %s\n", cmd);
}

std::string program(const char *var, const char *built)
{
    const char *env = std::getenv(var);
    return env != nullptr && *env != '\0' ? env : built;
}

std::string lanpick_path()
{
    return program("LANPICK_BINARY", LANPICK_BINARY);
}

Outcome lanpick(const Sandbox &sb, const std::vector<std::string> &argv)
{
    const std::string path = lanpick_path();
    return run(sb, [&] { execute(path.c_str(), argv); });
}

int devlog_listen()
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::snprintf(sun.sun_path, sizeof sun.sun_path, "/dev/log");
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0)
        die("bind /dev/log");
    return fd;
}

std::vector<std::string> devlog_read(int fd)
{
    std::vector<std::string> got;
    char buf[1024];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        got.emplace_back(buf, static_cast<std::size_t>(n));
    return got;
}

std::vector<std::string> links(const std::string &net)
{
    std::vector<std::string> cmds;
    std::vector<std::string> made;
    std::istringstream words(net);
    for (std::string w; words >> w;) {
        if (w == "lo") {
            cmds.emplace_back("ip link set lo up");
            continue;
        }
        const std::string dev = w.substr(0, w.find(':'));
        const std::string label = w.substr(0, w.find('='));
        if (std::ranges::find(made, dev) == made.end()) {
            made.push_back(dev);
            cmds.push_back("ip link add " + dev + " type bridge");
        }
        std::string add = "ip addr add ";
        add.append(w.substr(w.find('=') + 1)).append("/32 dev ").append(dev);
        cmds.push_back(add.append(" label ").append(label));
    }
    return cmds;
}

std::string found(const std::string &name, const std::string &addr)
{
    return "Intf-name:" + name + "\nIntf-addr:" + addr + "\n";
}

void Namespaces::SetUp()
{
    static const std::string why = [] {
        const Outcome o = run(Sandbox{.net = "b0:a=10.0.0.1"}, [] {});
        return o.status == 0 ? std::string() : o.err;
    }();
    if (why.empty())
        return;
    const char *ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true")
        FAIL() << "namespaces are needed under CI=true: " << why;
    GTEST_SKIP() << "no private namespaces here: " << why;
}
