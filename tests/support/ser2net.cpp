#include "tests/support/ser2net.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

namespace testing_support {

namespace {

const char* const ser2net_program = "/usr/sbin/ser2net";

}  // namespace

int bind_to_loopback(int fd) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int port = bind_to_loopback(fd);
    close(fd);
    return port;
}

bool listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;
    }
    return false;
}

Ser2net::Ser2net(const std::string& folder, const std::string& device, int port,
                 const std::vector<std::string>& options)
    : port_(port) {
    const std::string config = folder + "/ser2net.yaml";
    std::ofstream yaml(config);
    yaml << "connection: &under_test\n"
         << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
         << "  connector: serialdev," << device << ",1200n81,local\n";
    if (!options.empty()) yaml << "  options:\n";
    for (const std::string& option : options) yaml << "    " << option << "\n";
    yaml.close();
    if (access(ser2net_program, X_OK) != 0) {
        ADD_FAILURE() << ser2net_program << " is missing: make installs Debian's ser2net";
        return;
    }
    // Everything the child needs is made before the fork: the simulated
    // device's thread may be running.
    const std::string log = folder + "/ser2net.log";
    const std::string pid_file = folder + "/pid";
    pid_ = fork();
    if (pid_ == 0) {
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        execl(ser2net_program, ser2net_program, "-n", "-c", config.c_str(), "-P", pid_file.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500 && !listening(port); ++i) usleep(10000);
    if (!listening(port)) {
        std::ifstream text(log);
        ADD_FAILURE() << "ser2net does not listen on port " << port << ": "
                      << std::string(std::istreambuf_iterator<char>(text), {});
    }
}

Ser2net::~Ser2net() { stop(); }

void Ser2net::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace testing_support
