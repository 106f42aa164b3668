#include "front_end.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace pathvane {

namespace {

// A record as syslog(3) writes it to the log socket, built in place: no allocation, and a
// record too long for its buffer is cut short.
class RecordText {
  public:
    // "<priority>pathvane[pid]:", as syslog(3) with LOG_PID begins, but for the time: a log
    // daemon stamps a record that comes without one with the time it arrives (RFC 3164), as
    // journald, rsyslog and BSD syslogd do, and that spares every command a read of the local
    // time zone's file.
    explicit RecordText(int priority) noexcept {
        format("<%d>pathvane[%ld]:", priority, static_cast<long>(::getpid()));
    }

    // Adds " word": the kind of record, first.
    void word(std::string_view word) noexcept {
        add(" ");
        add(word);
    }

    // Adds " key=value" with `value` as it stands: for values that never need quoting.
    void field(const char *key, std::string_view value) noexcept {
        add(" ");
        add(key);
        add("=");
        add(value);
    }

    void number(const char *key, unsigned long long value) noexcept {
        format(" %s=%llu", key, value);
    }

    // Adds ` key="value"`, escaped so that any byte of a root or a client's address reads back
    // unambiguously and no record can forge another: '"' and '\' after a '\', and every byte
    // outside printable ASCII as '\' and three octal digits. A long value is cut short, with
    // "..." after it.
    void quoted(const char *key, std::string_view value) noexcept {
        add(" ");
        add(key);
        add("=\"");
        std::size_t written = 0;
        for (char c : value) {
            if (written >= value_limit) {
                add("...");
                break;
            }
            const auto byte = static_cast<unsigned char>(c);
            char escaped[5];
            if (c == '"' || c == '\\') {
                escaped[0] = '\\';
                escaped[1] = c;
                escaped[2] = '\0';
            } else if (byte < 0x20 || byte > 0x7e) {
                (void)std::snprintf(escaped, sizeof escaped, "\\%03o", byte);
            } else {
                escaped[0] = c;
                escaped[1] = '\0';
            }
            add(escaped);
            written += std::strlen(escaped);
        }
        add("\"");
    }

    std::string_view text() const noexcept { return {buffer_, size_}; }

  private:
    static constexpr std::size_t value_limit = 400;

    void add(std::string_view text) noexcept {
        std::size_t room = sizeof buffer_ - size_;
        std::size_t count = text.size() < room ? text.size() : room;
        std::memcpy(buffer_ + size_, text.data(), count);
        size_ += count;
    }

    template <typename... Args> void format(const char *pattern, Args... args) noexcept {
        std::size_t room = sizeof buffer_ - size_;
        int n = std::snprintf(buffer_ + size_, room, pattern, args...);
        if (n > 0)
            size_ += static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room - 1;
    }

