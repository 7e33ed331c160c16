#include "host/zelhost/init_folder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <strings.h>
#include <unistd.h>

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
    std::snprintf(name, sizeof name, "ZELMR%02d.INT", channel);
    const std::string names[] = {name, "ZELMR" + std::to_string(channel) + ".INT", "ZELMR.INT"};
    std::string text;
    for (const std::string& n : names) {
        std::ifstream in(n);
        if (!in) continue;
        kept = n;
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
    file_ = dir_ + "/" + name;
    std::ofstream out(file_);
    out << text;
    return static_cast<bool>(out);
}

} // namespace zelhost
