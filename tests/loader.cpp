// SPDX-License-Identifier: ISC
// loader LIBRARY: a program that reaches the library as an interpreter's
// foreign-function interface or a plugin host does, loading LIBRARY with
// dlopen (or, built with LOADER_STATIC, linked to the static library). It
// reports "loaded" at level 3, then again to a sink of its own, which
// prints "sink LEVEL MESSAGE"; then it opens a table of its namespace and
// prints the device that faces 127.0.0.1. Built with LOADER_GLOBALS, it
// defines progname as "given" and debug, as a C program of the library's
// would.
#include "nearest.h"
#include "report.h"

#include <arpa/inet.h>
#include <dlfcn.h>

#include <cstdio>

#ifdef LOADER_GLOBALS
const char *progname = "given";
int debug;
#endif

namespace {

struct calls {
    decltype(&::report) report;
    decltype(&::report_to) report_to;
    decltype(&nearest_table_open) open;
    decltype(&nearest_table_find) find;
    decltype(&nearest_table_close) close;
};

#ifdef LOADER_STATIC
bool load(const char * /*path*/, calls *c)
{
    *c = {report, report_to, nearest_table_open, nearest_table_find, nearest_table_close};
    return true;
}
#else
void *library; // kept loaded to the end

template <typename F> void bind(const char *name, F *f)
{
    *f = reinterpret_cast<F>(dlsym(library, name));
}

bool load(const char *path, calls *c)
{
    library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::printf("dlopen: %s\n", dlerror());
        return false;
    }
    bind("report", &c->report);
    bind("report_to", &c->report_to);
    bind("nearest_table_open", &c->open);
    bind("nearest_table_find", &c->find);
    bind("nearest_table_close", &c->close);
    return c->report != nullptr && c->report_to != nullptr && c->open != nullptr &&
           c->find != nullptr && c->close != nullptr;
}
#endif

void sink(int level, const char *message, void *arg)
{
    std::printf("%s %d %s\n", static_cast<const char *>(arg), level, message);
}

} // namespace

int main(int argc, char **argv)
{
    calls c{};
    if (argc < 2 || !load(argv[1], &c))
        return 2;
    c.report(3, "loaded");
    char word[] = "sink";
    c.report_to(sink, word);
    c.report(3, "loaded");
    c.report_to(nullptr, nullptr);

    nearest_table *t = c.open(-1);
    if (t == nullptr)
        return 1;
    nearest_query q{.size = sizeof q};
    q.to.v4 = {.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    nearest answer{.size = sizeof answer};
    const int found = c.find(t, &q, &answer);
    c.close(t);
    if (found != NEAREST_FOUND)
        return 1;
    std::printf("%s\n", answer.name);
    return 0;
}