    char buffer_[2048];
    std::size_t size_ = 0;
};

// Sends `record` to the log socket at `path`, or drops it.
//
// syslog(3) would do the sending, but it writes on a blocking socket: when the log daemon falls
// behind and its queue fills up, every cvs command on the host would wait for it. A record is
// not worth that, so this socket never blocks, and a record that does not fit, like one that
// nothing listens for, is dropped. The socket is closed before anything runs, and closed on
// exec as well, so that no program ever sees it.
void send_record(const char *path, const RecordText &record) noexcept {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path, length);
    Fd log(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    std::string_view text = record.text();
    if (log)
        (void)::sendto(log.get(), text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr *>(&address), sizeof address);
}

// The client's address: the first word of SSH_CONNECTION, which sshd sets as "address port
// local-address local-port". A local user may set it too: it is what the session says.
std::string_view client_address() noexcept {
    const char *connection = std::getenv("SSH_CONNECTION");
    if (connection == nullptr)
        return {};
    std::string_view words(connection);
    return slice(words, 0, words.find(' '));
}

const char *source_name(RootSource source, bool has_root) noexcept {
    switch (source) {
    case RootSource::option:
        return "-d";
    case RootSource::server:
        return has_root ? "Root request" : "none";
    case RootSource::root_file:
        return "CVS/Root";
    case RootSource::environment:
        return "CVSROOT";
    case RootSource::none:
        break;
    }
    return "none";
}

const char *no_root_request(OpeningData::End end) noexcept {
    switch (end) {
    case OpeningData::End::empty_root:
        return "an empty Root request";
    case OpeningData::End::size_limit:
        return "no Root request within the first 65536 bytes";
    case OpeningData::End::time_budget:
        return "no Root request within 10 seconds";
    case OpeningData::End::root_request:
    case OpeningData::End::input_ended:
        break;
    }
    return "no Root request before the input ended";
}

// Why the program was chosen, into `why`.
void explain(const Route &route, char *why, std::size_t size) noexcept {
    const Program &program = *route.program;
    if (route.root == nullptr)
        (void)std::snprintf(why, size, "%s",
                            route.source == RootSource::server ? no_root_request(route.opening_end)
                                                               : "no root");
    else if (program.choice == Program::Choice::entry)
        (void)std::snprintf(why, size, "table line %zu", program.line);
    else if (program.choice == Program::Choice::default_entry)
        (void)std::snprintf(why, size, "the default entry at line %zu", program.line);
    else if (program.no_table != 0)
        (void)std::snprintf(why, size, "no table: %s", std::strerror(program.no_table));
    else
        (void)std::snprintf(why, size, "no entry for the root");
}

// `root` with the password of a ":pserver:user:password@host:/path" root written as "*":
// the records go to a log that more people read than the user's own files.
void add_root(RecordText &record, std::string_view root) noexcept {
    std::size_t user = root.starts_with(':') ? root.find(':', 1) : std::string_view::npos;
    user = user == std::string_view::npos ? 0 : user + 1;
    std::size_t at = slice(root, 0, root.find('/', user)).rfind('@');
    std::size_t colon = root.find(':', user);
    if (at == std::string_view::npos || at < user || colon >= at) {
        record.quoted("root", root);
        return;
    }
    // Quoted in three pieces, so that each is escaped as the whole would be.
    char masked[1024];
    int n = std::snprintf(masked, sizeof masked, "%.*s*%.*s", static_cast<int>(colon + 1),
                          root.data(), static_cast<int>(root.size() - at), root.data() + at);
    record.quoted("root", std::string_view(masked, n > 0 ? static_cast<std::size_t>(n) : 0));
}

} // namespace

void record_route(const char *log_socket, const Route &route) noexcept {
    if (log_socket == nullptr)
        return;
    const bool server = route.source == RootSource::server;
    RecordText record(LOG_AUTH | (server ? LOG_INFO : LOG_DEBUG));
    record.word("route");
    record.field("mode", server ? "server" : "direct");
    record.number("uid", ::getuid());
    if (std::string_view from = client_address(); !from.empty())
        record.quoted("from", from);
    record.quoted("source", source_name(route.source, route.root != nullptr));
    if (route.root != nullptr)
        add_root(record, route.root);
    record.quoted("program", route.program->path);
    char why[160];
    explain(route, why, sizeof why);
    record.quoted("why", why);
    send_record(log_socket, record);
}

void record_session_end(const char *log_socket, const SessionEnd &end,
                        const timespec &started) noexcept {
    if (log_socket == nullptr)
        return;
    RecordText record(LOG_AUTH | LOG_INFO);
    record.word("end");
    record.field("mode", "server");
    record.number("status", static_cast<unsigned>(end.status));
    if (end.signal != 0)
        record.number("signal", static_cast<unsigned>(end.signal));
    record.number("bytes", end.bytes);
    timespec now{};
    (void)::clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms =
        (now.tv_sec - started.tv_sec) * 1000LL + (now.tv_nsec - started.tv_nsec) / 1000000;
    char seconds[32];
    (void)std::snprintf(seconds, sizeof seconds, "%lld.%03lld", ms / 1000, ms % 1000);
    record.field("seconds", seconds);
    send_record(log_socket, record);
}

} // namespace pathvane
