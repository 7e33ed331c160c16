// Helpers shared by the fuzz targets: a reader over the fuzzer's input,
// heap blocks of an exact size (so that the address sanitizer sees every
// byte read or written past a record), and the stand-in host's log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelfuzz {

// Hands out the input's bytes front to back; zeros once it is used up.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    uint8_t Byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    uint16_t U16() {
        const uint16_t lo = Byte();
        return static_cast<uint16_t>(lo | (Byte() << 8));
    }
    uint32_t U32() {
        const uint32_t lo = U16();
        return lo | (static_cast<uint32_t>(U16()) << 16);
    }
    // Up to `count` bytes, fewer when the input ends.
    size_t Take(size_t count, const uint8_t** bytes) {
        if (count > n_) count = n_;
        *bytes = p_;
        p_ += count;
        n_ -= count;
        return count;
    }
    size_t Left() const { return n_; }

  private:
    const uint8_t* p_;
    size_t n_;
};

// A heap block of exactly `size` bytes, freed on destruction.
class Block {
  public:
    explicit Block(size_t size) : size_(size), bytes_(new uint8_t[size ? size : 1]) {}
    ~Block() { delete[] bytes_; }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    uint8_t* data() { return bytes_; }
    const uint8_t* data() const { return bytes_; }
    size_t size() const { return size_; }
    template <typename T> T* As() { return reinterpret_cast<T*>(bytes_); }

  private:
    size_t size_;
    uint8_t* bytes_;
};

// A NUL-terminated copy of `text` in a block of exactly length + 1 bytes.
inline Block* NewString(const uint8_t* text, size_t length) {
    Block* b = new Block(length + 1);
    std::memcpy(b->data(), text, length);
    b->data()[length] = 0;
    return b;
}

// Silences the stand-in host's printing (once) and empties its record.
void QuietHostLog();
// Log lines recorded since the last QuietHostLog.
int HostLogCount();

// Stops the run with a message when `ok` is false (the fuzzer reports it
// as a crash with the input that caused it).
#define ZELFUZZ_CHECK(ok, ...)                                                                     \
    do {                                                                                           \
        if (!(ok)) {                                                                               \
            std::fprintf(stderr, "check failed: %s: ", #ok);                                       \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
            std::fprintf(stderr, "\n");                                                            \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

} // namespace zelfuzz
