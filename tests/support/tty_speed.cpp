// Kept apart from pty.cpp: the kernel's termios2 and <termios.h> clash.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "tests/support/pty.h"

namespace zeltest {
namespace {

// The standard rates, for ttys whose termios2 request is not available.
uint32_t RateOfCode(unsigned code) {
    static const struct {
        unsigned code;
        uint32_t rate;
    } kRates[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},    {B9600, 9600},
                  {B19200, 19200},   {B38400, 38400},   {B57600, 57600},  {B115200, 115200},
                  {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (const auto& r : kRates)
        if (r.code == code) return r.rate;
    return 0;
}

} // namespace

uint32_t TtyOutputSpeed(int fd) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) == 0) return t.c_ospeed;
    struct termios old;
    return ioctl(fd, TCGETS, &old) == 0 ? RateOfCode(old.c_cflag & CBAUD) : 0;
}

bool HasTermios2(int fd) {
    struct termios2 t;
    return ioctl(fd, TCGETS2, &t) == 0;
}

} // namespace zeltest
