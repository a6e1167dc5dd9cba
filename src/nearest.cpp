// SPDX-License-Identifier: ISC
#include "nearest.h"

#include "report.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>

namespace {

using i32 = std::int32_t;
using u8 = std::uint8_t;

// Two tables of addresses, one a family: slot 0 IPv4, slot 1 IPv6.
constexpr int v4 = 0;
constexpr int v6 = 1;
constexpr int maxbits = 128;
constexpr i32 nil = INT32_MIN; // an empty trie or list
constexpr unsigned ignored = IFA_F_TENTATIVE | IFA_F_DADFAILED;

int bits(int s)
{
    return s == v4 ? 32 : 128;
}

std::size_t bytes(int s)
{
    return s == v4 ? 4 : 16;
}

// How far an address reaches: the order matters, narrowest first.
enum class reach : u8 { host, link, global };

// What one rtnetlink message says, read once and then forgotten.
struct change {
    int type; // RTM_NEWLINK, RTM_DELLINK, RTM_NEWADDR or RTM_DELADDR
    int index;
    unsigned flags; // a link's IFF_*, an address's IFA_F_*
    char name[IF_NAMESIZE];
    int slot;
    int len;
    int scope;
    u8 local[16];
    u8 peer[16];
};

// One local address. A trie over local holds the ranks same and prefix; a
// hash of subnets, (slot, len, net), holds subnet. The entries of a subnet
// form a group, a list in the order of better(), so that its first
// candidate is the answer; the hash holds the group's first entry.
struct entry {
    u8 local[16];      // IPv4 in the first 4 bytes
    u8 net[16];        // the subnet (the peer's, point-to-point) masked to len
    std::uint32_t seq; // the kernel's order
    unsigned flags;
    int index;
    i32 same;  // the next entry with this local address, or -1; -2 when free
    i32 chain; // a group's first: the next in its hash bucket; the free list's link
    i32 prev;  // in the group, or -1
    i32 next;  // in the group, or -1
    i32 last;  // a group's first: its last
    u8 slot;
    u8 len;
    reach range;
};

// A trie node: leaves below agree on the bits before bit, and child[k]
// holds those whose bit is k. A child is a node (>= 0) or a leaf, ~entry,
// the head of the entries with that local address. best[r] is the best
// entry below that reaches r and is not ignored, or -1, so that a subtree
// is answered without a walk while its best lies on a device that is up.
struct node {
    i32 child[2];
    i32 best[3];
    int bit;
};

struct device {
    int index;
    unsigned flags;
    char name[IF_NAMESIZE];
};

int nl = -1;
std::uint32_t nlseq;

entry *entries;
node *nodes;
i32 capacity; // of both entries and nodes
i32 used;     // entries ever handed out since the table was cleared
i32 freed = -1;
i32 nused;
i32 nfreed = -1;
i32 live;
i32 root[2] = {nil, nil};
std::uint32_t seq;

i32 *buckets;
std::uint32_t nbuckets;             // a power of two
std::uint32_t lens[2][maxbits + 1]; // entries for each prefix length

device *devices; // sorted by index
int ndevices;
int devcap;

struct nearest answer;

// --- Addresses as bits

int bit(const u8 *key, int i)
{
    return (key[i >> 3] >> (7 - (i & 7))) & 1;
}

// The number of leading bits a and b share, up to n.
int common(const u8 *a, const u8 *b, int n)
{
    int i = 0;
    while (i < n && a[i >> 3] == b[i >> 3])
        i += 8;
    while (i < n && bit(a, i) == bit(b, i))
        ++i;
    return i < n ? i : n;
}

void mask(u8 *out, const u8 *in, int len)
{
    std::memset(out, 0, 16);
    std::memcpy(out, in, static_cast<std::size_t>(len / 8));
    if (len % 8 != 0)
        out[len / 8] = static_cast<u8>(in[len / 8] & (0xff00 >> (len % 8)));
}

reach range_of(int s, const u8 *a)
{
    static const u8 loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (s == v4)
        return a[0] == 127 ? reach::host : a[0] == 169 && a[1] == 254 ? reach::link : reach::global;
    if (std::memcmp(a, loopback6, 16) == 0)
        return reach::host;
    return a[0] == 0xfe && (a[1] & 0xc0) == 0x80 ? reach::link : reach::global;
}

// --- Devices

device *find_device(int index)
{
    int lo = 0;
    int hi = ndevices;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (devices[mid].index < index)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < ndevices && devices[lo].index == index ? &devices[lo] : nullptr;
}

void set_device(const change &c)
{
    device *d = find_device(c.index);
    if (d == nullptr) {
        if (ndevices == devcap) {
            const int cap = devcap > 0 ? devcap * 2 : 16;
            void *p = std::realloc(devices, static_cast<std::size_t>(cap) * sizeof *devices);
            if (p == nullptr) {
                report(3, "nearest: out of memory; device %d left out", c.index);
                return;
            }
            devices = static_cast<device *>(p);
            devcap = cap;
        }
        int at = 0;
        while (at < ndevices && devices[at].index < c.index)
            ++at;
        std::memmove(devices + at + 1, devices + at,
                     static_cast<std::size_t>(ndevices - at) * sizeof *devices);
        ++ndevices;
        d = &devices[at];
        *d = device{c.index, 0, {}};
    }
    d->flags = c.flags;
    if (c.name[0] != '\0')
        std::memcpy(d->name, c.name, sizeof d->name);
}

void drop_device(int index)
{
    device *d = find_device(index);
    if (d == nullptr)
        return;
    --ndevices;
    std::memmove(d, d + 1, static_cast<std::size_t>(devices + ndevices - d) * sizeof *d);
}

// --- Storage

// Room for one more entry and one more node; false when memory ran out.
bool room()
{
    if (freed >= 0 || used < capacity)
        return true;
    const i32 cap = capacity > 0 ? capacity * 2 : 64;
    void *e = std::realloc(entries, static_cast<std::size_t>(cap) * sizeof *entries);
    if (e == nullptr)
        return false;
    entries = static_cast<entry *>(e);
    void *n = std::realloc(nodes, static_cast<std::size_t>(cap) * sizeof *nodes);
    if (n == nullptr)
        return false;
    nodes = static_cast<node *>(n);
    capacity = cap;
    return true;
}

i32 take_entry()
{
    if (freed < 0)
        return used++;
    const i32 e = freed;
    freed = entries[e].chain;
    return e;
}

// A trie has fewer nodes than leaves, so room() made room for this one.
i32 take_node()
{
    if (nfreed < 0)
        return nused++;
    const i32 n = nfreed;
    nfreed = nodes[n].child[0];
    return n;
}

// --- The subnet hash

std::uint32_t hash(int s, int len, const u8 *net)
{
    std::uint32_t h = 2166136261U ^ static_cast<std::uint32_t>((s * 256) + len);
    for (std::size_t i = 0; i < bytes(s); ++i)
        h = (h ^ net[i]) * 16777619U;
    return h;
}

i32 *bucket(const entry &e)
{
    return &buckets[hash(e.slot, e.len, e.net) & (nbuckets - 1)];
}

// Doubles the buckets before they become fewer than the entries; called
// before an entry is taken, when every group is hashed. Without memory the
// chains only grow longer.
void rehash()
{
    if (static_cast<std::uint32_t>(live) < nbuckets)
        return;
    const std::uint32_t n = nbuckets > 0 ? nbuckets * 2 : 64;
    void *p = std::malloc(n * sizeof *buckets);
    if (p == nullptr)
        return;
    std::free(buckets);
    buckets = static_cast<i32 *>(p);
    nbuckets = n;
    for (std::uint32_t i = 0; i < n; ++i)
        buckets[i] = -1;
    for (i32 e = 0; e < used; ++e)
        if (entries[e].same != -2 && entries[e].prev < 0) {
            i32 *b = bucket(entries[e]);
            entries[e].chain = *b;
            *b = e;
        }
}

bool same_subnet(const entry &a, const entry &b)
{
    return a.slot == b.slot && a.len == b.len && std::memcmp(a.net, b.net, 16) == 0;
}

// Where the bucket holds the first entry of e's group, or where it ends.
i32 *group_of(const entry &e)
{
    i32 *p = bucket(e);
    while (*p >= 0 && !same_subnet(entries[*p], e))
        p = &entries[*p].chain;
    return p;
}

// Makes first the group's first entry in the bucket, in place of the old
// one at where, which is -1 for a new group.
void new_first(i32 *where, i32 first, i32 last)
{
    entries[first].chain = *where >= 0 ? entries[*where].chain : -1;
    entries[first].last = last;
    *where = first;
}

bool better(const entry &a, const entry &b);

// Puts e in its group, after the entries better than it. A new address is
// the kernel's latest, so the walk back from the last is short.
void group_insert(i32 e)
{
    entry &x = entries[e];
    i32 *where = group_of(x);
    i32 after = *where >= 0 ? entries[*where].last : -1;
    while (after >= 0 && better(x, entries[after]))
        after = entries[after].prev;
    x.prev = after;
    if (after >= 0) {
        x.next = entries[after].next;
        entries[after].next = e;
        if (x.next >= 0)
            entries[x.next].prev = e;
        else
            entries[*where].last = e;
        return;
    }
    x.next = *where;
    const i32 last = *where >= 0 ? entries[*where].last : e;
    if (*where >= 0)
        entries[*where].prev = e;
    new_first(where, e, last);
}

void group_remove(i32 e)
{
    const entry &x = entries[e];
    i32 *where = group_of(x);
    if (x.prev >= 0) {
        entries[x.prev].next = x.next;
        if (x.next >= 0)
            entries[x.next].prev = x.prev;
        else
            entries[*where].last = x.prev;
        return;
    }
    if (x.next < 0) {
        *where = x.chain;
        return;
    }
    entries[x.next].prev = -1;
    new_first(where, x.next, x.last);
}

// --- The trie of local addresses

// The first entry of the leaf where key's walk down the trie ends: the one
// local address that shares the most leading bits with key. -1 when empty.
i32 walk(int s, const u8 *key)
{
    i32 t = root[s];
    if (t == nil)
        return -1;
    while (t >= 0)
        t = nodes[t].child[bit(key, nodes[t].bit)];
    return ~t;
}

void trie_insert(i32 e)
{
    entry &x = entries[e];
    i32 *where = &root[x.slot];
    if (*where == nil) {
        *where = ~e;
        return;
    }
    entry &leaf = entries[walk(x.slot, x.local)];
    const int b = common(x.local, leaf.local, bits(x.slot));
    if (b == bits(x.slot)) {
        x.same = leaf.same;
        leaf.same = e;
        return;
    }
    while (*where >= 0 && nodes[*where].bit < b)
        where = &nodes[*where].child[bit(x.local, nodes[*where].bit)];
    const i32 n = take_node();
    const int k = bit(x.local, b);
    nodes[n].bit = b;
    nodes[n].child[k] = ~e;
    nodes[n].child[1 - k] = *where;
    *where = n;
}

void trie_remove(i32 e)
{
    const entry &x = entries[e];
    i32 *parent = nullptr;
    i32 *where = &root[x.slot];
    while (*where >= 0) {
        parent = where;
        where = &nodes[*where].child[bit(x.local, nodes[*where].bit)];
    }
    if (~*where != e) { // within a chain of the same address
        for (i32 *p = &entries[~*where].same; *p >= 0; p = &entries[*p].same)
            if (*p == e) {
                *p = x.same;
                return;
            }
        return;
    }
    if (x.same >= 0) {
        *where = ~x.same;
    } else if (parent == nullptr) {
        *where = nil;
    } else {
        const i32 n = *parent;
        *parent = nodes[n].child[1 - bit(x.local, nodes[n].bit)];
        nodes[n].child[0] = nfreed;
        nfreed = n;
    }
}

// The better of two entries, either of which may be -1.
i32 better_of(i32 a, i32 b)
{
    if (a < 0 || b < 0)
        return a < 0 ? b : a;
    return better(entries[b], entries[a]) ? b : a;
}

// The best entry that reaches r and is not ignored, below a child.
i32 best_of(i32 child, int r)
{
    if (child >= 0)
        return nodes[child].best[r];
    i32 best = -1;
    for (i32 e = ~child; e >= 0; e = entries[e].same)
        if ((entries[e].flags & ignored) == 0 && static_cast<int>(entries[e].range) == r)
            best = better_of(best, e);
    return best;
}

// Brings the nodes on key's path up to date, deepest first, after a change
// below them.
void refresh(int s, const u8 *key)
{
    i32 path[maxbits + 1];
    int depth = 0;
    for (i32 t = root[s]; t >= 0; t = nodes[t].child[bit(key, nodes[t].bit)])
        path[depth++] = t;
    while (--depth >= 0) {
        node &n = nodes[path[depth]];
        for (int r = 0; r < 3; ++r)
            n.best[r] = better_of(best_of(n.child[0], r), best_of(n.child[1], r));
    }
}

// The entry for this address of the change's device, or -1.
i32 lookup(const change &c, const u8 *net)
{
    for (i32 e = walk(c.slot, c.local); e >= 0; e = entries[e].same)
        if (std::memcmp(entries[e].local, c.local, 16) == 0 && entries[e].index == c.index &&
            entries[e].len == c.len && std::memcmp(entries[e].net, net, 16) == 0)
            return e;
    return -1;
}

reach range_of(const change &c)
{
    const reach r = range_of(c.slot, c.local);
    const reach kernel = c.scope == RT_SCOPE_HOST   ? reach::host
                         : c.scope == RT_SCOPE_LINK ? reach::link
                                                    : reach::global;
    return r < kernel ? r : kernel;
}

void add_address(const change &c)
{
    u8 net[16];
    mask(net, c.peer, c.len);
    const i32 found = lookup(c, net);
    if (found >= 0) { // a change of flags: the kernel's order stays
        group_remove(found);
        entries[found].flags = c.flags;
        entries[found].range = range_of(c);
        group_insert(found);
        refresh(c.slot, c.local);
        return;
    }
    if (!room()) {
        char text[INET6_ADDRSTRLEN];
        inet_ntop(c.slot == v4 ? AF_INET : AF_INET6, c.local, text, sizeof text);
        report(3, "nearest: out of memory; %s/%d on device %d left out", text, c.len, c.index);
        return;
    }
    rehash();
    const i32 e = take_entry();
    entry &x = entries[e];
    std::memcpy(x.local, c.local, 16);
    std::memcpy(x.net, net, 16);
    x.seq = seq++;
    x.flags = c.flags;
    x.index = c.index;
    x.same = -1;
    x.slot = static_cast<u8>(c.slot);
    x.len = static_cast<u8>(c.len);
    x.range = range_of(c);
    ++live;
    ++lens[c.slot][c.len];
    trie_insert(e);
    refresh(c.slot, c.local);
    group_insert(e);
}

void drop_address(const change &c)
{
    u8 net[16];
    mask(net, c.peer, c.len);
    const i32 e = lookup(c, net);
    if (e < 0)
        return;
    trie_remove(e);
    refresh(c.slot, c.local);
    group_remove(e);
    --live;
    --lens[c.slot][c.len];
    entries[e].same = -2; // marks a free entry
    entries[e].chain = freed;
    freed = e;
}

void clear()
{
    used = nused = live = 0;
    freed = nfreed = -1;
    root[v4] = root[v6] = nil;
    seq = 0;
    ndevices = 0;
    std::memset(lens, 0, sizeof lens);
    for (std::uint32_t i = 0; i < nbuckets; ++i)
        buckets[i] = -1;
}

void apply(const change &c)
{
    switch (c.type) {
    case RTM_NEWLINK:
        set_device(c);
        break;
    case RTM_DELLINK:
        drop_device(c.index);
        break;
    case RTM_NEWADDR:
        add_address(c);
        break;
    default:
        drop_address(c);
        break;
    }
}

// --- Messages into changes

// The kernel's NLMSG_* and RTA_* macros cast in C's way.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wcast-qual"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wcast-align"

// Indexes the attributes after a message's header by type, as iproute2's
// parse_rtattr does; a later one of a type wins.
void attributes(const rtattr **table, int max, const nlmsghdr *h, std::size_t header)
{
    for (int i = 0; i <= max; ++i)
        table[i] = nullptr;
    const std::size_t start = NLMSG_LENGTH(header);
    int len = static_cast<int>(h->nlmsg_len) - static_cast<int>(NLMSG_ALIGN(start));
    const auto *a =
        reinterpret_cast<const rtattr *>(reinterpret_cast<const char *>(h) + NLMSG_ALIGN(start));
    for (; RTA_OK(a, len); a = RTA_NEXT(a, len))
        if (a->rta_type <= max)
            table[a->rta_type] = a;
}

bool link_change(const nlmsghdr *h, change *c)
{
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return false;
    ifinfomsg ifi;
    std::memcpy(&ifi, NLMSG_DATA(h), sizeof ifi);
    // Bridge ports are announced again under AF_BRIDGE, and leave a
    // bridge with an RTM_DELLINK that deletes no device.
    if (ifi.ifi_family != AF_UNSPEC || ifi.ifi_index <= 0)
        return false;
    const rtattr *tb[IFLA_MAX + 1];
    attributes(tb, IFLA_MAX, h, sizeof ifi);
    c->index = ifi.ifi_index;
    c->flags = ifi.ifi_flags;
    if (const rtattr *name = tb[IFLA_IFNAME]) {
        std::size_t n = RTA_PAYLOAD(name);
        n = n < IF_NAMESIZE - 1 ? n : IF_NAMESIZE - 1;
        std::memcpy(c->name, RTA_DATA(name), n);
        c->name[n] = '\0';
    }
    return true;
}

// Copies an address attribute that has the family's size.
bool address(u8 *to, const rtattr *a, int s)
{
    if (a == nullptr || RTA_PAYLOAD(a) != bytes(s))
        return false;
    std::memcpy(to, RTA_DATA(a), bytes(s));
    return true;
}

bool address_change(const nlmsghdr *h, change *c)
{
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
        return false;
    ifaddrmsg ifa;
    std::memcpy(&ifa, NLMSG_DATA(h), sizeof ifa);
    if (ifa.ifa_family != AF_INET && ifa.ifa_family != AF_INET6)
        return false;
    c->slot = ifa.ifa_family == AF_INET ? v4 : v6;
    if (ifa.ifa_prefixlen > bits(c->slot) || ifa.ifa_index == 0 || ifa.ifa_index > INT_MAX)
        return false;
    const rtattr *tb[IFA_MAX + 1];
    attributes(tb, IFA_MAX, h, sizeof ifa);
    // IFA_LOCAL is the local end of a point-to-point address and IFA_ADDRESS
    // its peer; an ordinary address has IFA_ADDRESS, and for IPv4 both.
    const rtattr *local = tb[IFA_LOCAL] != nullptr ? tb[IFA_LOCAL] : tb[IFA_ADDRESS];
    const rtattr *peer = tb[IFA_ADDRESS] != nullptr ? tb[IFA_ADDRESS] : tb[IFA_LOCAL];
    if (!address(c->local, local, c->slot) || !address(c->peer, peer, c->slot))
        return false;
    c->index = static_cast<int>(ifa.ifa_index);
    c->len = ifa.ifa_prefixlen;
    c->scope = ifa.ifa_scope;
    c->flags = ifa.ifa_flags;
    if (const rtattr *f = tb[IFA_FLAGS]; f != nullptr && RTA_PAYLOAD(f) == sizeof(std::uint32_t))
        std::memcpy(&c->flags, RTA_DATA(f), sizeof(std::uint32_t));
    // IPv4 gives the temporary flag's bit to secondary addresses.
    if (c->slot == v4)
        c->flags &= ~static_cast<unsigned>(IFA_F_TEMPORARY);
    return true;
}

// The plain record of a message, or false for one the table does not keep.
bool decode(const nlmsghdr *h, change *c)
{
    *c = change{};
    c->type = h->nlmsg_type;
    switch (h->nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK:
        return link_change(h, c);
    case RTM_NEWADDR:
    case RTM_DELADDR:
        return address_change(h, c);
    default:
        return false;
    }
}

// Applies the messages of one datagram; what nearest_feed returns.
int feed(const void *datagram, std::size_t len)
{
    int seen = 0;
    int left = len < INT_MAX ? static_cast<int>(len) : INT_MAX;
    const auto *h = static_cast<const nlmsghdr *>(datagram);
    for (; NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if ((h->nlmsg_flags & NLM_F_DUMP_INTR) != 0)
            seen |= NEAREST_INTR;
        if (h->nlmsg_type == NLMSG_DONE) {
            seen |= NEAREST_DONE;
        } else if (h->nlmsg_type == NLMSG_ERROR) {
            nlmsgerr err{};
            if (h->nlmsg_len >= NLMSG_LENGTH(sizeof err))
                std::memcpy(&err, NLMSG_DATA(h), sizeof err);
            if (err.error != 0) { // the kernel's errors are small and negative
                errno = err.error < 0 && err.error > -4096 ? -err.error : EPROTO;
                seen |= NEAREST_ERROR;
            }
        } else if (change c{}; decode(h, &c)) {
            apply(c);
        }
    }
    return seen;
}

#pragma GCC diagnostic pop

// --- The socket

alignas(nlmsghdr) char buffer[65536];

enum class got : unsigned char { some, none, lost, failed };

// One datagram from the kernel into buffer, without waiting.
got receive(ssize_t *n)
{
    for (;;) {
        sockaddr_nl from{};
        socklen_t fromlen = sizeof from;
        *n = recvfrom(nl, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                      reinterpret_cast<sockaddr *>(&from), &fromlen);
        if (*n < 0 && errno == EINTR)
            continue;
        if (*n < 0)
            return errno == EAGAIN ? got::none : errno == ENOBUFS ? got::lost : got::failed;
        if (static_cast<std::size_t>(*n) > sizeof buffer)
            return got::lost; // cut short: some messages were not read
        if (from.nl_pid == 0) // only the kernel speaks for the kernel
            return got::some;
    }
}

bool ask(int type)
{
    struct {
        nlmsghdr h;
        ifinfomsg body; // its start is an ifaddrmsg too: the family is 0 in both
    } req{};
    req.h.nlmsg_len = NLMSG_LENGTH(type == RTM_GETLINK ? sizeof(ifinfomsg) : sizeof(ifaddrmsg));
    req.h.nlmsg_type = static_cast<std::uint16_t>(type);
    req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.h.nlmsg_seq = ++nlseq;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return sendto(nl, &req, req.h.nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel),
                  sizeof kernel) >= 0;
}

