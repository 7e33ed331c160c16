// Dead stations on a multi-drop line (DEMOTE = N, S in the channel's
// initialization file). A station that lets N transactions in a row pass
// without a single byte of reply is demoted: for S seconds its requests are
// answered with a communication failure at once, without touching the line,
// so that the stations that do answer are not kept waiting three time-outs
// and a late-reply window per poll. Then one request goes to the line as a
// probe; a reply of any kind (a value, an exception, even a frame with a bad
// CRC) restores the station, silence demotes it for S seconds more.
//
// What the driver keeps of each silent station lives in the channel block
// (ChannelState::watched); without DEMOTE nothing is kept and nothing
// changes.
#pragma once

#include <cstdint>

#include "core/channel.h"

namespace zel {

// Before a transaction to `station`: true when the station is demoted and
// its time has not run out. The caller answers the request with a
// communication failure and sends nothing.
bool AnsweredWithoutTrying(const ChannelState& channel, uint8_t station);

// After a transaction to `station`: `heard` tells whether any byte came back
// after its requests.
void NoteReplies(ChannelState& channel, uint8_t station, bool heard);

// Forgets every station's record.
void ForgetStations(ChannelState& channel);

} // namespace zel
