// A temporary directory that is removed with everything in it.
#pragma once

#include <string>

namespace zeltest {

class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Writes `text` into the file `name` (relative to the directory).
    bool Write(const std::string& name, const std::string& text) const;

  private:
    std::string path_;
};

} // namespace zeltest