// Reads until the dump asked for ends, applying events that come between
// its parts: NEAREST_DONE, with NEAREST_INTR if the kernel said so; 0 when
// the queue overflowed; -1 when the socket failed.
int await()
{
    int seen = 0;
    while ((seen & NEAREST_DONE) == 0) {
        ssize_t n = 0;
        const got g = receive(&n);
        if (g == got::lost)
            return 0;
        if (g == got::failed)
            return -1;
        if (g == got::none) {
            pollfd p{nl, POLLIN, 0};
            if (poll(&p, 1, 10000) == 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            continue;
        }
        seen |= nearest_feed(buffer, static_cast<std::size_t>(n));
        if ((seen & NEAREST_ERROR) != 0)
            return -1;
    }
    return seen;
}

int dump(int type)
{
    return ask(type) ? await() : -1;
}

// A fresh table from one dump of the links and one of the addresses, after
// the events still queued are thrown away: they predate the dump.
bool load()
{
    for (int tries = 0; tries < 5; ++tries) {
        ssize_t n = 0;
        got g;
        while ((g = receive(&n)) == got::some || g == got::lost)
            ;
        clear();
        const int links = dump(RTM_GETLINK);
        const int addrs = links > 0 ? dump(RTM_GETADDR) : links;
        if (addrs < 0) {
            report(3, "netlink dump: %s", get_errmsg());
            return false;
        }
        if (addrs > 0 && ((links | addrs) & NEAREST_INTR) == 0)
            return true;
    }
    report(4, "netlink dump: interrupted again and again; the table may be stale");
    return true;
}

// --- The choice

struct query {
    int slot;
    u8 key[16];
    reach range;
    unsigned scope; // the device of a link-local IPv6 destination
};

bool candidate(const entry &e, const query &q)
{
    if ((e.flags & ignored) != 0)
        return false;
    const device *d = find_device(e.index);
    if (d == nullptr || (d->flags & IFF_UP) == 0)
        return false;
    switch (q.range) {
    case reach::host:
        return e.range == reach::host;
    case reach::link:
        return e.range != reach::host &&
               (q.slot == v4 || static_cast<unsigned>(e.index) == q.scope);
    default:
        return e.range == reach::global;
    }
}

// Within a rank: not deprecated first, then stable before temporary, then
// the kernel's order.
bool better(const entry &a, const entry &b)
{
    const unsigned ad = a.flags & IFA_F_DEPRECATED;
    const unsigned bd = b.flags & IFA_F_DEPRECATED;
    if (ad != bd)
        return ad == 0;
    const unsigned at = a.flags & IFA_F_TEMPORARY;
    const unsigned bt = b.flags & IFA_F_TEMPORARY;
    if (at != bt)
        return at == 0;
    return a.seq < b.seq;
}

i32 pick(i32 best, i32 e, const query &q)
{
    if (!candidate(entries[e], q))
        return best;
    return best < 0 || better(entries[e], entries[best]) ? e : best;
}

// The best candidate among the leaves below t.
i32 scan_below(i32 t, const query &q)
{
    i32 stack[(2 * maxbits) + 2];
    int depth = 0;
    i32 best = -1;
    stack[depth++] = t;
    while (depth > 0) {
        const i32 x = stack[--depth];
        if (x >= 0) {
            stack[depth++] = nodes[x].child[0];
            stack[depth++] = nodes[x].child[1];
            continue;
        }
        for (i32 e = ~x; e >= 0; e = entries[e].same)
            best = pick(best, e, q);
    }
    return best;
}

// The best candidate below t: the node's best for the destination's reach,
// unless a scope id narrows the candidates or that best is on a device that
// is down; then a walk over the leaves.
i32 best_below(i32 t, const query &q)
{
    if (q.slot == v6 && q.range == reach::link)
        return scan_below(t, q);
    const auto g = static_cast<int>(reach::global);
    i32 best = best_of(t, q.range == reach::host ? static_cast<int>(reach::host) : g);
    if (q.range == reach::link) // IPv4 link-local: link and global alike
        best = better_of(best, best_of(t, static_cast<int>(reach::link)));
    return best < 0 || candidate(entries[best], q) ? best : scan_below(t, q);
}

i32 same(const query &q)
{
    const i32 head = walk(q.slot, q.key);
    if (head < 0 || std::memcmp(entries[head].local, q.key, 16) != 0)
        return -1;
    i32 best = -1;
    for (i32 e = head; e >= 0; e = entries[e].same)
        best = pick(best, e, q);
    return best;
}

// The longest subnet that holds the destination, as a route lookup finds it.
i32 subnet(const query &q)
{
    if (nbuckets == 0)
        return -1;
    for (int len = bits(q.slot); len >= 0; --len) {
        if (lens[q.slot][len] == 0)
            continue;
        u8 net[16];
        mask(net, q.key, len);
        i32 first = buckets[hash(q.slot, len, net) & (nbuckets - 1)];
        while (first >= 0 && (entries[first].slot != q.slot || entries[first].len != len ||
                              std::memcmp(entries[first].net, net, 16) != 0))
            first = entries[first].chain;
        // The group is in the order of better(): its first candidate wins.
        for (i32 e = first; e >= 0; e = entries[e].next)
            if (candidate(entries[e], q))
                return e;
    }
    return -1;
}

// The candidate with the most leading bits in common, at least 8. The walk
// down the trie ends at a leaf that shares the most bits of all; the leaves
// that share as many lie below the first node past them, and those that
// share fewer hang off the path above it, more the deeper they hang.
i32 prefix(const query &q)
{
    i32 path[maxbits + 1];
    int depth = 0;
    i32 t = root[q.slot];
    if (t == nil)
        return -1;
    while (t >= 0) {
        path[depth++] = t;
        t = nodes[t].child[bit(q.key, nodes[t].bit)];
    }
    const int most = common(q.key, entries[~t].local, bits(q.slot));
    int k = 0;
    // cppcheck-suppress uninitvar ; path[0 .. depth) is set by the walk
    while (k < depth && nodes[path[k]].bit < most)
        ++k;
    if (most >= 8) {
        const i32 best = best_below(k < depth ? path[k] : t, q);
        if (best >= 0)
            return best;
    }
    for (--k; k >= 0 && nodes[path[k]].bit >= 8; --k) {
        const node &n = nodes[path[k]];
        const i32 best = best_below(n.child[1 - bit(q.key, n.bit)], q);
        if (best >= 0)
            return best;
    }
    return -1;
}

const struct nearest *record(i32 e, const char *why)
{
    const entry &x = entries[e];
    const device *d = find_device(x.index); // a candidate's device is known
    if (d != nullptr)
        std::memcpy(answer.name, d->name, sizeof answer.name);
    answer.index = static_cast<unsigned>(x.index);
    answer.family = x.slot == v4 ? AF_INET : AF_INET6;
    std::memcpy(&answer.addr, x.local, sizeof answer.addr);
    answer.prefixlen = x.len;
    answer.why = why;
    return &answer;
}

// The answer by the first rank that has one, or null.
const struct nearest *choose(const query &q)
{
    i32 e = same(q);
    if (e >= 0)
        return record(e, "same");
    e = subnet(q);
    if (e >= 0)
        return record(e, "subnet");
    e = prefix(q);
    return e >= 0 ? record(e, "prefix") : nullptr;
}

// The query for a destination; false for a family we do not answer.
bool make_query(const sockaddr *to, query *q)
{
    sa_family_t family = 0;
    std::memcpy(&family, reinterpret_cast<const char *>(to) + offsetof(sockaddr, sa_family),
                sizeof family);
    *q = query{};
    if (family == AF_INET) {
        sockaddr_in sin;
        std::memcpy(&sin, to, sizeof sin);
        q->slot = v4;
        std::memcpy(q->key, &sin.sin_addr, 4);
    } else if (family == AF_INET6) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, to, sizeof sin6);
        const bool mapped = IN6_IS_ADDR_V4MAPPED(&sin6.sin6_addr);
        q->slot = mapped ? v4 : v6;
        std::memcpy(q->key, sin6.sin6_addr.s6_addr + (mapped ? 12 : 0), mapped ? 4 : 16);
        q->scope = sin6.sin6_scope_id;
    } else {
        return false;
    }
    q->range = range_of(q->slot, q->key);
    return true;
}

