#include "host/zelhost/init_folder.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <strings.h>
#include <unistd.h>

#include "config/init_names.h"

namespace zelhost {
namespace {

// The key a line of the file sets: its first word, as the driver matches it
// (case ignored, up to a blank or '=').
bool Key(const std::string& line, const std::string& key) {
    size_t n = 0;
    while (n < line.size() && line[n] != ' ' && line[n] != '\t' && line[n] != '=')
        ++n;
    return n == key.size() && strncasecmp(line.c_str(), key.c_str(), n) == 0;
}

} // namespace

InitFolder::~InitFolder() {
    if (!file_.empty()) unlink(file_.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
}

bool InitFolder::Make(int channel, const std::vector<std::string>& replaced,
                      const std::string& added, std::string& kept) {
    kept.clear();
    char tmpl[] = "/tmp/zelhost-init.XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir_ = tmpl;
    char name[32];
    std::string text;
    for (int i = 0; i < zel::kInitFileCandidates; ++i) {
        if (!zel::InitFileCandidate(i, zel::kInitFileBaseName, channel, name, sizeof name))
            continue;
        std::ifstream in(name);
        if (!in) continue;
        kept = name;
        std::string line;
        while (std::getline(in, line)) {
            bool drop = false;
            for (const std::string& key : replaced)
                drop = drop || Key(line, key);
            if (!drop) text += line + "\n";
        }
        break;
    }
    text += added;
    // The driver tries this name first.
    if (!zel::InitFileCandidate(0, zel::kInitFileBaseName, channel, name, sizeof name))
        return false;
    file_ = dir_ + "/" + name;
    std::ofstream out(file_);
    out << text;
    return static_cast<bool>(out);
}

} // namespace zelhost
