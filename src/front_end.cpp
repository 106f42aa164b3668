#include "front_end.h"

#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include "program_selection.h"
#include "server_mode.h"

namespace pathvane {

const char *scan_root_option(int argc, char *const argv[]) noexcept {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-' || arg[1] == '\0')
            return nullptr; // the first operand, or a lone "-", ends the options
        if (std::strcmp(arg, "--") == 0)
            return nullptr;
        for (const char *letter = arg + 1; *letter != '\0'; ++letter) {
            if (*letter != 'd')
                continue; // any other letter is taken as a flag, silently
            if (letter[1] != '\0')
                return letter + 1;
            // With nothing after it, -d is a malformed option and is passed over.
            return i + 1 < argc ? argv[i + 1] : nullptr;
        }
    }
    return nullptr;
}

bool has_server_word(int argc, char *const argv[]) noexcept {
    for (int i = 0; i < argc; ++i)
        if (argv[i] != nullptr && std::strcmp(argv[i], "server") == 0)
            return true;
    return false;
}

CString read_root_file(const char *path) noexcept {
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return {};
    LineReader reader(fd.get());
    std::span<char> line;
    if (reader.next(line) != LineReader::Result::line)
        return {};
    CString root(static_cast<char *>(std::malloc(line.size() + 1)));
    if (!root)
        return {};
    char *text = root.get();
    std::memcpy(text, line.data(), line.size());
    text[line.size()] = '\0';
    for (std::size_t i = line.size() - 1; i > 0 && is_space(static_cast<unsigned char>(text[i]));
         --i)
        text[i] = '\0';
    return root;
}

RootFinding find_root(int argc, char *const argv[]) noexcept {
    RootFinding found;
    if ((found.root = scan_root_option(argc, argv)) != nullptr) {
        found.source = RootSource::option;
    } else if (has_server_word(argc, argv)) {
        found.source = RootSource::server;
    } else if ((found.owned = read_root_file("CVS/Root"))) {
        found.source = RootSource::root_file;
        found.root = found.owned.get();
    } else if ((found.root = std::getenv("CVSROOT")) != nullptr) {
        found.source = RootSource::environment;
    }
    return found;
}

int pathvane_main(int argc, char *argv[]) {
    RootFinding found = find_root(argc, argv);
    if (found.source == RootSource::server) {
        OpeningData data = read_opening_data(STDIN_FILENO);
        Program program =
            data.root ? lookup_program(data.root.get()) : Program{fallback_program, nullptr};
        return run_relayed(program.path, argv, data.buffer.get(), data.count);
    }
    Program program =
        found.root != nullptr ? lookup_program(found.root) : Program{fallback_program, nullptr};
    ::execv(program.path, argv);
    err(1, "exec");
}

} // namespace pathvane
