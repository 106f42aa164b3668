// The system log as a program under test sees it: a datagram socket bound where the program
// sends its routing records.
#pragma once

#include <string>
#include <vector>

namespace test {

class LogSocket {
  public:
    explicit LogSocket(std::string path);
    LogSocket(const LogSocket &) = delete;
    LogSocket &operator=(const LogSocket &) = delete;
    ~LogSocket();

    const std::string &path() const { return path_; }
    // Every record that has arrived and not been taken yet, in order.
    std::vector<std::string> take();
    // Sends records to itself until one more would not fit: a log daemon that has stopped
    // reading. Returns how many it sent.
    int fill();

  private:
    std::string path_;
    int fd_ = -1;
};

} // namespace test
