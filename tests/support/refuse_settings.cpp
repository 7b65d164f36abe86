// Interposed before the C library (LD_PRELOAD) to play a serial adapter that
// does not take its settings, as PELKRON_TEST_REFUSE says:
//   fail     tcsetattr fails with EINVAL
//   speed    the speed stays what it was (an adapter that cannot do 1200 baud)
//   crtscts  hardware flow control stays on
#include <dlfcn.h>
#include <termios.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" int tcsetattr(int fd, int actions, const struct termios* wanted) {
    using Real = int (*)(int, int, const struct termios*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    const char* mode = std::getenv("PELKRON_TEST_REFUSE");
    if (!mode) return real(fd, actions, wanted);
    if (std::strcmp(mode, "fail") == 0) {
        errno = EINVAL;
        return -1;
    }
    struct termios taken = *wanted;
    if (std::strcmp(mode, "speed") == 0) {
        struct termios now {};
        tcgetattr(fd, &now);
        cfsetispeed(&taken, cfgetispeed(&now));
        cfsetospeed(&taken, cfgetospeed(&now));
    } else if (std::strcmp(mode, "crtscts") == 0) {
        taken.c_cflag |= CRTSCTS;
    }
    return real(fd, actions, &taken);
}
