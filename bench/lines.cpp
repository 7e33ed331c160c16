#include "bench/lines.h"

#include <unistd.h>

namespace zelbench {

namespace {
// The driver takes port names of at most 11 characters.
constexpr size_t kMaxPortName = 11;
} // namespace

std::unique_ptr<RunningLine> RunningLine::Start(const LineKind& kind, std::string* error,
                                                const std::vector<int>& stations) {
    std::unique_ptr<RunningLine> line(new RunningLine());
    if (kind.baud == 0) {
        line->direct_ = zeltools::SimPlc::Start({}, error);
        if (!line->direct_) return nullptr;
        line->port_ = line->direct_->device;
        if (line->port_.size() > kMaxPortName) {
            const std::string link = "/tmp/zB" + std::to_string(getpid() % 10000);
            unlink(link.c_str());
            if (symlink(line->port_.c_str(), link.c_str()) != 0) {
                *error = "cannot link " + link;
                return nullptr;
            }
            line->link_ = link;
            line->port_ = link;
        }
        return line;
    }
    zeltools::LineEmuOptions options;
    options.baud = kind.baud;
    options.format = kind.format;
    zeltools::SimPlcOptions plc;
    if (!stations.empty()) {
        plc.station = stations.front();
        plc.moreStations.assign(stations.begin() + 1, stations.end());
    }
    line->paced_ = zeltools::PlcLine::Start(options, plc, error);
    if (!line->paced_) return nullptr;
    line->port_ = line->paced_->port();
    if (*kind.via) {
        zeltools::DeviceServerOptions server;
        server.lineSettings = std::to_string(kind.baud) + (kind.parity == 'E' ? "e81" : "n81");
        line->server_ = zeltools::DeviceServer::Start(line->port_, server, error);
        if (!line->server_) return nullptr;
        line->telnet_ = std::string(kind.via) == "rfc2217";
    }
    return line;
}

std::string RunningLine::address() const {
    if (!server_) return "";
    return telnet_ ? server_->TelnetAddress() : server_->RawAddress();
}

RunningLine::~RunningLine() {
    if (!link_.empty()) unlink(link_.c_str());
}

} // namespace zelbench
