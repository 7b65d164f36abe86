#include "device/out_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace device_tool {

namespace {

std::size_t name_start(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

}  // namespace

bool make_out_file(const std::string& target, OutFile& out) {
    struct stat existing {};
    if (stat(target.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
        errno = EISDIR;
        return false;
    }
    const std::size_t start = name_start(target);
    std::string temporary = target.substr(0, start) + "." + target.substr(start) + ".part-XXXXXX";
    const int fd = mkstemp(&temporary[0]);
    if (fd < 0) return false;
    // mkstemp makes the file private; the result gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    out.target = target;
    out.temporary = temporary;
    out.fd = fd;
    return true;
}

bool finish_out_file(OutFile& out, const std::vector<std::uint8_t>& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(out.fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool written = done == data.size() && fsync(out.fd) == 0;
    const int saved = errno;
    close(out.fd);
    out.fd = -1;
    if (written && rename(out.temporary.c_str(), out.target.c_str()) == 0) return true;
    const int reason = written ? errno : saved;
    unlink(out.temporary.c_str());
    errno = reason;
    return false;
}

void drop_out_file(OutFile& out) {
    if (out.fd < 0) return;
    close(out.fd);
    out.fd = -1;
    unlink(out.temporary.c_str());
}

std::string numbered_name(const std::string& name, std::size_t n) {
    const std::size_t start = name_start(name);
    std::size_t dot = name.rfind('.');
    // A leading dot makes a hidden name, not an extension.
    if (dot == std::string::npos || dot <= start) dot = name.size();
    return name.substr(0, dot) + "-" + std::to_string(n) + name.substr(dot);
}

}  // namespace device_tool
