// The Telnet side of RFC 2217: escaping of data, the COM-PORT-OPTION
// commands a client sends, and a decoder for what a server sends (data with
// its 0xFF bytes doubled, option negotiation, and the server's answers to
// the COM-PORT-OPTION commands).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel {
namespace net {
namespace telnet {

constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;

// Options: binary transmission (RFC 856), suppress go-ahead (RFC 858) and
// COM-PORT-OPTION (RFC 2217).
constexpr uint8_t kOptBinary = 0;
constexpr uint8_t kOptSga = 3;
constexpr uint8_t kOptComPort = 44;

// COM-PORT-OPTION commands from the client; the server answers each with the
// command plus kServerOffset and the value it has set.
enum ComPortCommand : uint8_t {
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kPurgeData = 12,
};
constexpr uint8_t kServerOffset = 100;

// Values of SET-CONTROL and PURGE-DATA.
constexpr uint8_t kControlDtrOn = 8;
constexpr uint8_t kControlDtrOff = 9;
constexpr uint8_t kControlRtsOn = 11;
constexpr uint8_t kControlRtsOff = 12;
constexpr uint8_t kPurgeReceiveBuffer = 1;

// Copies `n` data bytes to `out` with every 0xFF doubled; `out` must hold
// 2 * n bytes. Returns the bytes written.
size_t Escape(const uint8_t* data, size_t n, uint8_t* out);

// Writes IAC SB COM-PORT-OPTION <command> <value, escaped> IAC SE to `out`,
// which must hold 6 + 2 * n bytes. Returns the bytes written.
size_t Command(uint8_t command, const uint8_t* value, size_t n, uint8_t* out);

// The client's opening: it will send and receive binary, suppress go-ahead
// both ways, and offers COM-PORT-OPTION. Returns the bytes written (15).
size_t Opening(uint8_t* out);
constexpr size_t kOpeningSize = 15;

// Decodes what a server sends, in pieces of any size.
class Decoder {
  public:
    // Takes `n` received bytes; the data among them goes to `data` (room
    // for `n` bytes). Returns the data bytes written. Answers to the
    // server's negotiation collect in reply().
    size_t Feed(const uint8_t* in, size_t n, uint8_t* data);

    // Negotiation answers waiting to be sent; Sent() drops them.
    const uint8_t* reply() const { return reply_; }
    size_t replyLength() const { return replyLength_; }
    void Sent() { replyLength_ = 0; }

    bool comPortAccepted() const { return comPort_ == Option::kOn; }
    bool comPortRefused() const { return comPort_ == Option::kRefused; }
    // True once the server has answered COM-PORT-OPTION command `command`.
    bool Answered(uint8_t command) const { return (answered_ >> command) & 1u; }
    // Forgets the answers, before the commands are sent again.
    void ForgetAnswers() { answered_ = 0; }
    // The value of the server's last answer to SET-BAUDRATE.
    uint32_t answeredBaudRate() const { return answeredBaudRate_; }

  private:
    enum class State : uint8_t { kData, kIac, kVerb, kSub, kSubIac };
    enum class Option : uint8_t { kOff, kOn, kRefused };

    void Negotiate(uint8_t verb, uint8_t option);
    void Answer(uint8_t verb, uint8_t option);
    void EndOfSubnegotiation();

    State state_ = State::kData;
    uint8_t verb_ = 0;
    uint8_t sub_[8] = {};
    size_t subLength_ = 0;
    bool subOverflow_ = false;
    Option comPort_ = Option::kOff;
    uint32_t answered_ = 0;
    uint32_t answeredBaudRate_ = 0;
    uint8_t reply_[48] = {};
    size_t replyLength_ = 0;
};

} // namespace telnet
} // namespace net
} // namespace zel
