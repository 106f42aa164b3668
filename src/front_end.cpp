#include "front_end.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "bytes.h"
#include "server_mode.h"
#include "setup_file.h"

namespace pathvane {

namespace {

// What an option of cvs's means for finding the root.
enum class Effect {
    none,
    root,    // -d
    help,    // cvs prints help instead of running the command, after reading all its options
    ends_cvs // cvs prints its version or a help list at once and ends, reading no further
};

// cvs's short options are "+QqrwgtnRvb:T:e:d:Hfz:s:xal"; a letter it does not know is read as a
// flag here (cvs itself refuses it).
bool takes_argument(char letter) noexcept {
    return letter != '\0' && std::strchr("bTedzs", letter) != nullptr;
}

Effect letter_effect(char letter) noexcept {
    switch (letter) {
    case 'd':
        return Effect::root;
    case 'H':
        return Effect::help;
    case 'v':
        return Effect::ends_cvs;
    default:
        return Effect::none;
    }
}

struct LongOption {
    std::string_view name;
    bool takes_argument;
    Effect effect;
};

// cvs's long options; getopt_long takes any unambiguous prefix of one.
constexpr LongOption long_options[] = {
    {"help", false, Effect::help},
    {"version", false, Effect::ends_cvs},
    {"help-commands", false, Effect::ends_cvs},
    {"help-synonyms", false, Effect::ends_cvs},
    {"help-options", false, Effect::ends_cvs},
    {"allow-root", true, Effect::none},
    {"allow-root-regexp", true, Effect::none},
};

// The long option that `name` names, as getopt_long finds it: an exact name, else the one
// option that it is a prefix of; null when it names none or more than one.
const LongOption *find_long_option(std::string_view name) noexcept {
    const LongOption *found = nullptr;
    int prefix_of = 0;
    for (const LongOption &option : long_options) {
        if (option.name == name)
            return &option;
        if (option.name.starts_with(name)) {
            found = &option;
            ++prefix_of;
        }
    }
    return prefix_of == 1 ? found : nullptr;
}

// What the options read so far tell.
struct GlobalOptions {
    const char *root = nullptr;
    bool help = false; // cvs prints help or its version and runs no command
};

// Applies one option with its argument (null where it has none); false where cvs ends at it.
bool apply(Effect effect, const char *value, GlobalOptions &options) noexcept {
    switch (effect) {
    case Effect::root:
        if (value != nullptr)
            options.root = value; // the last -d wins
        return true;
    case Effect::help:
        options.help = true;
        return true;
    case Effect::ends_cvs:
        options.help = true;
        return false;
    case Effect::none:
        return true;
    }
    return true;
}

// The next element, as an option's argument, moving `i` onto it; null at the end.
const char *next_argument(int argc, char *const argv[], int &i) noexcept {
    return i + 1 < argc ? argv[++i] : nullptr;
}

// Reads the long option argv[i]: "--name", "--name=value", or "--name" with the next element
// as its argument. False where cvs ends at it.
bool read_long_option(int argc, char *const argv[], int &i, GlobalOptions &options) noexcept {
    std::string_view text(argv[i] + 2);
    std::size_t equals = text.find('=');
    const LongOption *option = find_long_option(slice(text, 0, equals));
    if (option == nullptr || (!option->takes_argument && equals != text.npos))
        return true; // cvs refuses it and says so itself
    const char *value = nullptr;
    if (option->takes_argument)
        value = equals != text.npos ? argv[i] + 2 + equals + 1 : next_argument(argc, argv, i);
    return apply(option->effect, value, options);
}

// Reads the option letters of argv[i]. The first one that takes an argument takes the rest of
// the element, or the next element. False where cvs ends at one.
bool read_option_letters(int argc, char *const argv[], int &i, GlobalOptions &options) noexcept {
    for (const char *letter = argv[i] + 1; *letter != '\0'; ++letter) {
        if (takes_argument(*letter)) {
            const char *value = letter[1] != '\0' ? letter + 1 : next_argument(argc, argv, i);
            return apply(letter_effect(*letter), value, options);
        }
        if (!apply(letter_effect(*letter), nullptr, options))
            return false;
    }
    return true;
}

bool is_word(const char *arg, const char *word) noexcept {
    return arg != nullptr && std::strcmp(arg, word) == 0;
}

// cvs's password server has TCP probe its connection, so that a client that vanishes does not
// leave it waiting for ever; behind the relay its standard input is a pipe, so pathvane asks
// for it on the connection instead. Nothing where standard input is no socket.
void keep_connection_alive(int fd) noexcept {
    int on = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

// A route record still to be sent.
struct PendingRecord {
    const char *log_socket;
    Route route;
};

void send_pending(const void *pending) noexcept {
    const auto *record = static_cast<const PendingRecord *>(pending);
    record_route(record->log_socket, record->route);
}

} // namespace

CommandLine scan_command_line(int argc, char *const argv[]) noexcept {
    GlobalOptions options;
    const char *command = nullptr;
    // An option that cvs would refuse (unknown, ambiguous, or missing its argument) is passed
    // over: cvs itself reports it.
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-' || arg[1] == '\0') {
            command = arg; // the first operand, a lone "-" included
            break;
        }
        if (std::strcmp(arg, "--") == 0) {
            command = i + 1 < argc ? argv[i + 1] : nullptr;
            break;
        }
        bool read_on = arg[1] == '-' ? read_long_option(argc, argv, i, options)
                                     : read_option_letters(argc, argv, i, options);
        if (!read_on)
            break;
    }
    CommandLine line;
    line.root = options.root;
    if (options.help)
        return line;
    if (options.root == nullptr &&
        (is_word(command, "server") || (argc > 0 && is_word(argv[0], "server"))))
        line.mode = CommandLine::Mode::server;
    else if (is_word(command, "pserver"))
        line.mode = CommandLine::Mode::pserver;
    return line;
}

