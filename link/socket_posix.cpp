// The network backend's sockets on POSIX: BSD sockets, non-blocking, poll().
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "link/backend.h"
#include "link/clock.h"

namespace {

int last_error = 0;

// A name lookup left to finish on glibc's thread after we stopped waiting:
// its request must stay allocated for it.
void* abandoned_lookup = nullptr;

// poll() going on after signals, for at most timeout_ms (negative: no limit).
int poll_for(int fd, short events, int timeout_ms, short& revents) {
    const long long deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        pollfd entry{fd, events, 0};
        int wait_ms = -1;
        if (timeout_ms >= 0) {
            const long long left = deadline - monotonic_ms();
            wait_ms = left > 0 ? static_cast<int>(left) : 0;
        }
        const int ready = poll(&entry, 1, wait_ms);
        if (ready >= 0) {
            revents = entry.revents;
            return ready;
        }
        if (errno != EINTR) {
            last_error = errno;
            return -1;
        }
    }
}

// Looks `host` up within the time left before `deadline`. A numeric address
// needs no lookup and gets none. A name is looked up with glibc's
// getaddrinfo_a, waited for with a limit: a resolver that does not answer
// would otherwise hold getaddrinfo for 10 s per name server. A lookup that
// runs past the limit is left to finish on glibc's own thread (see
// abandoned_lookup); that ends the open, so there is at most one.
// Elsewhere the lookup is getaddrinfo's, unbounded.
bool look_up(const std::string& host, const std::string& service, long long deadline, int timeout_ms,
             addrinfo*& found, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    int result = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (result != EAI_NONAME) {
        if (result != 0) error = gai_strerror(result);
        return result == 0;
    }
    hints.ai_flags = AI_NUMERICSERV;
#ifdef __GLIBC__
    struct Lookup {
        std::string host, service;
        addrinfo hints;
        gaicb request;
    };
    Lookup* lookup = new Lookup{host, service, hints, gaicb{}};
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_service = lookup->service.c_str();
    lookup->request.ar_request = &lookup->hints;
    gaicb* requests[] = {&lookup->request};
    result = getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr);
    if (result != 0) {
        delete lookup;
        error = gai_strerror(result);
        return false;
    }
    for (;;) {
        result = gai_error(&lookup->request);
        if (result != EAI_INPROGRESS) break;
        const long long left = deadline - monotonic_ms();
        if (left <= 0) break;
        const timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
        gai_suspend(requests, 1, &wait);  // returns early on signals and on completion alike
    }
    if (result == EAI_INPROGRESS && gai_cancel(&lookup->request) != EAI_CANCELED) {
        abandoned_lookup = lookup;
        error = "the name lookup did not finish within " + std::to_string(timeout_ms / 1000) + " s";
        return false;
    }
    found = result == 0 ? lookup->request.ar_result : nullptr;
    if (result == EAI_INPROGRESS || result == EAI_CANCELED) {
        error = "the name lookup did not finish within " + std::to_string(timeout_ms / 1000) + " s";
    } else if (result != 0) {
        error = gai_strerror(result);
    }
    delete lookup;
    return found != nullptr;
#else
    (void)deadline;
    (void)timeout_ms;
    result = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (result != 0) error = gai_strerror(result);
    return result == 0;
#endif
}

}  // namespace

bool net_connect(const std::string& host, const std::string& service, int timeout_ms, std::intptr_t& socket_out,
                 std::string& error) {
    // The lookup and the connection, all within the one limit.
    const long long deadline = monotonic_ms() + timeout_ms;
    addrinfo* found = nullptr;
    if (!look_up(host, service, deadline, timeout_ms, found, error)) return false;
    // Each address of the name in turn.
    error = "no address";
    for (addrinfo* candidate = found; candidate; candidate = candidate->ai_next) {
        const int fd = socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                              candidate->ai_protocol);
        if (fd < 0) {
            error = std::strerror(errno);
            continue;
        }
        int result = connect(fd, candidate->ai_addr, candidate->ai_addrlen);
        if (result != 0 && errno == EINPROGRESS) {
            short revents = 0;
            const long long left = deadline - monotonic_ms();
            const int ready = poll_for(fd, POLLOUT, left > 0 ? static_cast<int>(left) : 0, revents);
            int socket_error = ETIMEDOUT;
            if (ready > 0) {
                socklen_t length = sizeof socket_error;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &socket_error, &length) != 0) socket_error = errno;
            }
            result = socket_error == 0 ? 0 : -1;
            errno = socket_error;
        }
        if (result == 0) {
            // Nagle's algorithm stays on: the data goes one byte a write, and
            // it gathers the bytes written while a segment is unacknowledged
            // into one segment instead of one each (half the CPU per byte).
            // What must not wait is pushed (net_push).
            freeaddrinfo(found);
            socket_out = fd;
            return true;
        }
        error = errno == ETIMEDOUT ? "no answer within " + std::to_string(timeout_ms / 1000) + " s"
                                   : std::strerror(errno);
        close(fd);
    }
    freeaddrinfo(found);
    return false;
}

NetWait net_wait(std::intptr_t socket, bool want_write, int timeout_ms, bool& readable) {
    short revents = 0;
    const int ready = poll_for(static_cast<int>(socket), want_write ? POLLIN | POLLOUT : POLLIN, timeout_ms, revents);
    if (ready < 0) return net_failed;
    if (ready == 0) return net_quiet;
    // A closed or failed connection shows as readable: the receive says how.
    readable = (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    return net_ready;
}

long net_send(std::intptr_t socket, const unsigned char* data, std::size_t size) {
    for (;;) {
        const ssize_t n = send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        last_error = errno;
        return errno == EPIPE || errno == ECONNRESET ? -3 : -1;
    }
}

long net_receive(std::intptr_t socket, unsigned char* data, std::size_t size) {
    for (;;) {
        const ssize_t n = recv(static_cast<int>(socket), data, size, 0);
#ifdef TCP_QUICKACK
        if (n > 0) {
            // Acknowledge at once, not up to 40 ms later: a server that
            // gathers its small writes (ser2net does) holds its next answer
            // or acknowledgement byte until this one is acknowledged. Linux
            // falls back to delayed acknowledgements after each receive.
            const int on = 1;
            setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        }
#endif
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
        last_error = errno;
        return errno == ECONNRESET ? -3 : -1;
    }
}

bool net_push(std::intptr_t socket) {
    // Turning TCP_NODELAY on sends whatever Nagle holds back; off again, the
    // following bytes are gathered as before.
    const int on = 1, off = 0;
    const int fd = static_cast<int>(socket);
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off) != 0) {
        last_error = errno;
        return false;
    }
    return true;
}

void net_discard_unsent(std::intptr_t socket) {
    const linger reset{1, 0};
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

void net_close(std::intptr_t socket) { close(static_cast<int>(socket)); }

std::string net_last_error() { return std::strerror(last_error); }
