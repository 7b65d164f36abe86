// The network backend's sockets on Windows: Winsock, non-blocking, select().
//
// select() is the one wait here, for the connection as for the data:
// WSAPoll before Windows 10 2004 never reports a connection that was
// refused, so a server that refuses would look like one that does not
// answer. (Wine's WSAPoll reports it: the Wine tests cannot show this.)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "link/backend.h"
#include "link/clock.h"

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

// Waits until the socket can be read (or has failed), or with want_write
// until it can be written (a connection in progress: is made or has
// failed), for at most timeout_ms (negative: no limit). Returns >0 ready,
// 0 time out, <0 failure.
int wait_for(SOCKET s, bool want_write, int timeout_ms, bool& readable) {
    fd_set read_set, write_set, error_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&error_set);
    FD_SET(s, &read_set);
    FD_SET(s, &error_set);
    if (want_write) FD_SET(s, &write_set);
    timeval limit{};
    if (timeout_ms >= 0) {
        limit.tv_sec = timeout_ms / 1000;
        limit.tv_usec = (timeout_ms % 1000) * 1000;
    }
    const int ready = select(0, &read_set, &write_set, &error_set, timeout_ms >= 0 ? &limit : nullptr);
    if (ready == SOCKET_ERROR) {
        last_error = WSAGetLastError();
        return -1;
    }
    // A failed connection shows in the error set; the receive, or SO_ERROR
    // for a connection in progress, says how.
    readable = FD_ISSET(s, &read_set) || FD_ISSET(s, &error_set);
    return ready;
}

// A name lookup on a thread of its own, so that it can be waited for with
// a limit on every Windows from 7 on (GetAddrInfoEx takes a time-out only
// from Windows 8). A lookup that runs past the limit is left to finish;
// whichever side lets go last frees the request.
struct Lookup {
    std::string host, service;
    addrinfo* found = nullptr;
    int result = 0;
    volatile LONG holders = 2;
};

void let_go(Lookup* lookup) {
    if (InterlockedDecrement(&lookup->holders) == 0) {
        if (lookup->found) freeaddrinfo(lookup->found);
        delete lookup;
    }
}

DWORD WINAPI look_up_on_its_own(LPVOID parameter) {
    Lookup* lookup = static_cast<Lookup*>(parameter);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    lookup->result = getaddrinfo(lookup->host.c_str(), lookup->service.c_str(), &hints, &lookup->found);
    let_go(lookup);
    return 0;
}

// A numeric address needs no lookup and gets none.
bool look_up(const std::string& host, const std::string& service, long long deadline, int timeout_ms,
             addrinfo*& found, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0) return true;

    Lookup* lookup = new Lookup;
    lookup->host = host;
    lookup->service = service;
    const HANDLE thread = CreateThread(nullptr, 0, look_up_on_its_own, lookup, 0, nullptr);
    if (!thread) {
        delete lookup;
        error = words_of(static_cast<int>(GetLastError()));
        return false;
    }
    const long long left = deadline - monotonic_ms();
    const DWORD waited = WaitForSingleObject(thread, left > 0 ? static_cast<DWORD>(left) : 0);
    CloseHandle(thread);
    if (waited != WAIT_OBJECT_0) {
        let_go(lookup);
        error = "the name lookup did not finish within " + std::to_string(timeout_ms / 1000) + " s";
        return false;
    }
    const bool ok = lookup->result == 0;
    if (ok) {
        found = lookup->found;
        lookup->found = nullptr;
    } else {
        error = words_of(lookup->result);
    }
    let_go(lookup);
    return ok;
}

}  // namespace

bool net_connect(const std::string& host, const std::string& service, int timeout_ms, std::intptr_t& socket_out,
                 std::string& error) {
    if (!started()) {
        error = "Winsock cannot be started";
        return false;
    }
    // The lookup and the connection, all within the one limit.
    const long long deadline = monotonic_ms() + timeout_ms;
    addrinfo* found = nullptr;
    if (!look_up(host, service, deadline, timeout_ms, found, error)) return false;
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
            bool failed = false;
            const long long left = deadline - monotonic_ms();
            const int ready = wait_for(s, true, left > 0 ? static_cast<int>(left) : 0, failed);
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
    const int ready = wait_for(static_cast<SOCKET>(socket), want_write, timeout_ms, readable);
    if (ready < 0) return net_failed;
    if (ready == 0) return net_quiet;
    return net_ready;
}

long net_send(std::intptr_t socket, const unsigned char* data, std::size_t size) {
    const int n = send(static_cast<SOCKET>(socket), reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
    if (n != SOCKET_ERROR) return n;
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return 0;
    last_error = error;
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN ? -3 : -1;
}

long net_receive(std::intptr_t socket, unsigned char* data, std::size_t size) {
    const int n = recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(data), static_cast<int>(size), 0);
    if (n != SOCKET_ERROR) return n;
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return -2;
    last_error = error;
    return error == WSAECONNRESET ? -3 : -1;
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
