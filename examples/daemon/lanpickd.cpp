// lanpickd ADDRESS...: logs, for each address, the local interface nearest
// to it, to the system log under the daemon facility. One socket serves every
// lookup, and the kernel is asked for its interface list once.
#include <lanpick/getif.h>
#include <lanpick/report.h>

#include <arpa/inet.h>
#include <sys/socket.h>

// The library reads these two; the program defines them.
const char *progname;
int debug;

static void lookup(int s, const char *text)
{
    in_addr addr{};
    if (inet_pton(AF_INET, text, &addr) != 1) {
        report(4, "%s: not a dotted IPv4 address", text);
        return;
    }
    const ifreq *r = getif(s, &addr);
    if (r == nullptr) {
        report(5, "%s: no interface", text);
        return;
    }
    const in_addr a = getif_addr(r);
    char found[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, found, sizeof found);
    report(6, "%s: %.*s %s", text, IFNAMSIZ, r->ifr_name, found);
}

int main(int argc, char *argv[])
{
    progname = argv[0];
    report_init(0); // the system log from now on
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        report(3, "socket: %s", get_errmsg());
        return 1;
    }
    for (int i = 1; i < argc; ++i)
        lookup(s, argv[i]);
    return 0;
}
