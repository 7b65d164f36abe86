// Debian's ser2net serving one device over telnet with RFC 2217 on
// 127.0.0.1, for the tests and the bench of ports on other machines.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support {

// Binds the socket to a free port on 127.0.0.1 and returns the port.
int bind_to_loopback(int fd);

// A port on 127.0.0.1 that nobody listens on right now.
int free_port();

// Whether something listens on 127.0.0.1:port, from the kernel's table: a
// trial connection would make ser2net open the device.
bool listening(int port);

// ser2net on a port of its own, with a configuration written for it into
// `folder`, its connector on `device` (1200 8N1) and the connection's
// `options` ("name: value" each). Records a test failure when it cannot run
// or does not listen.
class Ser2net {
public:
    Ser2net(const std::string& folder, const std::string& device, int port,
            const std::vector<std::string>& options = {});
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    void stop();
    std::string address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

private:
    int port_;
    pid_t pid_ = -1;
};

}  // namespace testing_support
