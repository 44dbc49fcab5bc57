// linkproxy: a TCP forwarding proxy that behaves like a long link between a
// client and a server on this machine. bench/run puts it between varo-sync
// (and the curl baselines) and nginx.
//
//   linkproxy --upstream PORT [--rtt-ms MS] [--rate-mbit MBIT]
//
// It listens on a free port of 127.0.0.1, prints "port N" on stdout, and
// forwards every accepted connection to 127.0.0.1:PORT. The link it models,
// in each direction separately:
//
//   - one bottleneck shared by every connection: bytes leave it in the order
//     they arrived, at exactly MBIT megabits per second (a token bucket that
//     holds no burst); 0 means no limit. The proxy reads from a sender only
//     while the bottleneck holds less than its queue (5 ms of the rate, at
//     least 16 KiB), so TCP's flow control pushes back on the sender as a
//     full queue on a real link does;
//   - then a one-way delay of MS / 2 for every chunk, order kept per
//     connection;
//   - a new connection's first bytes towards the server wait one round trip
//     more, the time a real TCP handshake takes before the client may send.
//
// What it does not model: packet loss and TCP's congestion window (slow
// start): the proxy's own sockets are on the loopback, so a new connection
// reaches the full rate at once. Every client it carries gets the same link.
//
// On SIGTERM or SIGINT it prints on stdout and exits 0:
//   connections N up B down B timers T late L lateness MS latest MS
// the connections it accepted, the bytes it carried in each direction, how
// many timed wake-ups it had, how many of them came more than 1 ms late (on
// a loaded machine the scheduler may run the proxy late; every delay and
// every refill of the bottleneck is then off by as much), by how much they
// were late together and the latest one, in milliseconds.

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using Nanos = std::int64_t;
constexpr Nanos kSecond = 1000000000;

Nanos now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Nanos(ts.tv_sec) * kSecond + ts.tv_nsec;
}

volatile std::sig_atomic_t stopRequested = 0;

void onStop(int)
{
    stopRequested = 1;
}

// One direction of the link, shared by all connections.
struct Link
{
    double nanosPerByte = 0; // 0: no limit
    Nanos freeAt = 0;        // when the bottleneck has sent everything queued
    Nanos queueNanos = 0;    // how much it may hold before senders wait
    std::uint64_t carried = 0;

    bool hasRoom(Nanos t) const { return nanosPerByte == 0 || freeAt - t < queueNanos; }

    // When n bytes handed over at t have left the bottleneck.
    Nanos send(Nanos t, std::size_t n)
    {
        carried += n;
        if (nanosPerByte == 0)
            return t;
        freeAt = std::max(freeAt, t) + Nanos(double(n) * nanosPerByte + 0.5);
        return freeAt;
    }
};

struct Chunk
{
    Nanos due;
    std::vector<char> data; // empty: the sender's end of stream
    std::size_t offset = 0;
};

// One direction of one connection.
struct Pipe
{
    int from = -1;
    int to = -1;
    Link *link = nullptr;
    std::deque<Chunk> chunks;
    std::size_t pending = 0; // bytes read and not yet written on
    Nanos openAt = 0;        // nothing is read before this
    bool ended = false;      // the sender's end of stream was read
    bool closed = false;     // and passed on
    bool blocked = false;    // the receiver's socket is full

    Nanos lastDue() const { return chunks.empty() ? 0 : chunks.back().due; }
};

struct Connection
{
    int client = -1;
    int server = -1;
    Pipe up;   // client to server
    Pipe down; // server to client
    bool broken = false;

    bool finished() const { return broken || (up.closed && down.closed); }
};

struct Settings
{
    int upstreamPort = 0;
    Nanos oneWay = 0;
    double rateMbit = 0;
};

std::size_t readSize = 64 * 1024;
std::size_t pendingCap = 4 << 20;

void setNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool canRead(const Pipe &pipe, Nanos t)
{
    return !pipe.ended && t >= pipe.openAt && pipe.pending < pendingCap && pipe.link->hasRoom(t);
}

