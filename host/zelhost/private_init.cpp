#include "host/zelhost/private_init.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <strings.h>
#include <unistd.h>

#include "config/init_names.h"
#include "serial/net/address.h"

namespace zelhost {
namespace {

// The key of a line: its first word, up to a blank or '=', in any case.
bool HasKey(const std::string& line, const std::string& key) {
    size_t n = 0;
    while (n < line.size() && line[n] != ' ' && line[n] != '\t' && line[n] != '=')
        ++n;
    return n == key.size() && strncasecmp(line.c_str(), key.c_str(), n) == 0;
}

} // namespace

bool PortNeedsFile(const std::string& port) {
    return port.size() > 11 || zel::net::IsNetworkAddress(port.c_str());
}

PrivateInit::~PrivateInit() {
    if (!file_.empty()) unlink(file_.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
}

void PrivateInit::Set(const std::string& key, const std::string& line) {
    keys_[key] = line;
}

bool PrivateInit::Carry(const std::string& port, long baud) {
    carried_.clear();
    if (PortNeedsFile(port)) carried_["PORT"] = "PORT = " + port;
    // The driver takes BAUD_RATE only without blanks.
    if (baud > 65535) carried_["BAUD_RATE"] = "BAUD_RATE=" + std::to_string(baud);
    return !carried_.empty();
}

std::map<std::string, std::string> PrivateInit::Effective() const {
    std::map<std::string, std::string> all = keys_;
    for (const auto& k : carried_)
        all[k.first] = k.second;
    return all;
}

bool PrivateInit::Write(int channel, std::string* kept) {
    if (dir_.empty()) {
        char tmpl[] = "/tmp/zelhost-init.XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        dir_ = tmpl;
    }
    const std::map<std::string, std::string> keys = Effective();
    std::string text;
    if (kept) kept->clear();
    // The user's file as the driver would find it in the current folder.
    char name[32];
    for (int i = 0; i < zel::kInitFileCandidates; ++i) {
        if (!zel::InitFileCandidate(i, zel::kInitFileBaseName, channel, name, sizeof name))
            continue;
        std::ifstream in(name);
        if (!in) continue;
        if (kept) *kept = name;
        std::string line;
        while (std::getline(in, line)) {
            bool replaced = false;
            for (const auto& k : keys)
                replaced = replaced || HasKey(line, k.first);
            if (!replaced) text += line + "\n";
        }
        break;
    }
    for (const auto& k : keys)
        if (!k.second.empty()) text += k.second + "\n";
    // Written under the name the driver tries first.
    if (!zel::InitFileCandidate(0, zel::kInitFileBaseName, channel, name, sizeof name))
        return false;
    file_ = dir_ + "/" + name;
    std::ofstream out(file_, std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

} // namespace zelhost
