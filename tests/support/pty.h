// A pseudo-terminal pair standing in for a serial line in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zeltest {

// The driver opens `slavePath` as its port; the test plays the far end on
// `master`. A slave descriptor stays open for the life of the pair, because
// reading the master while no slave descriptor is open gives EIO.
class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& slavePath() const { return slavePath_; }

    // Writes all bytes to the master side (what the far end sends).
    bool Send(const void* bytes, size_t n);
    bool Send(const std::string& bytes) { return Send(bytes.data(), bytes.size()); }
    // Reads from the master side until `max` bytes came or `ms` passed.
    std::string Receive(size_t max, int ms);
    // Bytes the driver has not read yet, as the slave's queue reports them.
    int Waiting() const;

    // Line settings of the slave tty, as the kernel keeps them.
    uint32_t SlaveBaud() const;
    bool SlaveTwoStopBits() const;

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Output speed of a tty, read with termios2 (any rate, not only B-constants).
uint32_t TtyOutputSpeed(int fd);
// False where the tty cannot be asked with termios2 (an emulator of another
// ABI): only the standard rates can be set there.
bool HasTermios2(int fd);

} // namespace zeltest