// Reads one chunk from the sender and schedules it. False when the
// connection broke.
bool readInto(Pipe &pipe, Nanos t, std::vector<char> &buffer, const Settings &settings)
{
    const ssize_t n = ::read(pipe.from, buffer.data(), readSize);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    Chunk chunk;
    if (n == 0) {
        // The end of stream takes the delay but no time on the bottleneck,
        // and never overtakes data.
        pipe.ended = true;
        chunk.due = std::max(t + settings.oneWay, pipe.lastDue());
    } else {
        chunk.data.assign(buffer.data(), buffer.data() + n);
        chunk.due = std::max(pipe.link->send(t, std::size_t(n)) + settings.oneWay, pipe.lastDue());
        pipe.pending += std::size_t(n);
    }
    pipe.chunks.push_back(std::move(chunk));
    return true;
}

// Writes what is due. False when the connection broke.
bool deliver(Pipe &pipe, Nanos t)
{
    pipe.blocked = false;
    while (!pipe.chunks.empty() && pipe.chunks.front().due <= t) {
        Chunk &chunk = pipe.chunks.front();
        if (chunk.data.empty()) {
            ::shutdown(pipe.to, SHUT_WR);
            pipe.closed = true;
            pipe.chunks.pop_front();
            continue;
        }
        const ssize_t n = ::send(pipe.to, chunk.data.data() + chunk.offset, chunk.data.size() - chunk.offset,
                                 MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pipe.blocked = true;
                return true;
            }
            if (errno == EINTR)
                continue;
            return false;
        }
        chunk.offset += std::size_t(n);
        pipe.pending -= std::size_t(n);
        if (chunk.offset == chunk.data.size())
            pipe.chunks.pop_front();
    }
    return true;
}

sockaddr_in loopbackAddress(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(port));
    return address;
}

int listenOnFreePort(int &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 128) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    setNonBlocking(fd);
    return fd;
}

int connectUpstream(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address = loopbackAddress(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    setNonBlocking(fd);
    return fd;
}

int usage(const char *message)
{
    if (message)
        std::fprintf(stderr, "linkproxy: %s\n", message);
    std::fputs("usage: linkproxy --upstream PORT [--rtt-ms MS] [--rate-mbit MBIT]\n", stderr);
    return 64;
}

bool parseNumber(const char *text, double &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && value >= 0;
}

} // namespace