// --- Well-formedness, for tests and fuzzing

// Counts the entries below t, checking that each lies where its bits say.
// NOLINTNEXTLINE(misc-no-recursion): as deep as the trie, at most 128
i32 leaves(i32 t, int s, int above, const u8 *prefix_key, bool *ok)
{
    if (t < 0) {
        i32 n = 0;
        for (i32 e = ~t; e >= 0 && n <= live; e = entries[e].same, ++n)
            *ok = *ok && e < used && entries[e].same != -2 && entries[e].slot == s &&
                  (prefix_key == nullptr || common(entries[e].local, prefix_key, bits(s)) >= above);
        return n;
    }
    const node &n = nodes[t];
    if (t >= nused || n.bit < above || n.bit >= bits(s)) {
        *ok = false;
        return 0;
    }
    i32 count = 0;
    for (int k = 0; k < 2 && *ok; ++k) {
        const i32 c = n.child[k];
        i32 x = c;
        for (int steps = 0; x >= 0 && x < nused && steps <= maxbits; ++steps)
            x = nodes[x].child[0];
        const u8 *key = x < 0 && ~x < used ? entries[~x].local : nullptr;
        *ok = *ok && key != nullptr && bit(key, n.bit) == k;
        if (*ok)
            count += leaves(c, s, n.bit + 1, key, ok);
    }
    for (int r = 0; r < 3 && *ok; ++r)
        *ok = n.best[r] == better_of(best_of(n.child[0], r), best_of(n.child[1], r));
    return count;
}

