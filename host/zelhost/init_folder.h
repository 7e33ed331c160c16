// A private folder for a channel's initialization file, from which zelhost
// starts a channel with settings of its own on top of the user's: the
// user's file for the channel (the one the driver would find in the current
// folder) without the keys zelhost sets, then zelhost's lines.
#pragma once

#include <string>
#include <vector>

namespace zelhost {

class InitFolder {
  public:
    InitFolder() = default;
    InitFolder(const InitFolder&) = delete;
    InitFolder& operator=(const InitFolder&) = delete;
    // Removes the file and the folder.
    ~InitFolder();

    // Writes ZELMRnn.INT for `channel` into a new folder under /tmp: the
    // user's file without the lines of the keys in `replaced`, then `added`
    // (whole lines). `kept` names the user's file, or is empty without one.
    bool Make(int channel, const std::vector<std::string>& replaced, const std::string& added,
              std::string& kept);
    const std::string& Dir() const { return dir_; }

  private:
    std::string dir_, file_;
};

// The line of the initialization file that turns the driver's frame lines
// on: every frame sent, received and discarded, which --trace prints and the
// statistics of poll and scan read.
constexpr char kTraceLine[] = "TRACE = YES\n";

} // namespace zelhost
