// SPDX-License-Identifier: ISC
#include "sandbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const std::string none = "no interface for address\n";
// The report of a failed or empty interface list, after the program's name.
const std::string ioctl_failed = ": error(3):  ioctl SIOCGIFCONF\n";

struct Case {
    const char *what;
    Sandbox sb;
    std::vector<std::string> argv;
    std::string out, err;
    int status;
};

void check(const Case &c)
{
    const Outcome o = lanpick(c.sb, c.argv);
    EXPECT_EQ(o.out, c.out) << c.what;
    EXPECT_EQ(o.err, c.err) << c.what;
    EXPECT_EQ(o.status, c.status) << c.what;
}

using Lanpick = Namespaces;

TEST_F(Lanpick, ChoosesTheNearestInterface)
{
    std::string eleven;
    for (int i = 1; i <= 10; ++i)
        eleven += " b0:" + std::to_string(i) + "=20.0.0." + std::to_string(i);
    eleven += " b0:11=30.0.0.1";
    const std::string tie = "10.1.2.3"; // 25 bits with .64 and with .65
    // clang-format off
    const Case cases[] = {
        {"loopback", {.net = "lo"}, {"lanpick", "127.0.0.1"}, found("lo", "127.0.0.1"), "", 0},
        {"exact match", {.net = "lo b0:a=10.1.2.3 b1:a=10.1.2.4"}, {"lanpick", "10.1.2.3"},
         found("b0:a", "10.1.2.3"), "", 0},
        {"exactly 8 bits", {.net = "lo b0:a=10.128.0.1"}, {"lanpick", "10.0.0.1"},
         found("b0:a", "10.128.0.1"), "", 0},
        {"7 bits", {.net = "lo b0:a=11.0.0.1"}, {"lanpick", "10.0.0.1"}, none, "", 1},
        {"tie, .64 first", {.net = "b0:a=10.1.2.64 b1:a=10.1.2.65"}, {"lanpick", tie},
         found("b0:a", "10.1.2.64"), "", 0},
        {"tie, .65 first", {.net = "b0:a=10.1.2.65 b1:a=10.1.2.64"}, {"lanpick", tie},
         found("b0:a", "10.1.2.65"), "", 0},
        {"later and better", {.net = "b0:a=10.1.2.1 b1:a=10.1.2.2"}, {"lanpick", "10.1.2.3"},
         found("b1:a", "10.1.2.2"), "", 0},
        {"tenth address counts", {.net = eleven}, {"lanpick", "20.0.0.10"},
         found("b0:10", "20.0.0.10"), "", 0},
        {"eleventh does not", {.net = eleven}, {"lanpick", "30.0.0.1"}, none, "", 1},
        {"bad digit-led text is 255.255.255.255", {.net = "lo b0:a=255.1.2.3"},
         {"lanpick", "10.1.2.3x"}, found("b0:a", "255.1.2.3"), "", 0},
        {"bad digit-led text, nothing near", {.net = "lo"}, {"lanpick", "1.2.3.4.5"}, none, "", 1},
        {"longest name", {.net = "b0:abcdefghijkl=10.1.2.3"}, {"lanpick", "10.1.2.3"},
         found("b0:abcdefghijkl", "10.1.2.3"), "", 0},
        {"extra arguments ignored", {.net = "lo b0:a=10.1.2.3"},
         {"lanpick", "127.0.0.1", "10.1.2.3", "-h"}, found("lo", "127.0.0.1"), "", 0},
        {"nothing read past the list", {.net = "lo b0:a=10.1.2.3"}, {"lanpick", "0.1.2.3"},
         none, "", 1},
        {"standard input closed: the socket is 0", {.net = "lo", .nostdin = true},
         {"lanpick", "127.0.0.1"}, found("lo", "127.0.0.1"), "", 0},
    };
    // clang-format on
    for (const Case &c : cases)
        check(c);
}

TEST_F(Lanpick, LooksUpNamesThroughTheNameService)
{
    // The answer hangs on the last byte of the name's address: 10.1.2.0
    // would be nearer b0 than b1.
    const Sandbox sb{.net = "lo b0:a=10.1.2.3 b1:a=10.1.2.8",
                     .hosts = "10.1.2.9 gateway -h\n10.1.2.8 0stname 1stname 9stname\n"};
    const std::string b1 = found("b1:a", "10.1.2.8");
    // clang-format off
    const Case cases[] = {
        {"name found", sb, {"lanpick", "gateway"}, b1, "", 0},
        {"option-like name", sb, {"lanpick", "-h"}, b1, "", 0},
        {"digit-led name: not looked up", sb, {"lanpick", "1stname"}, none, "", 1},
        {"0-led name: not looked up", sb, {"lanpick", "0stname"}, none, "", 1},
        {"9-led name: not looked up", sb, {"lanpick", "9stname"}, none, "", 1},
        {"name not found", sb, {"lanpick", "nowhere"}, "gethostbyname(nowhere)\n", "", 1},
        {"hosts file only", sb, {"lanpick", "localhost"}, "gethostbyname(localhost)\n", "", 1},
        {"empty argument", sb, {"lanpick", ""}, "gethostbyname()\n", "", 1},
        {"leading space", sb, {"lanpick", " gateway"}, "gethostbyname( gateway)\n", "", 1},
        {"space, digits", sb, {"lanpick", " 10.1.2.3"}, "gethostbyname( 10.1.2.3)\n", "", 1},
        {"high-bit byte", sb, {"lanpick", "\xd9\xa1.1.2.3"}, "gethostbyname(\xd9\xa1.1.2.3)\n", "", 1},
    };
    // clang-format on
    for (const Case &c : cases)
        check(c);
}