CString read_root_file(const char *path) {
    SetupFile file(path);
    std::span<char> line;
    if (!file.next(line))
        return {};
    CString root(static_cast<char *>(std::malloc(line.size() + 1)));
    if (!root)
        fail_on_file(path, ENOMEM);
    char *text = root.get();
    std::memcpy(text, line.data(), line.size());
    text[line.size()] = '\0';
    for (std::size_t i = line.size() - 1; i > 0 && is_space(text[i]); --i)
        text[i] = '\0';
    return root;
}

RootFinding find_root(int argc, char *const argv[]) {
    RootFinding found;
    CommandLine line = scan_command_line(argc, argv);
    if (line.mode == CommandLine::Mode::pserver) {
        found.source = RootSource::auth_request;
    } else if ((found.root = line.root) != nullptr) {
        found.source = RootSource::option;
    } else if (line.mode == CommandLine::Mode::server) {
        found.source = RootSource::server;
    } else if ((found.owned = read_root_file("CVS/Root"))) {
        found.source = RootSource::root_file;
        found.root = found.owned.get();
    } else if ((found.root = std::getenv("CVSROOT")) != nullptr) {
        found.source = RootSource::environment;
    }
    return found;
}

int pathvane_main(int argc, char *argv[], const ProgramTable &table, const char *log_socket,
                  const char *installed) {
    RootFinding found = find_root(argc, argv);
    const bool pserver = found.source == RootSource::auth_request;
    const bool server = from_client(found.source);
    OpeningData data;
    if (server) {
        // A descriptor that the caller left closed would be the pipe's, then closed and read.
        open_standard_descriptors();
        data = read_opening_data(STDIN_FILENO, pserver ? scan_auth_request : scan_root_request);
        found.root = data.root.get();
    }
    Program program = found.root != nullptr ? lookup_program(table, found.root)
                                            : Program{table.fallback, nullptr};
    // pathvane is installed as cvs, so a table naming cvs would have it run itself, for ever.
    if (is_own_executable(program.path, installed))
        errx(1, "%s: is pathvane itself, not run", program.path);
    const PendingRecord record{log_socket,
                               {found.source, found.root, &program, data.end, data.in_place}};
    if (server) {
        if (pserver)
            keep_connection_alive(STDIN_FILENO);
        // The client waits for its program: the record goes once the program has started.
        const OnStart started{send_pending, &record};
        SessionEnd end = data.in_place ? run_in_place(program.path, argv, started)
                                       : run_relayed(program.path, argv, std::move(data.buffer),
                                                     data.count, data.connection_failed, started);
        record_session_end(log_socket, found.source, end, data.started);
        return end.status;
    }
    send_pending(&record);
    ::execv(program.path, argv);
    err(1, "exec");
}

} // namespace pathvane
