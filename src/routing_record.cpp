#include "front_end.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>
#include <utility>

#include "bytes.h"
#include "text.h"

namespace pathvane {

namespace {

// A record as syslog(3) writes it to the log socket, but for the time: a log daemon stamps a
// record that comes without one with the time it arrives (RFC 3164), as journald, rsyslog and
// BSD syslogd do, and that spares every command a read of the local time zone's file.
class RecordText {
  public:
    // "<priority>pathvane[pid]: word", as syslog(3) with LOG_PID begins; the word names the kind
    // of record.
    RecordText(int priority, std::string_view word) noexcept {
        text_ << '<' << static_cast<unsigned long long>(priority) << ">pathvane["
              << static_cast<unsigned long long>(::getpid()) << "]: " << word;
    }

    // Adds " key=value" with `value` as it stands: for values that never need quoting.
    template <typename Value> void field(std::string_view key, Value value) noexcept {
        text_ << ' ' << key << '=' << value;
    }

    // Adds ` key="value"`, quoted as Text::quote does.
    void quoted(std::string_view key, std::string_view value) noexcept {
        text_ << ' ' << key << '=';
        text_.quote(value, 400); // a long root or program is cut short, not the record
    }

    std::string_view view() const noexcept { return text_.view(); }

  private:
    FixedText<2048> text_;
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
    std::string_view text = record.view();
    if (log)
        (void)::sendto(log.get(), text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr *>(&address), sizeof address);
}

using Address = char[INET6_ADDRSTRLEN];

// The client's address: the first word of SSH_CONNECTION, which sshd sets as "address port
// local-address local-port" (a local user may set it too: it is what the session says). Without
// it, in a client's session, the address of the peer of standard input, where that is a TCP
// connection (inetd's); numeric, since a name would cost a lookup in every session.
std::string_view client_address(bool session, Address &address) noexcept {
    if (const char *connection = std::getenv("SSH_CONNECTION"); connection != nullptr) {
        std::string_view words(connection);
        return slice(words, 0, words.find(' '));
    }
    if (!session)
        return {};
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(STDIN_FILENO, reinterpret_cast<sockaddr *>(&peer), &length) == -1)
        return {};
    int family = peer.ss_family;
    const void *bytes = nullptr;
    if (family == AF_INET) {
        bytes = &reinterpret_cast<const sockaddr_in *>(&peer)->sin_addr;
    } else if (family == AF_INET6) {
        const in6_addr &address6 = reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_addr;
        bytes = &address6;
        // An IPv4 client of a socket that listens for both, as systemd's ListenStream=2401 does,
        // is the IPv4 address that the same client of an IPv4 socket would show.
        if (IN6_IS_ADDR_V4MAPPED(&address6)) {
            family = AF_INET;
            bytes = &address6.s6_addr[12];
        }
    }
    if (bytes == nullptr || ::inet_ntop(family, bytes, address, sizeof address) == nullptr)
        return {};
    return address;
}

const char *mode_name(RootSource source) noexcept {
    switch (source) {
    case RootSource::server:
        return "server";
    case RootSource::auth_request:
        return "pserver";
    case RootSource::option:
    case RootSource::root_file:
    case RootSource::environment:
    case RootSource::none:
        break;
    }
    return "direct";
}

const char *source_name(RootSource source, bool has_root) noexcept {
    switch (source) {
    case RootSource::option:
        return "-d";
    case RootSource::server:
        return has_root ? "Root request" : "none";
    case RootSource::auth_request:
        return has_root ? "auth request" : "none";
    case RootSource::root_file:
        return "CVS/Root";
    case RootSource::environment:
        return "CVSROOT";
    case RootSource::none:
        break;
    }
    return "none";
}

using Why = FixedText<160>;

// Why a client's session found no root in its opening data: in the Root request of `cvs
// server`, or, with `auth`, in the auth request of `cvs pserver`.
void explain_no_root_request(OpeningData::End end, bool auth, Why &why) noexcept {
    const std::string_view request = auth ? "auth request" : "Root request";
    switch (end) {
    case OpeningData::End::empty_root:
        why << (auth ? "an empty repository in the auth request" : "an empty Root request");
        return;
    case OpeningData::End::no_request:
        why << (auth ? "not an auth request" : "not a Root request");
        return;
    case OpeningData::End::size_limit:
        why << "no " << request << " within the first "
            << static_cast<unsigned long long>(opening_data_limit) << " bytes";
        return;
    case OpeningData::End::time_budget:
        why << "no " << request << " within "
            << static_cast<unsigned long long>(opening_data_budget_ms / 1000) << " seconds";
        return;
    case OpeningData::End::root_request:
    case OpeningData::End::input_ended:
        break;
    }
    why << "no " << request << " before the input ended";
}

// Why the program was chosen.
void explain(const Route &route, Why &why) noexcept {
    const Program &program = *route.program;
    const auto line = static_cast<unsigned long long>(program.line);
    if (route.root == nullptr && from_client(route.source))
        explain_no_root_request(route.opening_end, route.source == RootSource::auth_request, why);
    else if (route.root == nullptr)
        why << "no root";
    else if (program.choice == Program::Choice::entry)
        why << "table line " << line;
    else if (program.choice == Program::Choice::default_entry)
        why << "the default entry at line " << line;
    else if (program.no_table != 0)
        why << "no table: " << std::strerror(program.no_table);
    else
        why << "no entry for the root";
}

// Whether the part of `rest` after its ':' at `colon` is "[port]/path", as in "host:/path" or
// "host:2401/path": the part that the lookup compares.
bool path_follows(std::string_view rest, std::size_t colon) noexcept {
    std::size_t at = colon + 1;
    while (at < rest.size() && is_digit(rest[at]))
        ++at;
    return at < rest.size() && rest[at] == '/';
}

// Where the password lies in `root` (offset and length; length 0 where there is none). After the
// method (between the first two ':'), cvs reads a remote root as
// "user[:password]@host[:[port]]/path", the password from the user's first ':' to the '@' before
// the host. A password may hold '@', ':' or '/', so where that '@' lies is found from the end:
// where the root's path follows its last ':', the last '@' before that ':'; in every other root,
// one not well formed or without a ':' before its path, the last '@' of all. A root whose first
// ':' comes after a '/' (a local one) or right before its path ("host:/path", "user@host:/path")
// holds none. Where that leaves doubt, more is taken rather than less, but never the part after
// a well-formed root's last ':', which the lookup compares.
std::pair<std::size_t, std::size_t> find_password(std::string_view root) noexcept {
    std::size_t from = 0;
    if (root.starts_with(':')) {
        std::size_t method_end = root.find(':', 1);
        if (method_end == std::string_view::npos)
            return {0, 0};
        from = method_end + 1;
    }
    std::string_view rest = slice(root, from);
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos || rest.find('/') < colon)
        return {0, 0};
    const std::size_t last_colon = rest.rfind(':');
    if (path_follows(rest, colon) && (last_colon == colon || rest.find('@') < colon))
        return {0, 0};
    std::size_t at = std::string_view::npos;
    if (path_follows(rest, last_colon))
        at = slice(rest, 0, last_colon).rfind('@');
    if (at == std::string_view::npos || at < colon)
        at = rest.rfind('@');
    if (at == std::string_view::npos || at < colon)
        return {0, 0};
    return {from + colon + 1, at - colon - 1};
}