TEST_F(Lanpick, Failures)
{
    const std::string socket_open = "socket open: Too many open files\n";
    const Sandbox nosocket{.nosocket = true};
    // clang-format off
    const Case cases[] = {
        {"no interfaces at all", {}, {"./bin/lanpick", "10.1.2.3"}, none,
         "./bin/lanpick" + ioctl_failed, 1},
        {"no argument: no request", {}, {"lanpick"}, none, "", 1},
        {"socket fails", nosocket, {"lanpick", "127.0.0.1"}, "", socket_open, 1},
        {"socket fails, no argument", nosocket, {"lanpick"}, "", socket_open, 1},
        {"lookup fails before the socket", {.hosts = "10.1.2.9 gateway\n", .nosocket = true},
         {"lanpick", "nowhere"}, "gethostbyname(nowhere)\n", "", 1},
    };
    // clang-format on
    for (const Case &c : cases)
        check(c);
}

TEST_F(Lanpick, AnswerThatCannotBeWrittenIsAFailure)
{
    const std::string path = lanpick_path();
    const Outcome o = run(Sandbox{.net = "lo"}, [&path] {
        const int full = open("/dev/full", O_WRONLY);
        if (full < 0 || dup2(full, 1) < 0)
            _exit(125);
        execl(path.c_str(), "lanpick", "127.0.0.1", nullptr);
    });
    EXPECT_EQ(o.err, "write error: No space left on device\n");
    EXPECT_EQ(o.status, 1);
}

TEST_F(Lanpick, HostileArguments)
{
    const Sandbox sb{.net = "b0:a=8.1.2.3 b1:a=10.1.2.3", .hosts = "10.1.2.9 gateway\n"};
    // The longest single argument Linux passes (MAX_ARG_STRLEN less its NUL).
    const std::string longest((std::size_t{128} * 1024) - 1, 'a');
    const std::string digits(longest.size(), '1');
    // Long, but not the longest: ASan's runtime fails its own start-up check
    // on an argv[0] of exactly 131071 bytes.
    const std::string name(std::size_t{64} * 1024, 'p');
    // clang-format off
    const Case cases[] = {
        {"longest name", sb, {"lanpick", longest}, "gethostbyname(" + longest + ")\n", "", 1},
        {"longest digit-led text", sb, {"lanpick", digits}, none, "", 1},
        {"format directives", sb, {"lanpick", "%s%n%x"}, "gethostbyname(%s%n%x)\n", "", 1},
        {"invalid UTF-8", sb, {"lanpick", "\xff\xfe\xc3("}, "gethostbyname(\xff\xfe\xc3()\n", "", 1},
        {"leading zero: octal", sb, {"lanpick", "010.1.2.3"}, found("b0:a", "8.1.2.3"), "", 0},
        {"garbage after a space", sb, {"lanpick", "10.1.2.3 x"}, found("b1:a", "10.1.2.3"), "", 0},
        {"trailing garbage", sb, {"lanpick", "10.1.2.3x"}, none, "", 1},
        {"empty argv[0]", {}, {"", "10.1.2.3"}, none, ioctl_failed, 1},
        {"long argv[0]", {}, {name, "10.1.2.3"}, none, name + ioctl_failed, 1},
        {"directives in argv[0]", {}, {"%s%n", "10.1.2.3"}, none, "%s%n" + ioctl_failed, 1},
    };
    // clang-format on
    for (const Case &c : cases)
        check(c);
}

// The first byte alone decides: an ASCII digit is converted (here to
// 0.0.0.d, near nothing in an empty namespace, so the list is asked for and
// found empty); any other byte, high-bit ones included, is looked up.
TEST_F(Lanpick, EveryFirstByte)
{
    const Sandbox sb{.hosts = "10.1.2.9 gateway\n"};
    for (int b = 1; b < 256; ++b) {
        const std::string arg(1, static_cast<char>(b));
        const bool digit = b >= '0' && b <= '9';
        check({"byte",
               sb,
               {"lanpick", arg},
               digit ? none : "gethostbyname(" + arg + ")\n",
               digit ? "lanpick" + ioctl_failed : "",
               1});
    }
}

#ifndef LANPICK_SANITIZED
// Every path under valgrind: no invalid access and no definite leak.
TEST_F(Lanpick, CleanUnderValgrind)
{
    const Sandbox sb{.net = "lo", .hosts = "127.0.0.1 here\n"};
    const std::vector<std::vector<std::string>> runs = {
        {"127.0.0.1"}, {"here"}, {"nowhere"}, {}, {"1.2.3.4.5"}, {""},
    };
    for (const auto &args : runs) {
        std::vector<std::string> argv = {"valgrind", "-q", "--error-exitcode=99",
                                         "--leak-check=full", lanpick_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        const Outcome o = run(sb, [&argv] { execute("valgrind", argv); });
        EXPECT_NE(o.status, 99) << o.err;
        EXPECT_LE(o.status, 1) << o.err;
        // Nothing on standard error: a valgrind that cannot start exits 1 too.
        EXPECT_EQ(o.err, "");
    }
}
#endif

} // namespace
