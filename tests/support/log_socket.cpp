#include "log_socket.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace test {

namespace {

sockaddr_un socket_address(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("the path is too long for a socket: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

} // namespace

LogSocket::LogSocket(std::string path) : path_(std::move(path)) {
    sockaddr_un address = socket_address(path_);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ == -1 || ::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == -1)
        throw std::runtime_error("log socket: " + std::string(std::strerror(errno)));
}

LogSocket::~LogSocket() {
    ::close(fd_);
    ::unlink(path_.c_str());
}

std::vector<std::string> LogSocket::take() {
    std::vector<std::string> records;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
        records.emplace_back(buffer, static_cast<std::size_t>(n));
    return records;
}

int LogSocket::fill() {
    sockaddr_un address = socket_address(path_);
    int sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int sent = 0;
    while (::sendto(sender, "filler", 6, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&address),
                    sizeof address) == 6)
        ++sent;
    ::close(sender);
    return sent;
}

} // namespace test
