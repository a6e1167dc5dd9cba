// SPDX-License-Identifier: ISC
// Runs code in a child process inside private namespaces, with the real
// kernel, name service and system log, and captures what it writes.
#ifndef LANPICK_TESTS_SANDBOX_H
#define LANPICK_TESTS_SANDBOX_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

struct Sandbox {
    bool isolate = true;    // new user (root mapped), network and mount namespaces
    std::string net;        // interfaces to make, see links()
    std::string hosts;      // when set, the name service reads this hosts file only
    bool devlog = false;    // an empty /dev, where a test can bind /dev/log
    bool nosocket = false;  // socket() fails with EMFILE once the body runs
    bool nonetlink = false; // socket(AF_NETLINK, ...) fails with EPERM
    bool nostdin = false;   // standard input closed, not /dev/null
};

struct Outcome {
    std::string out;
    std::string err;
    int status; // the exit status, or 128 + the signal
};

// Runs body in a child process set up as sb says; a failed setup exits 125
// and says why on err.
Outcome run(const Sandbox &sb, const std::function<void()> &body);

// Replaces the process with file (searched in PATH) run with argv.
[[noreturn]] void execute(const char *file, const std::vector<std::string> &argv);

// The program to test: the environment variable var names another build of
// it, such as an installed one; else the one built beside the tests.
std::string program(const char *var, const char *built);

// The lanpick binary to test: LANPICK_BINARY, or the one built here.
std::string lanpick_path();

// Runs a shell command from a test's steps; a failure is printed on
// standard output, among the steps' results.
void shell(const char *cmd);

// Runs the lanpick binary with argv, argv[0] included.
Outcome lanpick(const Sandbox &sb, const std::vector<std::string> &argv);

// Binds a datagram socket at /dev/log, as a system logger does (in a
// sandbox with devlog).
int devlog_listen();

// The datagrams that have arrived at fd, oldest first, without waiting.
std::vector<std::string> devlog_read(int fd);

// The ip commands for a list of words: "lo" brings the loopback interface up
// (127.0.0.1); "b0:a=10.1.2.3" puts 10.1.2.3/32, labelled b0:a, on bridge b0,
// made when first named. Bridges stay down; the kernel lists addresses in
// the order the bridges were made, loopback first.
std::vector<std::string> links(const std::string &net);

// The two lines of an answer.
std::string found(const std::string &name, const std::string &addr);

// For tests that need namespaces: where they cannot be made here, skip and
// say why, or fail when CI=true.
class Namespaces : public ::testing::Test {
  protected:
    void SetUp() override;
};

#endif
