// A private folder for a channel's initialization file. The host's records
// carry a port name of at most 11 characters and a 16-bit rate; a longer
// device path, a device server's address and a rate above 65535 reach the
// driver through the file instead (its PORT and BAUD_RATE keys), and scan
// sets the hexadecimal base the same way. The file holds the user's own file
// for the channel, as the driver would find it in the current folder, with
// the keys zelhost sets replaced.
#pragma once

#include <map>
#include <string>

namespace zelhost {

// The port name zelhost puts into the host's record when the file's PORT
// carries the port: no device has this name, so a driver that did not take
// the key would fail to open rather than open something else.
constexpr char kCarriedPortName[] = "ZELHOST";

// The line of the initialization file that turns the driver's frame lines
// on: every frame sent, received and discarded, which --trace prints and the
// statistics of poll and scan read.
constexpr char kTraceLine[] = "TRACE = YES";

// True when the port cannot go into the host's record: longer than 11
// characters, or a device server's address.
bool PortNeedsFile(const std::string& port);

class PrivateInit {
  public:
    PrivateInit() = default;
    PrivateInit(const PrivateInit&) = delete;
    PrivateInit& operator=(const PrivateInit&) = delete;
    ~PrivateInit();

    // Replaces the user's lines of `key` with `line` (written as it is);
    // an empty `line` only drops them.
    void Set(const std::string& key, const std::string& line);
    // PORT and BAUD_RATE for what the records cannot carry of this port
    // and rate, over what Set gave; the last call counts. True when the
    // file carries either.
    bool Carry(const std::string& port, long baud);
    // True when the file would be the user's own unchanged.
    bool Empty() const { return Effective().empty(); }

    // Writes the file for `channel` into the folder (made on first use);
    // `kept` names the user's file whose other lines were kept, "" when
    // there is none. False when the folder or the file cannot be made.
    bool Write(int channel, std::string* kept = nullptr);
    const std::string& Dir() const { return dir_; }

  private:
    std::map<std::string, std::string> Effective() const;

    std::map<std::string, std::string> keys_, carried_;
    std::string dir_, file_;
};

} // namespace zelhost
