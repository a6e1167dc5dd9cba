// SPDX-License-Identifier: ISC
// report's standard-error line for any level, program name and message:
// always "%s: %s %s\n" with the message cut to 127 bytes, and (under ASan)
// nothing written outside the message buffer.
#include "report.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

const char *progname;
int debug;

namespace {

std::string prefix(int level)
{
    static const char *const names[] = {"emerg(0): ", "alert(1): ", "crit(2):  ", "error(3): ",
                                        "warn(4):  ", "note(5):  ", "info(6):  ", "debug(7): "};
    return level >= 0 && level <= 7 ? names[level] : "level(?): ";
}

// Input: a 4-byte level, then the program name up to a NUL, then the message
// up to the next NUL.
std::string captured(int level, const std::string &name, const std::string &message)
{
    char *buf = nullptr;
    std::size_t len = 0;
    FILE *mem = open_memstream(&buf, &len);
    FILE *const saved = stderr;
    stderr = mem;
    progname = name.c_str();
    report(level, "%s", message.c_str());
    stderr = saved;
    std::fclose(mem);
    std::string line(buf, len);
    std::free(buf);
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 4)
        return 0;
    int level = 0;
    std::memcpy(&level, data, sizeof level);
    const char *const rest = reinterpret_cast<const char *>(data) + 4;
    const std::size_t left = size - 4;
    const std::string name(rest, strnlen(rest, left));
    std::string message;
    if (name.size() < left)
        message.assign(rest + name.size() + 1,
                       strnlen(rest + name.size() + 1, left - name.size() - 1));
    const std::string want = name + ": " + prefix(level) + " " + message.substr(0, 127) + "\n";
    if (captured(level, name, message) != want)
        std::abort();
    return 0;
}
