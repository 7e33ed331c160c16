// The identity, gate, value and browse operations: each unpacks the host's
// request and hands plain arguments to its layer.
#include "address/parser.h"
#include "browse/browse.h"
#include "core/channel.h"
#include "driver/operations.h"
#include "driver/results.h"
#include "modbus/transactions.h"

namespace zel {
namespace {

constexpr char kDriverName[] = "Modicon Modbus";
constexpr char kDriverDescription[] = "ModBus/J-BUS (RTU protocol) 32 Bit driver Installed.\n";

// The channel and the argument record of a request; false when either is
// missing.
template <typename Record> bool Unpack(DriverRequest* req, ChannelState*& ch, Record*& arg) {
    ch = req ? StateOf(req) : nullptr;
    arg = req ? static_cast<Record*>(req->argument) : nullptr;
    return ch && arg;
}

// Both gate operations: the address is parsed by the channel's rules, then
// `check`ed as a single gate or as a block.
template <typename Check> int32_t ParseGate(DriverRequest* req, Check check) {
    ChannelState* ch = nullptr;
    ParseRequest* parse = nullptr;
    if (!Unpack(req, ch, parse)) return kRefused;
    const AddressRules rules = RulesOf(*ch);
    Verdict v = Parse(rules, parse->gas, parse->tag);
    if (v == Verdict::kAccepted) v = check(rules, *parse);
    return ToHost(v);
}

// The value operations refuse a request without its records, and all but a
// block write one for a channel that is not enabled: a block write runs and
// fails on the line.
template <typename Transaction>
int32_t ValueOperation(DriverRequest* req, bool needsOpenChannel, Transaction transaction) {
    ChannelState* ch = nullptr;
    IoRequest* io = nullptr;
    if (!Unpack(req, ch, io) || (needsOpenChannel && ch->portOpen == 0)) return kRefused;
    return ToHost(transaction(*ch, *io));
}

} // namespace

int32_t GetZelInfo(DriverRequest* req) {
    auto* info = static_cast<DriverInfo*>(req->argument);
    if (!info) return kCommFailure;
    info->kind = 80;
    info->name = kDriverName;
    info->description = kDriverDescription;
    info->stateSize = kChannelStateSize;
    info->four = 4;
    info->baud = 9600;
    info->dataBits = 8;
    info->stopBits = 0;
    info->parity = 0;
    info->version = 0x00870023;
    return kOk;
}

int32_t SingleAddressParser(DriverRequest* req) {
    return ParseGate(req, [](const AddressRules& rules, const ParseRequest& p) {
        return CheckSingleGate(rules, p.tag, p.gateType);
    });
}

int32_t BlockAddressParser(DriverRequest* req) {
    return ParseGate(req, [](const AddressRules& rules, const ParseRequest& p) {
        return CheckBlock(rules, p.tag, p.blockLength);
    });
}

int32_t SingleRead(DriverRequest* req) {
    return ValueOperation(req, true, ReadSingle);
}

int32_t BlockRead(DriverRequest* req) {
    return ValueOperation(req, true, ReadBlock);
}

int32_t SingleWrite(DriverRequest* req) {
    return ValueOperation(req, true, WriteSingle);
}

int32_t BlockWrite(DriverRequest* req) {
    return ValueOperation(req, false, WriteBlock);
}

int32_t BrowseAddress(DriverRequest* req) {
    const auto* params = static_cast<const BrowseParams*>(req->argument);
    if (!params) return kBrowseRefused;
    return ToHost(Browse(req->channel, *params));
}

} // namespace zel
