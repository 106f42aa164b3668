// Server mode seen from outside: the client's bytes go in through a pipe, in timed pieces, and
// the program that the Root request selects must get every one of them, in order.
#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <span>
#include <unistd.h>
#include <string>
#include <vector>

#include "log_socket.h"
#include "sandbox.h"

namespace {

using namespace std::string_literals;
using test::Chunk;
using test::Sandbox;

constexpr std::size_t opening_limit = 65536;

std::string server_table() {
    return "/r prog=" + Sandbox::recorder("alpha") + "\n" + "/s prog=" + Sandbox::recorder("beta") +
           "\n";
}

// The client's stream as sshd, inetd or a script may hand it over.
constexpr test::Stdin client_streams[] = {test::Stdin::pipe, test::Stdin::socketpair,
                                          test::Stdin::file};

const char *shown(test::Stdin stream) {
    return stream == test::Stdin::pipe         ? "pipe"
           : stream == test::Stdin::socketpair ? "socketpair"
           : stream == test::Stdin::tcp        ? "tcp"
                                               : "file";
}

// A `cvs server` run in `sandbox`, routed by server_table(), the client's stream coming through
// `stream`.
test::Invocation session(const Sandbox &sandbox, test::Stdin stream,
                         std::vector<std::string> env = {}) {
    sandbox.write_table(server_table());
    test::Invocation inv = sandbox.invocation({"cvs", "server"}, std::move(env));
    inv.stdin_mode = stream;
    return inv;
}

// Every byte of the client's stream, as read(2) takes it: the byte of urgent data is out of band.
std::string sent_bytes(const std::vector<Chunk> &input) {
    std::string sent;
    for (const Chunk &chunk : input)
        sent.append(chunk.bytes, 0, chunk.bytes.size() - (chunk.urgent ? 1 : 0));
    return sent;
}

// The pause between the first piece of a split request and the rest: long enough for pathvane,
// sanitized and on a busy machine, to have taken its look before the rest comes.
constexpr int split_ms = 150;

// What pathvane's one look at the start of the client's stream sees, once its first bytes have
// come.
enum class Look {
    settles,   // enough to settle the request: the request, that none can come, or the end
    part,      // part of the request, whose rest comes later
    last_part, // part of the request, after which the stream ends
    nothing,   // nothing: no byte came within the budget, or the connection was reset first
};

// The way the program reads the client's stream: the stream itself, or pathvane's pipe.
enum class Path { in_place, relayed, either };

// The way a session must go over `stream`, whose first look sees `look`: in place where this
// build reads such a stream in place and the look settles the request, relayed otherwise.
Path expected_path(test::Stdin stream, Look look, bool nonblocking = false) {
    // The program would meet EAGAIN on a non-blocking descriptor, where the relay's pipe blocks.
    if (!test::read_in_place(stream) || nonblocking || look == Look::nothing)
        return Path::relayed;
    // A file is there whole: its look sees the request, or the end of the file.
    if (look == Look::settles || stream == test::Stdin::file)
        return Path::in_place;
    if (look == Look::last_part)
        return Path::relayed;
    // Under valgrind pathvane starts so slowly that the rest may have come by its look.
    return Sandbox::under_valgrind() ? Path::either : Path::relayed;
}

// Checks that the program read the client's stream the `expected` way, and returns whether it
// read it in place. In place, its standard input is the very stream handed over; relayed, it is
// pathvane's pipe. Either way nothing else of pathvane's is open in it: another reader of the
// client's stream, or a writer that would keep its input from ever ending.
bool expect_path(const test::Outcome &outcome, const Sandbox::Record &record, Path expected) {
    const bool in_place =
        expected == Path::either ? record.stdin_id == outcome.stdin_id : expected == Path::in_place;
    EXPECT_EQ(record.fds, "0\n1\n2\n");
    if (in_place)
        EXPECT_EQ(record.stdin_id, outcome.stdin_id) << "the program read another stream";
    else
        EXPECT_NE(record.stdin_id, outcome.stdin_id) << "the program read the client's stream";
    return in_place;
}

// Checks the way the route record says the session went: where no program ran to tell.
void expect_logged_path(test::LogSocket &log, Path expected) {
    std::string stream;
    for (const std::string &record : log.take())
        if (std::size_t at = record.find(" stream="); at != std::string::npos)
            stream = record.substr(at + 8);
    if (expected == Path::either)
        EXPECT_TRUE(stream == "in-place" || stream == "relayed") << stream;
    else
        EXPECT_EQ(stream, expected == Path::in_place ? "in-place" : "relayed");
}

struct ServerCase {
    const char *name;
    std::vector<Chunk> input;
    const char *program;
    Look look;
    bool nonblocking = false; // a client may hand over a non-blocking descriptor
};

// Runs each case as a session of `argv` over each of `streams`, routed by server_table(), with a
// CVSROOT that names another program: the case's program must run, with the same argv and
// environment, read the client's stream the way the case's look and the stream make it, and get
// every byte that the client sent. With `reset`, the client resets its TCP connection once it has
// sent them, instead of closing it.
void expect_sessions(const std::vector<std::string> &argv, std::span<const ServerCase> cases,
                     std::span<const test::Stdin> streams, bool reset = false) {
    for (const ServerCase &c : cases)
        for (test::Stdin stream : streams) {
            SCOPED_TRACE(std::string(c.name) + ", " + shown(stream));
            Sandbox sandbox;
            sandbox.write_table(server_table());
            test::Invocation inv = sandbox.invocation(argv, {"CVSROOT=/s"});
            inv.stdin_mode = stream;
            inv.input = c.input;
            inv.nonblocking_stdin = c.nonblocking;
            if (reset) {
                inv.close_delay_ms = 100; // once pathvane has read what came before
                inv.reset_connection = true;
            }
            test::Outcome outcome = test::run(inv);

            EXPECT_TRUE(outcome.exited);
            Sandbox::Record record = sandbox.record();
            const bool in_place =
                expect_path(outcome, record, expected_path(stream, c.look, c.nonblocking));
            if (reset && in_place) {
                // The program reads the reset itself, as when inetd runs it, and its record stops
                // short of its name; pathvane passes on what it made of it.
                EXPECT_EQ(outcome.exit_code, 97);
                EXPECT_EQ(outcome.err, "recorder: read: Connection reset by peer\n");
            } else {
                EXPECT_EQ(outcome.exit_code, 0);
                EXPECT_EQ(outcome.err, "");
                EXPECT_EQ(record.program, c.program);
            }
            EXPECT_EQ(record.stdin_bytes, sent_bytes(c.input));
            EXPECT_EQ(record.argv, sandbox.argv_seen(argv));
            EXPECT_EQ(record.environ, inv.env);
            // Waiting for the client costs next to nothing; a relay that spins burns the pauses.
            if (!Sandbox::under_valgrind()) {
                EXPECT_LT(outcome.cpu_us, 300'000) << "pathvane spun";
            }
        }
}

TEST(ServerMode, TheRootRequestChoosesAndEveryByteArrives) {
    const std::string filler(opening_limit, 'x');
    const ServerCase cases[] = {
        {"Root and more requests in one write",
         {{"Root /r\nValid-responses ok error\nvalid-requests\n"}},
         "alpha",
         Look::settles},
        {"Root in three pieces",
         {{"Roo"}, {"t /r", split_ms}, {"\nUseUnchanged\n", 30}},
         "alpha",
         Look::part},
        {"path completed by a later read", {{"Root /s"}, {"\n", split_ms}}, "beta", Look::part},
        {"lines passed over first",
         {{"\n Rooted\nRoot-x y\r\nRoot\t/s//\nArgument x\n"}},
         "beta",
         Look::settles},
        {"root with method and host", {{"Root :ext:host:/r/\n"}}, "alpha", Look::settles},
        {"empty path", {{"Root \nRoot /r\n"}}, "fallback", Look::settles},
        {"another request first", {{"Valid-responses ok\nRoot /r\n"}}, "fallback", Look::settles},
        {"another request first, Root later",
         {{"Valid-responses ok\n"}, {"Root /r\n", 30}},
         "fallback",
         Look::settles},
        {"NUL byte before Root", {{"\0Root /r\n"s}}, "fallback", Look::settles},
        {"NUL byte, Root later", {{"\0"s}, {"Root /r\n", 30}}, "fallback", Look::settles},
        {"no Root within the limit",
         {{filler}, {"Root /r\nmore after the limit\n", 20}},
         "fallback",
         Look::settles},
        {"end of input at once", {}, "fallback", Look::settles},
        {"path unfinished at end of input", {{"Root /r"}}, "fallback", Look::last_part},
        {"Root in one write, non-blocking",
         {{"Root /r\nValid-responses ok\n"}},
         "alpha",
         Look::settles,
         true},
    };
    expect_sessions({"cvs", "server"}, cases, client_streams);
}

// Server mode is on where cvs would run its server; otherwise the launch is direct, and the
// program reads the client's bytes itself, as in place.
TEST(ServerMode, OnlyWhereCvsWouldServe) {
    const struct {
        std::vector<std::string> argv;
        bool server;
        const char *program;
    } cases[] = {
        {{"cvs", "-z", "9", "server"}, true, "alpha"},
        {{"server"}, true, "alpha"},
        {{"cvs", "-H", "server"}, false, "beta"},
        {{"cvs", "-d", "/s", "server"}, false, "beta"},
        {{"cvs", "co", "server"}, false, "beta"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv.back() + (c.server ? ", server mode" : ", direct"));
        if (c.argv[0] == "server" && Sandbox::under_valgrind())
            continue; // valgrind replaces argv[0] with a path
        Sandbox sandbox;
        sandbox.write_table(server_table());
        test::Invocation inv = sandbox.invocation(c.argv, {"CVSROOT=/s"});
        inv.input = {{"Root /r\n"}};
        test::Outcome outcome = test::run(inv);
        EXPECT_EQ(outcome.exit_code, 0);
        Sandbox::Record record = sandbox.record();
        EXPECT_EQ(record.program, c.program);
        EXPECT_EQ(record.stdin_bytes, "Root /r\n");
        expect_path(outcome, record,
                    c.server ? expected_path(inv.stdin_mode, Look::settles) : Path::in_place);
    }
}

// Megabytes of random bytes, NUL and bytes above 0x7F included, in random pieces and pauses.
std::vector<Chunk> random_stream(std::string opening, std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<Chunk> chunks{{std::move(opening)}};
    while (size > 0) {
        std::size_t n = std::min<std::size_t>(size, 1 + random() % 100000);
        std::string bytes(n, '\0');
        for (char &b : bytes)
            b = static_cast<char>(random());
        chunks.push_back({std::move(bytes), static_cast<int>(random() % 3)});
        size -= n;
    }
    return chunks;
}

TEST(ServerMode, NothingLostNothingReordered) {
    const struct {
        std::string opening;
        const char *program;
        bool nonblocking;          // a client may hand over a non-blocking descriptor
        bool slow_program = false; // reads for a second or so: pathvane must wait, not spin
    } cases[] = {
        {"Root /r\n", "alpha", false},
        {"", "fallback", false}, // random bytes alone: no Root request, all to the fallback
        {"Root /r\n", "alpha", true},
        {"Root /r\n", "alpha", true, true},
    };
    unsigned seed = 1;
    for (const auto &c : cases)
        for (test::Stdin stream : client_streams) {
            SCOPED_TRACE(std::string(c.nonblocking ? "non-blocking" : c.program) +
                         (c.slow_program ? ", slow program, " : ", ") + shown(stream));
            Sandbox sandbox;
            test::Invocation inv =
                session(sandbox, stream,
                        c.slow_program ? std::vector<std::string>{"RECORD_STDIN=slow"}
                                       : std::vector<std::string>{});
            inv.input = random_stream(c.opening, c.slow_program ? 1 << 20 : 6 << 20, seed++);
            inv.nonblocking_stdin = c.nonblocking;
            test::Outcome outcome = test::run(inv);
            const std::string sent = sent_bytes(inv.input);
            EXPECT_EQ(outcome.exit_code, 0);
            EXPECT_EQ(outcome.err, "");
            Sandbox::Record record = sandbox.record();
            EXPECT_EQ(record.program, c.program);
            // Random bytes rule a Root request out within their first few bytes.
            expect_path(outcome, record, expected_path(stream, Look::settles, c.nonblocking));
            ASSERT_EQ(record.stdin_bytes.size(), sent.size());
            EXPECT_TRUE(record.stdin_bytes == sent) << "the bytes differ";
            // Waiting costs next to nothing; a relay that spins burns the whole second.
            if (c.slow_program && !Sandbox::under_valgrind()) {
                EXPECT_LT(outcome.cpu_us, 300'000) << "pathvane spun while the program was slow";
            }
        }
}

// The start of a `cvs server` session for /r: the Root request whole in the client's first write,
// which settles it at once, or split across two writes, which leaves it to the relay; then `more`.
std::vector<Chunk> opening(Look look, const std::string &more = "") {
    if (look == Look::part)
        return {{"Roo"}, {"t /r\n" + more, split_ms}};
    return {{"Root /r\n" + more}};
}

const char *shown(Look look) {
    return look == Look::part ? "Root request split" : "Root request whole";
}

// Runs `check` for each way a session may start: SIGPIPE ignored or at its default, the Root
// request whole or split, over each client stream.
template <typename Check> void for_each_start(Check check) {
    for (bool ignore_sigpipe : {true, false})
        for (Look look : {Look::settles, Look::part})
            for (test::Stdin stream : client_streams) {
                SCOPED_TRACE(
                    std::string(ignore_sigpipe ? "SIGPIPE ignored, " : "SIGPIPE default, ") +
                    shown(look) + ", " + shown(stream));
                check(ignore_sigpipe, look, stream);
            }
}

TEST(ServerMode, ExitStatusOfTheProgram) {
    const struct {
        const char *name;
        std::vector<std::string> env;
        int exit_code;
    } cases[] = {
        {"exit 3", {"RECORD_EXIT=3"}, 3},
        {"killed by a signal", {"RECORD_SIGNAL=9"}, 1},
        {"exit 0", {}, 0},
    };
    for (const auto &c : cases)
        for (Look look : {Look::settles, Look::part})
            for (test::Stdin stream : client_streams) {
                SCOPED_TRACE(std::string(c.name) + ", " + shown(look) + ", " + shown(stream));
                Sandbox sandbox;
                test::Invocation inv = session(sandbox, stream, c.env);
                inv.input = opening(look);
                inv.input.push_back({"noop\n", 10});
                test::Outcome outcome = test::run(inv);
                EXPECT_TRUE(outcome.exited);
                EXPECT_EQ(outcome.exit_code, c.exit_code);
                EXPECT_EQ(outcome.err, "");
                expect_path(outcome, sandbox.record(), expected_path(stream, look));
            }
}

TEST(ServerMode, ProgramThatStopsReadingEarly) {
    // The program exits without reading while the client goes on sending: pathvane sees the
    // pipe's reader go and passes on the program's status, whatever SIGPIPE was at its start.
    for_each_start([](bool ignore_sigpipe, Look look, test::Stdin stream) {
        Sandbox sandbox;
        test::Invocation inv = session(sandbox, stream, {"RECORD_STDIN=skip", "RECORD_EXIT=5"});
        inv.ignore_sigpipe = ignore_sigpipe;
        inv.input = opening(look);
        for (int i = 0; i < 20; ++i)
            inv.input.push_back({std::string(65536, 'z'), 10});
        test::Outcome outcome = test::run(inv);
        Sandbox::Record record = sandbox.record();
        EXPECT_EQ(record.program, "alpha");
        expect_path(outcome, record, expected_path(stream, look));
        EXPECT_TRUE(outcome.exited) << "ended by signal " << outcome.signal;
        EXPECT_EQ(outcome.exit_code, 5);
        EXPECT_EQ(outcome.err, "");
    });
}

// The program gets the signal mask and dispositions that pathvane was started with, but in
// server mode SIGCHLD at its default; and pathvane returns its status whatever they were.
TEST(ServerMode, SignalsAsTheCallerLeftThem) {
    const struct {
        const char *name;
        bool server;
        Look look;
    } launches[] = {
        {"direct", false, Look::settles},
        {"server, Root request whole", true, Look::settles},
        {"server, Root request split", true, Look::part},
    };
    for (const auto &launch : launches)
        for (bool ignore_sigpipe : {true, false})
            for (bool ignore_sigchld : {true, false}) {
                SCOPED_TRACE(std::string(launch.name) +
                             (ignore_sigpipe ? ", SIGPIPE ignored" : "") +
                             (ignore_sigchld ? ", SIGCHLD ignored" : ""));
                const bool server = launch.server;
                Sandbox sandbox;
                sandbox.write_table(server_table());
                test::Invocation inv =
                    sandbox.invocation(server ? std::vector<std::string>{"cvs", "server"}
                                              : std::vector<std::string>{"cvs", "-d", "/r", "co"},
                                       {"RECORD_EXIT=6"});
                inv.ignore_sigpipe = ignore_sigpipe;
                inv.ignored_signals = {SIGINT};
                if (ignore_sigchld)
                    inv.ignored_signals.push_back(SIGCHLD);
                inv.blocked_signals = {SIGUSR1};
                inv.input = opening(launch.look);
                test::Outcome outcome = test::run(inv);
                EXPECT_TRUE(outcome.exited);
                EXPECT_EQ(outcome.exit_code, 6);
                EXPECT_EQ(outcome.err, "");
                std::string ignored = "ignored " + std::to_string(SIGINT);
                if (ignore_sigpipe)
                    ignored += " " + std::to_string(SIGPIPE);
                // valgrind keeps SIGCHLD to itself and execs with it at its default.
                if (ignore_sigchld && !server && !Sandbox::under_valgrind())
                    ignored += " " + std::to_string(SIGCHLD);
                Sandbox::Record record = sandbox.record();
                EXPECT_EQ(record.signals, ignored + "\nblocked " + std::to_string(SIGUSR1) + "\n");
                if (server)
                    expect_path(outcome, record, expected_path(inv.stdin_mode, launch.look));
            }
}

TEST(ServerMode, ProgramThatCannotBeStarted) {
    for_each_start([](bool ignore_sigpipe, Look look, test::Stdin stream) {
        Sandbox sandbox;
        test::LogSocket log(sandbox.path("log"));
        sandbox.write_table("/r prog=/nonexistent/cvs\n");
        test::Invocation inv = sandbox.invocation({"/usr/bin/cvs", "server"});
        inv.stdin_mode = stream;
        inv.ignore_sigpipe = ignore_sigpipe;
        inv.input = opening(look, "Valid-responses ok\n");
        test::Outcome outcome = test::run(inv);
        EXPECT_TRUE(Sandbox::start_failed(outcome, "cvs: child: exec: No such file or directory\n"))
            << outcome.exit_code << " " << outcome.err;
        // The route record goes once the start has been tried, whether it failed or not.
        expect_logged_path(log, expected_path(stream, look));
    });
}

TEST(ServerMode, ProgramGoneWhileTheClientWaitsForItsAnswer) {
    // The client has sent its requests and waits for an answer that will never come: pathvane
    // must end with the program rather than wait for the client to send more.
    const struct {
        const char *name;
        std::string table;
        std::vector<std::string> env;
        int exit_code;
    } cases[] = {
        {"program exits without reading",
         server_table(),
         {"RECORD_STDIN=skip", "RECORD_EXIT=4"},
         4},
        {"program cannot be started", "/r prog=/nonexistent/cvs\n", {}, 1},
    };
    for (const auto &c : cases)
        for (Look look : {Look::settles, Look::part})
            for (test::Stdin stream : {test::Stdin::pipe, test::Stdin::socketpair}) {
                SCOPED_TRACE(std::string(c.name) + ", " + shown(look) + ", " + shown(stream));
                Sandbox sandbox;
                test::LogSocket log(sandbox.path("log"));
                sandbox.write_table(c.table);
                test::Invocation inv = sandbox.invocation({"cvs", "server"}, c.env);
                inv.stdin_mode = stream;
                inv.input = opening(look, "Valid-responses ok\nvalid-requests\n");
                inv.close_delay_ms = 20000;
                test::Outcome outcome = test::run(inv);
                EXPECT_TRUE(outcome.exited);
                if (c.exit_code == 1)
                    EXPECT_TRUE(Sandbox::start_failed(
                        outcome, "cvs: child: exec: No such file or directory\n"))
                        << outcome.exit_code << " " << outcome.err;
                else
                    EXPECT_EQ(outcome.exit_code, c.exit_code);
                EXPECT_LT(outcome.ended_ns - outcome.started_ns, 10'000'000'000LL)
                    << "pathvane waited for the client";
                expect_logged_path(log, expected_path(stream, look));
            }
}

// A session of `argv` whose client sends `input`, over `stream`, without a complete request
// before the time budget runs out, the first look seeing `look`: the fallback starts then, not
// before nor much after, through the relay, and gets every byte.
void expect_budget_waited_out(const std::vector<std::string> &argv, Look look,
                              std::vector<Chunk> input, test::Stdin stream = test::Stdin::pipe) {
    Sandbox sandbox;
    sandbox.write_table(server_table());
    test::Invocation inv = sandbox.invocation(argv);
    inv.stdin_mode = stream;
    inv.input = std::move(input);
    test::Outcome outcome = test::run(inv);
    Sandbox::Record record = sandbox.record();
    EXPECT_EQ(record.program, "fallback");
    EXPECT_EQ(record.stdin_bytes, sent_bytes(inv.input));
    expect_path(outcome, record, expected_path(stream, look));
    long long waited_ms = (record.started_ns - outcome.started_ns) / 1000000;
    EXPECT_GE(waited_ms, 10000);
    EXPECT_LT(waited_ms, 10500);
}

TEST(ServerMode, SilentClientWaitsOutTheBudget) {
    expect_budget_waited_out({"cvs", "server"}, Look::nothing, {{"Root /r\nlate\n", 10500}});
}

TEST(ServerMode, SlowClientWaitsOutTheBudget) {
    // A path that trickles in: its Root request stays unfinished.
    std::vector<Chunk> input{{"Root /"}};
    for (int i = 0; i < 60; ++i)
        input.push_back({"r", 200});
    expect_budget_waited_out({"cvs", "server"}, Look::part, std::move(input));
}

// A password server's client: its auth request for `repository`, as Debian's cvs sends it.
std::string auth_request(const std::string &repository) {
    return "BEGIN AUTH REQUEST\n" + repository + "\nanon\nAy=0=h<Z\nEND AUTH REQUEST\n";
}

// inetd's line names -d and the environment names a root: the program the client's repository
// names must still run, since cvs's password server serves that one.
const std::vector<std::string> pserver_argv = {"cvs", "-f", "-d", "/s", "pserver"};

TEST(PasswordServer, TheAuthRequestChoosesAndEveryByteArrives) {
    const std::string filler(opening_limit, 'x');
    const ServerCase cases[] = {
        {"auth request",
         {{auth_request("/r") + "Root /r\nvalid-requests\n"}},
         "alpha",
         Look::settles},
        {"verification request",
         {{"BEGIN VERIFICATION REQUEST\n/s\nanon\nA\nEND VERIFICATION REQUEST\n"}},
         "beta",
         Look::settles},
        {"request in pieces",
         {{"BEGIN AU"},
          {"TH REQUEST\n/s", split_ms},
          {"//\nanon\n", 30},
          {"A\nEND AUTH REQUEST\n", 30}},
         "beta",
         Look::part},
        {"NUL after the repository",
         {{"BEGIN AUTH REQUEST\n/r\0zz\nanon\n"s}},
         "alpha",
         Look::settles},
        {"CR after the repository", {{auth_request("/r\r")}}, "fallback", Look::settles},
        {"CR after the first line",
         {{"BEGIN AUTH REQUEST\r\n/r\nanon\n"}},
         "fallback",
         Look::settles},
        {"GSSAPI", {{"BEGIN GSSAPI REQUEST\n"}, {"/r\n", 30}}, "fallback", Look::settles},
        {"a Root request", {{"Root /r\nvalid-requests\n"}}, "fallback", Look::settles},
        {"empty repository", {{"BEGIN AUTH REQUEST\n\n/r\n"}}, "fallback", Look::settles},
        {"no repository within the limit",
         {{"BEGIN AUTH REQUEST\n" + filler}, {"\n", 20}},
         "fallback",
         Look::settles},
        {"end of input at once", {}, "fallback", Look::settles},
        {"repository unfinished at end of input",
         {{"BEGIN AUTH REQUEST\n/r"}},
         "fallback",
         Look::last_part},
        {"auth request, non-blocking", {{auth_request("/r")}}, "alpha", Look::settles, true},
    };
    const test::Stdin streams[] = {test::Stdin::tcp, test::Stdin::pipe, test::Stdin::file};
    expect_sessions(pserver_argv, cases, streams);
}

// The client sends its request and waits for the answer: the program must start at once, not
// when a budget runs out.
TEST(ServerMode, SettledAsSoonAsTheRequestSays) {
    const std::vector<std::string> server_argv = {"cvs", "server"};
    const struct {
        const std::vector<std::string> &argv;
        ServerCase c;
    } cases[] = {
        {pserver_argv,
         {"the repository's line complete",
          {{"BEGIN AUTH REQUEST\n/r\nan"}},
          "alpha",
          Look::settles}},
        {pserver_argv, {"GSSAPI", {{"BEGIN GSSAPI REQUEST\n"}}, "fallback", Look::settles}},
        {pserver_argv,
         {"a first line that can be neither",
          {{"BEGIN AUTH REQUEST\r"}},
          "fallback",
          Look::settles}},
        {server_argv, {"the Root request", {{"Root /r\n"}}, "alpha", Look::settles}},
        // A remote cvs init sends no Root request.
        {server_argv,
         {"other requests, no Root",
          {{"Valid-responses ok\nvalid-requests\n"}},
          "fallback",
          Look::settles}},
        {server_argv, {"a NUL byte first", {{"\0Root /r\n"s}}, "fallback", Look::settles}},
    };
    for (const auto &[argv, c] : cases) {
        SCOPED_TRACE(argv.back() + ", " + c.name);
        Sandbox sandbox;
        sandbox.write_table(server_table());
        // The program answers at once (it reads nothing) and pathvane ends with it.
        test::Invocation inv = sandbox.invocation(argv, {"RECORD_STDIN=skip"});
        inv.stdin_mode = test::Stdin::tcp;
        inv.input = c.input;
        inv.close_delay_ms = 20000;
        test::Outcome outcome = test::run(inv);
        Sandbox::Record record = sandbox.record();
        EXPECT_EQ(record.program, c.program);
        expect_path(outcome, record, expected_path(inv.stdin_mode, c.look));
        EXPECT_EQ(outcome.exit_code, 0);
        EXPECT_LT(outcome.ended_ns - outcome.started_ns, 5'000'000'000LL)
            << "pathvane waited for more of the client's stream";
    }
}

TEST(PasswordServer, UnfinishedRepositoryWaitsOutTheBudget) {
    expect_budget_waited_out(pserver_argv, Look::part,
                             {{"BEGIN AUTH REQUEST\n/r"}, {"\nanon\n", 10500}}, test::Stdin::tcp);
}

// A client whose connection is reset, or times out, has ended its input: the program gets what
// came before, and pathvane waits for it and ends with its status, as at a close. A program that
// reads the connection in place meets the reset itself.
TEST(PasswordServer, AConnectionResetEndsTheInput) {
    const ServerCase cases[] = {
        {"before anything", {}, "fallback", Look::nothing},
        {"in the auth request", {{"BEGIN AUTH REQUEST\n/r"}}, "fallback", Look::last_part},
        {"after the auth request", {{auth_request("/r")}}, "alpha", Look::settles},
        {"after the auth request in pieces",
         {{"BEGIN AUTH REQUEST\n"}, {"/r\nanon\nAy=0=h<Z\nEND AUTH REQUEST\n", split_ms}},
         "alpha",
         Look::part},
        {"while relaying",
         {{"BEGIN AUTH REQUEST\n"},
          {"/r\nanon\nAy=0=h<Z\nEND AUTH REQUEST\n", split_ms},
          {"Root /r\nvalid-requests\n", 100}},
         "alpha",
         Look::part},
        {"while the program reads in place",
         {{auth_request("/r")}, {"Root /r\nvalid-requests\n", 100}},
         "alpha",
         Look::settles},
    };
    const test::Stdin tcp[] = {test::Stdin::tcp};
    expect_sessions(pserver_argv, cases, tcp, true);
}

// A byte of urgent data, which any client can send, is passed over as cvs itself reading the
// connection passes it over; it does not end the stream, which goes on behind it.
TEST(PasswordServer, UrgentDataIsNoEndOfTheStream) {
    std::string after(5000, '\0');
    for (std::size_t i = 0; i < after.size(); ++i)
        after[i] = static_cast<char>('a' + i % 26);
    // Then a pause, for as long as a relay that spins at the urgent byte would show it.
    const Chunk urgent{"!", 30, true};
    const Chunk rest{after, 30};
    const Chunk late{"noop\n", 500};
    const ServerCase cases[] = {
        {"after a whole request",
         {{auth_request("/r") + "Root /r\n"}, urgent, rest, late},
         "alpha",
         Look::settles},
        {"after a split request",
         {{"BEGIN AUTH REQUEST\n"},
          {"/r\nanon\nA\nEND AUTH REQUEST\n", split_ms},
          urgent,
          rest,
          late},
         "alpha",
         Look::part},
        // Where the socket does not block, splice says EAGAIN at the mark, not 0.
        {"non-blocking", {{auth_request("/r")}, urgent, rest, late}, "alpha", Look::settles, true},
    };
    const test::Stdin tcp[] = {test::Stdin::tcp};
    expect_sessions(pserver_argv, cases, tcp);
}

// Behind the relay the program's standard input is a pipe, where cvs's password server can no
// longer ask for TCP keepalive: pathvane asks for it on the connection. cvs's server does not.
TEST(PasswordServer, KeepsTheConnectionAlive) {
    for (bool pserver : {true, false}) {
        SCOPED_TRACE(pserver ? "pserver" : "server");
        Sandbox sandbox;
        sandbox.write_table(server_table());
        test::Invocation inv =
            sandbox.invocation(pserver ? pserver_argv : std::vector<std::string>{"cvs", "server"});
        inv.stdin_mode = test::Stdin::tcp;
        inv.input = {{pserver ? auth_request("/r") : "Root /r\n"}};
        test::Outcome outcome = test::run(inv);
        EXPECT_EQ(outcome.exit_code, 0);
        EXPECT_EQ(sandbox.record().program, "alpha");
        EXPECT_EQ(outcome.keepalive, pserver);
    }
}

} // namespace

namespace {

TEST(ServerMode, Surroundings) {
    const struct {
        const char *name;
        std::string table;
        test::Stdin stdin_mode;
        std::vector<std::string> env;
        int exit_code;
        std::string err;
        const char *program; // the recorder that ran, or "" for none
    } cases[] = {
        // A closed standard input reads as an empty one, and the program's status comes back.
        {"standard input closed",
         server_table(),
         test::Stdin::closed,
         {"RECORD_EXIT=7"},
         7,
         "",
         "fallback"},
        {"standard input at its end", server_table(), test::Stdin::dev_null, {}, 0, "", "fallback"},
        {"program that ignores its input",
         server_table(),
         test::Stdin::pipe,
         {"RECORD_STDIN=skip"},
         0,
         "",
         "alpha"},
        {"program not executable",
         "/r prog=" SANDBOX "/pathvane.conf\n",
         test::Stdin::pipe,
         {},
         1,
         "cvs: child: exec: Permission denied\n",
         ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        sandbox.write_table(c.table);
        test::Invocation inv = sandbox.invocation({"cvs", "server"}, c.env);
        inv.stdin_mode = c.stdin_mode;
        inv.ignore_sigpipe = true;
        inv.input = {{"Root /r\nValid-responses ok\n"}};
        test::Outcome outcome = test::run(inv);
        EXPECT_TRUE(outcome.exited);
        if (c.err.find("child: exec") != std::string::npos) {
            EXPECT_TRUE(Sandbox::start_failed(outcome, c.err))
                << outcome.exit_code << " " << outcome.err;
        } else {
            EXPECT_EQ(outcome.exit_code, c.exit_code);
            EXPECT_EQ(outcome.err, c.err);
        }
        // The fallback may still be starting when pathvane has given up.
        for (int i = 0; i < 100 && sandbox.record().program != c.program; ++i)
            usleep(20000);
        EXPECT_EQ(sandbox.record().program, c.program);
    }
}

} // namespace
