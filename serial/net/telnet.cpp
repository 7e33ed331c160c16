#include "serial/net/telnet.h"

namespace zel {
namespace net {
namespace telnet {

size_t Escape(const uint8_t* data, size_t n, uint8_t* out) {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        out[k++] = data[i];
        if (data[i] == kIac) out[k++] = kIac;
    }
    return k;
}

size_t Command(uint8_t command, const uint8_t* value, size_t n, uint8_t* out) {
    size_t k = 0;
    out[k++] = kIac;
    out[k++] = kSb;
    out[k++] = kOptComPort;
    out[k++] = command;
    k += Escape(value, n, out + k);
    out[k++] = kIac;
    out[k++] = kSe;
    return k;
}

size_t Opening(uint8_t* out) {
    static constexpr uint8_t kOpening[kOpeningSize] = {
        kIac,    kWill, kOptBinary, kIac,    kDo,  kOptBinary, kIac,        kWill,
        kOptSga, kIac,  kDo,        kOptSga, kIac, kWill,      kOptComPort,
    };
    for (size_t i = 0; i < kOpeningSize; ++i)
        out[i] = kOpening[i];
    return kOpeningSize;
}

size_t Decoder::Feed(const uint8_t* in, size_t n, uint8_t* data) {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = in[i];
        switch (state_) {
        case State::kData:
            if (b == kIac)
                state_ = State::kIac;
            else
                data[k++] = b;
            break;
        case State::kIac:
            if (b == kIac) {
                data[k++] = kIac;
                state_ = State::kData;
            } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                verb_ = b;
                state_ = State::kVerb;
            } else if (b == kSb) {
                subLength_ = 0;
                subOverflow_ = false;
                state_ = State::kSub;
            } else {
                state_ = State::kData; // NOP, go-ahead, data mark and the like
            }
            break;
        case State::kVerb:
            Negotiate(verb_, b);
            state_ = State::kData;
            break;
        case State::kSub:
            if (b == kIac) {
                state_ = State::kSubIac;
            } else if (subLength_ < sizeof sub_) {
                sub_[subLength_++] = b;
            } else {
                subOverflow_ = true;
            }
            break;
        case State::kSubIac:
            if (b == kIac) {
                if (subLength_ < sizeof sub_)
                    sub_[subLength_++] = kIac;
                else
                    subOverflow_ = true;
                state_ = State::kSub;
            } else {
                // IAC SE ends it; anything else after IAC ends it too.
                EndOfSubnegotiation();
                state_ = State::kData;
            }
            break;
        }
    }
    return k;
}

void Decoder::Answer(uint8_t verb, uint8_t option) {
    if (replyLength_ + 3 > sizeof reply_) return;
    reply_[replyLength_++] = kIac;
    reply_[replyLength_++] = verb;
    reply_[replyLength_++] = option;
}

// The client asked for binary, go-ahead suppression and COM-PORT-OPTION in
// its opening, so the server's agreement to those needs no answer; every
// other option is refused.
void Decoder::Negotiate(uint8_t verb, uint8_t option) {
    const bool ours = option == kOptBinary || option == kOptSga || option == kOptComPort;
    switch (verb) {
    case kDo:
        if (option == kOptComPort) comPort_ = Option::kOn;
        if (!ours) Answer(kWont, option);
        break;
    case kDont:
        if (option == kOptComPort) comPort_ = Option::kRefused;
        break;
    case kWill:
        if (!ours || option == kOptComPort) Answer(kDont, option);
        break;
    default: // kWont: nothing to answer for an option that is then off
        break;
    }
}

void Decoder::EndOfSubnegotiation() {
    if (subOverflow_ || subLength_ < 2 || sub_[0] != kOptComPort) return;
    const uint8_t command = sub_[1];
    if (command <= kServerOffset || command - kServerOffset >= 32) return;
    const uint8_t asked = static_cast<uint8_t>(command - kServerOffset);
    answered_ |= 1u << asked;
    if (asked == kSetBaudRate && subLength_ >= 6)
        answeredBaudRate_ = static_cast<uint32_t>(sub_[2]) << 24 |
                            static_cast<uint32_t>(sub_[3]) << 16 |
                            static_cast<uint32_t>(sub_[4]) << 8 | sub_[5];
}

} // namespace telnet
} // namespace net
} // namespace zel
