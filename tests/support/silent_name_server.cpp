// silent_name_server RESOLV_CONF PROGRAM [ARG...]: runs PROGRAM where the
// name server never answers, as on a network whose resolver is down.
//
// In namespaces of its own (user, mount, network; no privileges needed
// where unprivileged user namespaces are allowed, as on Debian), with
// RESOLV_CONF in place of /etc/resolv.conf: it should name 127.0.0.1, where
// a UDP socket is bound to port 53 and never read, so that every query
// waits out the resolver's own time-out. The network namespace has nothing
// but its loopback: nothing outside is reached. PROGRAM runs as the same
// user, with no privileges.
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int fail(const char* what) {
    std::fprintf(stderr, "silent_name_server: %s: %s\n", what, std::strerror(errno));
    return 126;
}

bool write_file(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: silent_name_server RESOLV_CONF PROGRAM [ARG...]\n");
        return 2;
    }
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0) return fail("unshare (are user namespaces allowed?)");
    // The same user inside as outside.
    write_file("/proc/self/setgroups", "deny");
    if (!write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n")) {
        return fail("uid_map");
    }
    if (!write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n")) {
        return fail("gid_map");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail("mount --make-rprivate /");
    if (mount(argv[1], "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) return fail("mount --bind resolv.conf");

    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback{};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(control, SIOCGIFFLAGS, &loopback) != 0) return fail("SIOCGIFFLAGS lo");
    loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP);
    if (ioctl(control, SIOCSIFFLAGS, &loopback) != 0) return fail("SIOCSIFFLAGS lo");
    close(control);

    // Bound and never read: queries are taken and never answered. PROGRAM
    // inherits it, so it lives exactly as long as PROGRAM.
    const int name_server = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(name_server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return fail("bind port 53");

    execvp(argv[2], argv + 2);
    return fail(argv[2]);
}