int main(int argc, char *argv[])
{
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        double value = 0;
        if (i + 1 >= argc || !parseNumber(argv[i + 1], value))
            return usage("every option takes a number of zero or more");
        ++i;
        if (option == "--upstream" && value >= 1 && value <= 65535)
            settings.upstreamPort = int(value);
        else if (option == "--rtt-ms")
            settings.oneWay = Nanos(value * 1e6 / 2 + 0.5);
        else if (option == "--rate-mbit")
            settings.rateMbit = value;
        else
            return usage(("unknown option or value: " + option).c_str());
    }
    if (settings.upstreamPort == 0)
        return usage("--upstream PORT is required");

    Link links[2]; // 0: towards the server, 1: towards the client
    if (settings.rateMbit > 0) {
        const double bytesPerSecond = settings.rateMbit * 1e6 / 8;
        for (Link &link : links) {
            link.nanosPerByte = 1e9 / bytesPerSecond;
            link.queueNanos = std::max(Nanos(5e6), Nanos(16384 * link.nanosPerByte));
        }
        // About a millisecond of the rate per read: a chunk is passed on
        // whole, so its first byte waits at most that long for its last.
        readSize = std::clamp<std::size_t>(std::size_t(bytesPerSecond / 1000), 1500, 64 * 1024);
    }
    // Room for everything in flight on the link, and some more.
    pendingCap = std::max<std::size_t>(pendingCap,
                                       std::size_t(settings.rateMbit * 1e6 / 8 * 2 * double(settings.oneWay) / 1e9));

    std::signal(SIGTERM, onStop);
    std::signal(SIGINT, onStop);
    std::signal(SIGPIPE, SIG_IGN);

    int port = 0;
    const int listener = listenOnFreePort(port);
    if (listener < 0) {
        std::perror("linkproxy: listen");
        return 1;
    }
    std::printf("port %d\n", port);
    std::fflush(stdout);

    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<pollfd> fds;
    std::vector<char> buffer(64 * 1024);
    std::size_t accepted = 0;
    std::size_t turn = 0;
    unsigned long long timers = 0;
    unsigned long long lateTimers = 0;
    Nanos lateness = 0;
    Nanos latest = 0;

    while (!stopRequested) {
        Nanos t = now();
        for (auto &c : connections) {
            if (!c->broken && (!deliver(c->up, t) || !deliver(c->down, t)))
                c->broken = true;
        }
        for (auto it = connections.begin(); it != connections.end();) {
            if ((*it)->finished()) {
                ::close((*it)->client);
                ::close((*it)->server);
                it = connections.erase(it);
            } else {
                ++it;
            }
        }

        // What to wait for, and until when.
        const Nanos t0 = t;
        Nanos wake = t + kSecond;
        fds.assign(1, pollfd{listener, POLLIN, 0});
        for (auto &c : connections) {
            short client = 0;
            short server = 0;
            for (Pipe *pipe : {&c->up, &c->down}) {
                short &from = pipe == &c->up ? client : server;
                short &to = pipe == &c->up ? server : client;
                if (canRead(*pipe, t))
                    from |= POLLIN;
                else if (!pipe->ended && pipe->pending < pendingCap)
                    wake = std::min(wake, std::max(pipe->openAt, pipe->link->freeAt - pipe->link->queueNanos));
                if (pipe->blocked)
                    to |= POLLOUT;
                else if (!pipe->chunks.empty())
                    wake = std::min(wake, pipe->chunks.front().due);
            }
            // A socket with nothing to wait for stays out of the poll: once
            // both ways are shut it would report a hang-up at once, forever.
            fds.push_back(pollfd{client ? c->client : -1, client, 0});
            fds.push_back(pollfd{server ? c->server : -1, server, 0});
        }
        const Nanos wait = std::max<Nanos>(0, wake - t);
        timespec timeout{time_t(wait / kSecond), long(wait % kSecond)};
        const int ready = ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::perror("linkproxy: poll");
            return 1;
        }
        t = now();
        if (ready == 0 && wait > 0 && wake < t0 + kSecond) {
            // How late the wake-up came: every delay and every refill of the
            // bottleneck is off by this much.
            ++timers;
            lateness += t - wake;
            latest = std::max(latest, t - wake);
            if (t - wake > kSecond / 1000)
                ++lateTimers;
        }

        // Reads, starting with a different connection each time so that none
        // is always first in the bottleneck's queue.
        const std::size_t count = connections.size();
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t i = (turn + k) % count;
            Connection &c = *connections[i];
            const short client = fds[1 + 2 * i].revents;
            const short server = fds[1 + 2 * i + 1].revents;
            if ((client | server) & (POLLNVAL | POLLERR)) {
                c.broken = true;
                continue;
            }
            if ((client & (POLLIN | POLLHUP | POLLERR)) && (fds[1 + 2 * i].events & POLLIN)
                && !readInto(c.up, t, buffer, settings))
                c.broken = true;
            if ((server & (POLLIN | POLLHUP | POLLERR)) && (fds[1 + 2 * i + 1].events & POLLIN)
                && !readInto(c.down, t, buffer, settings))
                c.broken = true;
        }
        turn = count ? (turn + 1) % count : 0;

        if (fds[0].revents & POLLIN) {
            for (;;) {
                const int client = ::accept(listener, nullptr, nullptr);
                if (client < 0)
                    break;
                const int server = connectUpstream(settings.upstreamPort);
                if (server < 0) {
                    ::close(client);
                    continue;
                }
                setNonBlocking(client);
                auto c = std::make_unique<Connection>();
                c->client = client;
                c->server = server;
                c->up.from = client;
                c->up.to = server;
                c->up.link = &links[0];
                c->up.openAt = t + 2 * settings.oneWay;
                c->down.from = server;
                c->down.to = client;
                c->down.link = &links[1];
                connections.push_back(std::move(c));
                ++accepted;
            }
        }
    }
    std::printf("connections %zu up %llu down %llu timers %llu late %llu lateness %.3f latest %.3f\n", accepted,
                static_cast<unsigned long long>(links[0].carried), static_cast<unsigned long long>(links[1].carried),
                timers, lateTimers, double(lateness) / 1e6, double(latest) / 1e6);
    return 0;
}
