// The network backend's sockets on Windows: Winsock, non-blocking, WSAPoll().
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "link/backend.h"

namespace {

int last_error = 0;

bool started() {
    static bool ready = false;
    if (!ready) {
        WSADATA data;
        ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    return ready;
}

std::string words_of(int error) {
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string words(text, length);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.')) words.pop_back();
    return words.empty() ? "Winsock error " + std::to_string(error) : words;
}

int poll_for(SOCKET s, short events, int timeout_ms, short& revents) {
    WSAPOLLFD entry{};
    entry.fd = s;
    entry.events = events;
    const int ready = WSAPoll(&entry, 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (ready == SOCKET_ERROR) {
        last_error = WSAGetLastError();
        return -1;
    }
    revents = entry.revents;
    return ready;
}

}  // namespace

long long net_now_ms() { return static_cast<long long>(GetTickCount64()); }

bool net_connect(const std::string& host, const std::string& service, int timeout_ms, std::intptr_t& socket_out,
                 std::string& error) {
    if (!started()) {
        error = "Winsock cannot be started";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (lookup != 0) {
        error = words_of(lookup);
        return false;
    }
    const long long deadline = net_now_ms() + timeout_ms;
    error = "no address";
    for (addrinfo* candidate = found; candidate; candidate = candidate->ai_next) {
        const SOCKET s = socket(candidate->ai_family, candidate->ai_socktype, candidate->ai_protocol);
        if (s == INVALID_SOCKET) {
            error = words_of(WSAGetLastError());
            continue;
        }
        u_long non_blocking = 1;
        ioctlsocket(s, FIONBIO, &non_blocking);
        int result = connect(s, candidate->ai_addr, static_cast<int>(candidate->ai_addrlen));
        int socket_error = result == 0 ? 0 : WSAGetLastError();
        if (socket_error == WSAEWOULDBLOCK) {
            short revents = 0;
            const long long left = deadline - net_now_ms();
            const int ready = poll_for(s, POLLOUT, left > 0 ? static_cast<int>(left) : 0, revents);
            socket_error = WSAETIMEDOUT;
            if (ready > 0) {
                int length = sizeof socket_error;
                if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socket_error), &length) != 0) {
                    socket_error = WSAGetLastError();
                }
            }
        }
        if (socket_error == 0) {
            // Nagle's algorithm stays on, as on POSIX: it gathers the bytes
            // written one at a time while a segment is unacknowledged.
            freeaddrinfo(found);
            socket_out = static_cast<std::intptr_t>(s);
            return true;
        }
        error = socket_error == WSAETIMEDOUT ? "no answer within " + std::to_string(timeout_ms / 1000) + " s"
                                             : words_of(socket_error);
        closesocket(s);
    }
    freeaddrinfo(found);
    return false;
}

NetWait net_wait(std::intptr_t socket, bool want_write, int timeout_ms, bool& readable) {
    short revents = 0;
    const int ready = poll_for(static_cast<SOCKET>(socket), want_write ? POLLRDNORM | POLLWRNORM : POLLRDNORM,
                               timeout_ms, revents);
    if (ready < 0) return net_failed;
    if (ready == 0) return net_quiet;
    readable = (revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
    return net_ready;
}

long net_send(std::intptr_t socket, const unsigned char* data, std::size_t size) {
    const int n = send(static_cast<SOCKET>(socket), reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
    if (n != SOCKET_ERROR) return n;
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return 0;
    last_error = error;
    return -1;
}

long net_receive(std::intptr_t socket, unsigned char* data, std::size_t size) {
    const int n = recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(data), static_cast<int>(size), 0);
    if (n != SOCKET_ERROR) return n;
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return -2;
    last_error = error;
    return -1;
}

bool net_push(std::intptr_t socket) {
    // Under Wine this is the POSIX push. Should a Windows stack not send on
    // the switch, what Nagle holds goes out with the server's acknowledgement.
    const BOOL on = TRUE, off = FALSE;
    const SOCKET s = static_cast<SOCKET>(socket);
    if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&off), sizeof off) != 0) {
        last_error = WSAGetLastError();
        return false;
    }
    return true;
}

void net_discard_unsent(std::intptr_t socket) {
    const LINGER reset{1, 0};
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
               sizeof reset);
}

void net_close(std::intptr_t socket) { closesocket(static_cast<SOCKET>(socket)); }

std::string net_last_error() { return words_of(last_error); }