// Counts the entries of the group that begins with first, checking its
// links, its order and that all share its subnet.
i32 members(i32 first, bool *ok)
{
    i32 n = 0;
    i32 prev = -1;
    for (i32 e = first; e >= 0 && n <= live && *ok; prev = e, e = entries[e].next, ++n)
        *ok = e < used && entries[e].same != -2 && entries[e].prev == prev &&
              same_subnet(entries[e], entries[first]) &&
              (prev < 0 || !better(entries[e], entries[prev]));
    *ok = *ok && prev == entries[first].last;
    return n;
}

} // namespace

int nearest_open()
{
    if (nl >= 0)
        close(nl);
    nl = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl sa{};
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (nl < 0 || bind(nl, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        report(3, "netlink socket: %s", get_errmsg());
    } else if (load()) {
        return nl;
    }
    if (nl >= 0)
        close(nl);
    nl = -1;
    return -1;
}

int nearest_update()
{
    if (nl < 0) {
        errno = EBADF;
        report(3, "netlink: %s", get_errmsg());
        return -1;
    }
    for (;;) {
        ssize_t n = 0;
        switch (receive(&n)) {
        case got::some:
            nearest_feed(buffer, static_cast<std::size_t>(n));
            break;
        case got::none:
            return 0;
        case got::lost:
            return load() ? 1 : -1;
        case got::failed:
            report(3, "netlink: %s", get_errmsg());
            return -1;
        }
    }
}

int nearest_feed(const void *datagram, size_t len)
{
    return feed(datagram, len);
}

const struct nearest *nearest_find(const struct sockaddr *to, const char **why)
{
    query q;
    const struct nearest *r = nullptr;
    const char *w = "none";
    if (to != nullptr && make_query(to, &q)) {
        if (q.slot == v6 && q.range == reach::link && q.scope == 0)
            w = "scope";
        else
            r = choose(q);
    }
    if (why != nullptr)
        *why = r != nullptr ? r->why : w;
    return r;
}

int nearest_valid()
{
    bool ok = true;
    i32 count = 0;
    for (int s = v4; s <= v6 && ok; ++s)
        if (root[s] != nil)
            count += leaves(root[s], s, 0, nullptr, &ok);
    ok = ok && count == live;
    constexpr std::size_t nlens = sizeof lens / sizeof lens[0][0];
    const std::uint32_t per_len = std::accumulate(&lens[0][0], &lens[0][0] + nlens, 0U);
    ok = ok && per_len == static_cast<std::uint32_t>(live);
    i32 grouped = 0;
    i32 groups = 0;
    for (std::uint32_t b = 0; b < nbuckets && ok; ++b)
        for (i32 e = buckets[b]; e >= 0 && ok && groups <= live; e = entries[e].chain, ++groups) {
            ok = e < used && entries[e].prev == -1 &&
                 (hash(entries[e].slot, entries[e].len, entries[e].net) & (nbuckets - 1)) == b;
            if (ok)
                grouped += members(e, &ok);
        }
    ok = ok && grouped == live;
    for (int i = 1; i < ndevices && ok; ++i)
        ok = devices[i - 1].index < devices[i].index;
    return ok ? 1 : 0;
}
