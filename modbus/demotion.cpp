#include "modbus/demotion.h"

#include "core/log.h"
#include "core/log_texts.h"
#include "modbus/bytes.h"
#include "serial/serial.h"

namespace zel {
namespace {

bool Enabled(const ChannelState& channel, uint8_t station) {
    // Station 0 is the broadcast address, which never answers.
    return channel.demoteAfter != 0 && station != 0;
}

// A monotonic clock in milliseconds; it wraps after 49 days, and every
// comparison is made on the difference.
uint32_t NowMs() {
    return static_cast<uint32_t>(NowUs() / 1000u);
}

int32_t MsLeft(const StationWatch& w) {
    return static_cast<int32_t>(LoadLe32(w.untilMs) - NowMs());
}

const StationWatch* Find(const ChannelState& channel, uint8_t station) {
    for (const StationWatch& w : channel.watched)
        if (w.station == station) return &w;
    return nullptr;
}

StationWatch* Find(ChannelState& channel, uint8_t station) {
    return const_cast<StationWatch*>(Find(static_cast<const ChannelState&>(channel), station));
}

// The station's entry, or a free one for it; null when every entry is taken
// by other silent stations.
StationWatch* Take(ChannelState& channel, uint8_t station) {
    if (StationWatch* w = Find(channel, station)) return w;
    for (StationWatch& w : channel.watched) {
        if (w.station == 0) {
            w = StationWatch{station, 0, {}};
            return &w;
        }
    }
    return nullptr;
}

void Demote(const ChannelState& channel, StationWatch& w) {
    w.silent = kDemoted;
    StoreLe32(w.untilMs, NowMs() + 1000u * channel.demoteSeconds);
}

} // namespace

bool AnsweredWithoutTrying(const ChannelState& channel, uint8_t station) {
    if (!Enabled(channel, station)) return false;
    const StationWatch* w = Find(channel, station);
    if (!w || w->silent != kDemoted) return false;
    // Once its time has run out, this request is the probe.
    const int32_t left = MsLeft(*w);
    if (left <= 0) return false;
    ZEL_LOG(kLogTrace, ZEL_TXT_DEMOTED_SKIP, static_cast<int>(channel.channel),
            static_cast<unsigned>(station), static_cast<unsigned>((left + 999) / 1000));
    return true;
}

void NoteReplies(ChannelState& channel, uint8_t station, bool heard) {
    if (!Enabled(channel, station)) return;
    const int ch = channel.channel;
    if (heard) {
        StationWatch* w = Find(channel, station);
        if (!w) return;
        if (w->silent == kDemoted)
            ZEL_LOG(kLogEvent, ZEL_TXT_DEMOTED_ENDS, ch, static_cast<unsigned>(station));
        *w = StationWatch{};
        return;
    }
    StationWatch* w = Take(channel, station);
    if (!w) return;
    if (w->silent == kDemoted) {
        Demote(channel, *w);
        ZEL_LOG(kLogEvent, ZEL_TXT_DEMOTED_AGAIN, ch, static_cast<unsigned>(station),
                static_cast<unsigned>(channel.demoteSeconds));
        return;
    }
    if (++w->silent < channel.demoteAfter) return;
    Demote(channel, *w);
    ZEL_LOG(kLogEvent, ZEL_TXT_DEMOTED, ch, static_cast<unsigned>(station),
            static_cast<unsigned>(channel.demoteAfter),
            static_cast<unsigned>(channel.demoteSeconds));
}

void ForgetStations(ChannelState& channel) {
    for (StationWatch& w : channel.watched)
        w = StationWatch{};
}

} // namespace zel
