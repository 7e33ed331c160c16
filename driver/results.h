// The one place where the results of the layers become the result codes the
// host sees.
#pragma once

#include "address/parser.h"
#include "browse/browse.h"
#include "core/records.h"
#include "modbus/transactions.h"
#include "serial/serial.h"

namespace zel {

// A gate address refused by the parser or by a gate check.
constexpr int32_t ToHost(Verdict v) {
    return v == Verdict::kAccepted ? kOk : kRefused;
}

// A value operation: refused or a protocol error 1, no answer 2.
constexpr int32_t ToHost(TxnResult r) {
    switch (r) {
    case TxnResult::kOk:
        return kOk;
    case TxnResult::kRefused:
        return kRefused;
    case TxnResult::kCommFailure:
        return kCommFailure;
    }
    return kCommFailure;
}

// Closing a port: any failure of the platform is a port failure.
constexpr int32_t ToHost(SerialResult r) {
    return r == SerialResult::kOk ? kOk : kCommFailure;
}

constexpr int32_t ToHost(BrowseResult r) {
    return r == BrowseResult::kAccepted ? kOk : kBrowseRefused;
}

} // namespace zel