// Adds `root` with its password, if it holds one, written as "*": the records go to a log that
// more people read than the user's own files.
void add_root(RecordText &record, std::string_view root) noexcept {
    auto [password, length] = find_password(root);
    if (length == 0) {
        record.quoted("root", root);
        return;
    }
    FixedText<1024> masked;
    masked << slice(root, 0, password) << '*' << slice(root, password + length);
    record.quoted("root", masked.view());
}

} // namespace

void record_route(const char *log_socket, const Route &route) noexcept {
    if (log_socket == nullptr)
        return;
    const bool session = from_client(route.source);
    RecordText record(LOG_AUTH | (session ? LOG_INFO : LOG_DEBUG), "route");
    record.field("mode", mode_name(route.source));
    record.field("uid", static_cast<unsigned long long>(::getuid()));
    Address address;
    if (std::string_view from = client_address(session, address); !from.empty())
        record.quoted("from", from);
    record.quoted("source", source_name(route.source, route.root != nullptr));
    if (route.root != nullptr)
        add_root(record, route.root);
    record.quoted("program", route.program->path);
    Why why;
    explain(route, why);
    record.quoted("why", why.view());
    if (session)
        record.field("stream", route.in_place ? "in-place" : "relayed");
    send_record(log_socket, record);
}

void record_session_end(const char *log_socket, RootSource source, const SessionEnd &end,
                        const timespec &started) noexcept {
    if (log_socket == nullptr)
        return;
    RecordText record(LOG_AUTH | LOG_INFO, "end");
    record.field("mode", mode_name(source));
    record.field("status", static_cast<unsigned long long>(end.status));
    if (end.signal != 0)
        record.field("signal", static_cast<unsigned long long>(end.signal));
    if (end.bytes)
        record.field("bytes", static_cast<unsigned long long>(*end.bytes));
    timespec now = started; // not monotonic_now(), whose failure is fatal: a record never is
    (void)::clock_gettime(CLOCK_MONOTONIC, &now);
    const long ms = elapsed_ms(started, now);
    const auto whole = static_cast<unsigned long long>(ms < 0 ? 0 : ms);
    FixedText<32> seconds;
    seconds << whole / 1000 << '.' << static_cast<char>('0' + whole / 100 % 10)
            << static_cast<char>('0' + whole / 10 % 10) << static_cast<char>('0' + whole % 10);
    record.field("seconds", seconds.view());
    send_record(log_socket, record);
}

} // namespace pathvane
