// Failures of memory, opens and reads, injected one point at a time: at each point pathvane must
// end with one of its one-line messages and status 1, or pass the failure over where that is
// its design, and never crash, hang, choose another program quietly or lose the client's bytes.
// Which failure comes at which point is the code's business; the tests do not fix the order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "log_socket.h"
#include "sandbox.h"

namespace {

using test::Sandbox;

// What may happen when a failure is injected: the run ends with "cvs: <message>" and status 1,
// the program named runs, with every byte, as if nothing had failed, or, where the failure is a
// connection's, the client's input ends there.
struct Expected {
    std::string message;     // empty when the failure is passed over
    const char *program;     // the recorder that runs ("" for none), null where either may be seen
    bool input_ends = false; // the failure ends the client's input, as when its connection goes
    bool cut = false;        // and the program gets less than the client sent
};

// Fatal before any program has started.
Expected fatal(std::string message) {
    return {std::move(message), ""};
}
// Fatal once the program has started, behind the relay.
Expected fatal_when_relaying(std::string message) {
    return {std::move(message), nullptr};
}
Expected passed_over(const char *program) {
    return {"", program};
}
// The client's input ends at the failure: `program` runs with what came before it (with `cut`,
// less than the client sent: the failure came before its end), and pathvane ends with its
// status, 0, and the session's end record.
Expected input_ends(const char *program, bool cut = false) {
    return {"", program, true, cut};
}

// The fatal end of a failure to read the sandbox's table.
Expected table_fails(const std::string &reason) {
    return fatal(SANDBOX "/pathvane.conf: " + reason);
}

struct FaultCase {
    const char *name;
    std::string table;
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::string root_file;
    std::string input;             // standard input, in one write
    const char *program;           // what runs when nothing fails
    std::vector<Expected> allowed; // each seen at one point or more, and nothing else
    test::Stdin stdin_mode = test::Stdin::pipe;
    std::vector<test::Chunk> pieces = {}; // or standard input in these pieces
};

// What the client sends.
std::string sent(const FaultCase &c) {
    std::string bytes = c.input;
    for (const test::Chunk &piece : c.pieces)
        bytes += piece.bytes;
    return bytes;
}

std::string routes() {
    return "* prog=" + Sandbox::recorder("default") + "\n" + //
           "/r prog=" + Sandbox::recorder("alpha") + "\n" +  //
           "/s prog=" + Sandbox::recorder("beta") + "\n";
}

// A command in a working copy whose CVS/Root names /r, under a CVSROOT of /s: CVS/Root's
// program, alpha, runs when nothing fails.
FaultCase in_working_copy(std::vector<Expected> allowed) {
    return {.name = "root file",
            .table = routes(),
            .argv = {"cvs", "update"},
            .env = {"CVSROOT=/s"},
            .root_file = "/r\n",
            .input = "",
            .program = "alpha",
            .allowed = std::move(allowed)};
}

// One run of `c` with a `kind` ("alloc", "open", "read", "poll", "pipe" or "splice") failure at
// `point`, with `error` as the errno of a failure other than an allocation's; `reached` tells
// whether the run came to that point.
struct PointRun {
    bool reached;
    test::Outcome outcome;
    Sandbox::Record record;
    std::vector<std::string> log; // the routing records sent
};

bool matches(const Expected &expected, const PointRun &run, const std::string &input) {
    const test::Outcome &outcome = run.outcome;
    const Sandbox::Record &record = run.record;
    if (expected.input_ends)
        return outcome.exit_code == 0 && outcome.err.empty() &&
               record.program == expected.program && input.starts_with(record.stdin_bytes) &&
               (!expected.cut || record.stdin_bytes.size() < input.size()) &&
               std::any_of(run.log.begin(), run.log.end(), [](const std::string &line) {
                   return line.find("]: end mode=") != std::string::npos &&
                          line.find(" status=0 ") != std::string::npos;
               });
    if (!expected.message.empty())
        return outcome.exit_code == 1 && outcome.err == "cvs: " + expected.message + "\n" &&
               (expected.program == nullptr || record.program == expected.program);
    // Whatever the client sent still reaches the program, whole.
    return outcome.exit_code == 0 && outcome.err.empty() && record.program == expected.program &&
           record.stdin_bytes == input;
}

// A `cvs server` session whose client sends `input`, through a pipe unless `stream` says
// otherwise; `program` runs when nothing fails.
FaultCase serving(const char *name, std::string input, const char *program,
                  std::vector<Expected> allowed, test::Stdin stream = test::Stdin::pipe) {
    return {.name = name,
            .table = routes(),
            .argv = {"cvs", "server"},
            .env = {},
            .root_file = "",
            .input = std::move(input),
            .program = program,
            .allowed = std::move(allowed),
            .stdin_mode = stream};
}

PointRun run_at(const FaultCase &c, const std::string &kind, std::size_t point, int error) {
    Sandbox sandbox;
    test::LogSocket log(sandbox.path("log"));
    sandbox.write_table(c.table);
    if (!c.root_file.empty()) {
        test::make_dir(sandbox.work() + "/CVS");
        test::write_file(sandbox.work() + "/CVS/Root", c.root_file);
    }
    std::vector<std::string> env = c.env;
    env.push_back("LD_PRELOAD=" FAULT_INJECT_LIB);
    env.push_back("FAULT_EXE=" + std::filesystem::canonical(PATHVANE_UNDER_TEST_PATH).string());
    env.push_back("FAULT_LOG=" + sandbox.path("fault.log"));
    std::string variable = "FAULT_" + kind;
    for (char &letter : variable)
        letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    env.push_back(variable + "=" + std::to_string(point));
    env.push_back("FAULT_ERRNO=" + std::to_string(error));
    test::Invocation inv = sandbox.invocation(c.argv, env);
    inv.input = c.pieces.empty() ? std::vector<test::Chunk>{{c.input}} : c.pieces;
    inv.stdin_mode = c.stdin_mode;
    inv.timeout_ms = 20000;
    test::Outcome outcome = test::run(inv);
    bool reached = test::read_file(sandbox.path("fault.log")).find(kind) != std::string::npos;
    return {reached, std::move(outcome), sandbox.record(), log.take()};
}

// Injects `kind` failures at 1, 2, ... until a run reaches no such point, and checks each run
// against `c.allowed`.
void run_points(const FaultCase &c, const std::string &kind, int error = EIO) {
    std::vector<bool> seen(c.allowed.size());
    for (std::size_t point = 1;; ++point) {
        SCOPED_TRACE(std::string(c.name) + ", " + kind + " " + std::to_string(point) + ", " +
                     std::strerror(error));
        ASSERT_LE(point, 64u) << "failure points without end";
        PointRun run = run_at(c, kind, point, error);
        const test::Outcome &outcome = run.outcome;
        ASSERT_FALSE(outcome.timed_out);
        ASSERT_TRUE(outcome.exited) << "ended by signal " << outcome.signal;
        if (!run.reached) {
            EXPECT_TRUE(matches(passed_over(c.program), run, sent(c))) << "stderr: " << outcome.err;
            for (std::size_t i = 0; i < seen.size(); ++i)
                EXPECT_TRUE(seen[i]) << "never seen: '" << c.allowed[i].message << "' "
                                     << (c.allowed[i].program ? c.allowed[i].program : "");
            return;
        }
        bool allowed = false;
        for (std::size_t i = 0; i < c.allowed.size(); ++i)
            if (matches(c.allowed[i], run, sent(c)))
                allowed = seen[i] = true;
        EXPECT_TRUE(allowed) << "status " << outcome.exit_code << ", program '"
                             << run.record.program << "', stderr: " << outcome.err;
    }
}

TEST(Faults, EveryAllocationFailure) {
    if (Sandbox::sanitized() || Sandbox::under_valgrind())
        GTEST_SKIP() << "the allocator is the sanitizer's or valgrind's";
    const Expected strdup = fatal("strdup: Cannot allocate memory");
    const Expected strndup = fatal("strndup: Cannot allocate memory");
    const Expected malloc = fatal("malloc: Cannot allocate memory");
    const Expected spawn = fatal("posix_spawn: Cannot allocate memory");
    const Expected optio = fatal_when_relaying("optio: Cannot allocate memory");
    const Expected table = table_fails("Cannot allocate memory");
    const Expected root_file = fatal("CVS/Root: Cannot allocate memory");
    // A program started on the client's own stream needs no file actions, which posix_spawn
    // allocates; the relay's, from /dev/null, does.
    std::vector<Expected> serving_allocations = {malloc, strndup, strdup, table};
    if (!test::read_in_place(test::Stdin::pipe))
        serving_allocations.push_back(spawn);
    const FaultCase cases[] = {
        // The copy of the root, the table's line buffer, the default entry, the result.
        {"direct launch",
         routes(),
         {"cvs", "-d", "/r", "co", "m"},
         {},
         "",
         "",
         "alpha",
         {strdup, table}},
        {"two default entries",
         routes() + "* prog=" + Sandbox::recorder("beta") + "\n",
         {"cvs", "-d", "/elsewhere", "co"},
         {},
         "",
         "",
         "beta",
         {strdup, table}},
        // A root file that cannot be read into memory must not hand the choice to CVSROOT.
        in_working_copy({root_file, strdup, table}),
        {"no root", routes(), {"cvs", "--version"}, {}, "", "", "fallback", {}},
        // The opening data, the Root path, the lookup and the start of the program; the
        // relay moves the rest without a buffer of its own.
        serving("server mode", "Root /r\nValid-responses ok\n", "alpha", serving_allocations),
        // An input that splice cannot read is copied through a buffer.
        serving("server mode from /dev/null", "", "fallback", {malloc, spawn, optio},
                test::Stdin::dev_null),
    };
    for (const FaultCase &c : cases)
        run_points(c, "alloc");
}

TEST(Faults, EveryReadFailure) {
    if (Sandbox::sanitized() || Sandbox::under_valgrind())
        GTEST_SKIP() << "the sanitizer's or valgrind's preloads come first";
    const Expected table = table_fails("Input/output error");
    // A table that takes three reads: its default entry in the first, its route in the last.
    std::string long_table = "* prog=" + Sandbox::recorder("default") + "\n" +
                             std::string(70000, '#') + "\n" +
                             "/r prog=" + Sandbox::recorder("alpha") + "\n";
    // A failed read of the client's stream is fatal, in the opening data as in the relay: it
    // must not hand the session to the fallback. Where the program reads a pipe in place,
    // pathvane reads only the look's copy, in a pipe of its own: a failure there leaves the
    // stream to the relay.
    const std::vector<Expected> serving_reads =
        test::read_in_place(test::Stdin::pipe)
            ? std::vector<Expected>{passed_over("alpha"), table}
            : std::vector<Expected>{fatal("parent: read: Input/output error"), table};
    const FaultCase cases[] = {
        // A table cut short by a read error would choose the default entry or the fallback.
        {"table part-way", long_table, {"cvs", "-d", "/r"}, {}, "", "", "alpha", {table}},
        in_working_copy({fatal("CVS/Root: Input/output error"), table}),
        serving("server mode", "Root /r\nValid-responses ok\n", "alpha", serving_reads),
        serving("server mode from /dev/null", "", "fallback",
                {fatal("parent: read: Input/output error"),
                 fatal_when_relaying("parent: read: Input/output error")},
                test::Stdin::dev_null),
    };
    for (const FaultCase &c : cases)
        run_points(c, "read");
    // A failure that means "no table" at the first read cuts the table short after it,
    FaultCase denied = cases[0];
    denied.allowed = {passed_over("fallback"), table_fails("Permission denied")};
    run_points(denied, "read", EACCES);
    // even where the lookup has passed over every line read before it.
    denied.table = std::string(70000, '#') + "\n" + denied.table;
    PointRun second = run_at(denied, "read", 2, EACCES);
    EXPECT_TRUE(second.reached);
    EXPECT_TRUE(matches(table_fails("Permission denied"), second, ""))
        << "program '" << second.record.program << "', stderr: " << second.outcome.err;
}

// A read or splice of a socket fails with whatever the connection last saw when TCP gives up
// on it (keepalive or retransmission timed out): the client's input has ended, and the program's
// status and the session's end record follow as at a close. On a pipe the same error is the
// machine's.
TEST(Faults, AConnectionThatFailsEndsTheInput) {
    if (Sandbox::sanitized() || Sandbox::under_valgrind())
        GTEST_SKIP() << "the sanitizer's or valgrind's preloads come first";
    // Split, so that pathvane reads the request and relays the rest.
    const std::vector<test::Chunk> session = {
        {"BEGIN AUTH REQUEST\n"}, {"/r\nanon\nA\nEND AUTH REQUEST\n", 150}, {"noop\n", 50}};
    auto over = [&](const char *name, test::Stdin stream, std::vector<Expected> allowed) {
        FaultCase c = serving(name, "", "alpha", std::move(allowed), stream);
        c.argv = {"cvs", "pserver"};
        c.pieces = session;
        return c;
    };
    // A failure in the opening data leaves the request unfinished: nothing of the connection is
    // read after it.
    const Expected opening_ends = input_ends("fallback", true);
    for (int error : {ECONNREFUSED, EHOSTDOWN}) {
        const Expected table = table_fails(std::strerror(error));
        // Read in the opening data; spliced behind it, or read there too where splice is refused.
        run_points(over("TCP", test::Stdin::tcp, {opening_ends, table}), "read", error);
        run_points(over("TCP", test::Stdin::tcp, {input_ends("alpha")}), "splice", error);
        FaultCase copied =
            over("TCP, copied", test::Stdin::tcp, {opening_ends, input_ends("alpha"), table});
        copied.env = {"FAULT_REFUSE_SPLICE=1"};
        run_points(copied, "read", error);
    }
    std::vector<Expected> pipe = {fatal("parent: read: Connection refused"),
                                  table_fails("Connection refused")};
    if (test::read_in_place(test::Stdin::pipe))
        pipe.push_back(passed_over("alpha")); // the look's own copy: the relay reads instead
    run_points(over("pipe", test::Stdin::pipe, pipe), "read", ECONNREFUSED);
}

TEST(Faults, EveryPollFailure) {
    if (Sandbox::sanitized() || Sandbox::under_valgrind())
        GTEST_SKIP() << "the sanitizer's or valgrind's preloads come first";
    // While the client's opening data is read, and while the rest is relayed.
    const Expected poll = fatal("poll: Cannot allocate memory");
    const Expected relay_poll = fatal_when_relaying("poll: Cannot allocate memory");
    for (test::Stdin stream : {test::Stdin::pipe, test::Stdin::socketpair})
        run_points(serving("server mode", "Root /r\nValid-responses ok\n", "alpha",
                           {poll, relay_poll}, stream),
                   "poll", ENOMEM);
}

// A password server's client sends its password in the opening data or after it: whatever
// memory of pathvane's held it must be wiped before it is released, whether pathvane only
// looked at the stream or relayed it, by either relay.
TEST(Secrets, NoPasswordInReleasedMemory) {
    if (Sandbox::sanitized() || Sandbox::under_valgrind())
        GTEST_SKIP() << "the sanitizer's or valgrind's preloads come first";
    const std::string password = "Ay=0=h<Z-sekrit";
    const struct {
        const char *name;
        std::vector<test::Chunk> input;
    } cases[] = {
        {"seen by the look",
         {{"BEGIN AUTH REQUEST\n/r\nanon\n" + password + "\nEND AUTH REQUEST\n"}}},
        // The look sees part of the request, and the stream goes through the relay.
        {"in the opening data",
         {{"BEGIN AUTH REQUEST\n/"}, {"r\nanon\n" + password + "\nEND AUTH REQUEST\n", 100}}},
        {"relayed", {{"BEGIN AUTH REQUEST\n/r"}, {"\n", 100}, {"anon\n" + password + "\n", 300}}},
    };
    for (const auto &c : cases)
        for (bool by_copy : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (by_copy ? ", copied" : ", spliced"));
            Sandbox sandbox;
            sandbox.write_table(routes());
            std::vector<std::string> env = {
                "LD_PRELOAD=" FAULT_INJECT_LIB,
                "FAULT_EXE=" + std::filesystem::canonical(PATHVANE_UNDER_TEST_PATH).string(),
                "FAULT_LOG=" + sandbox.path("fault.log"), "FAULT_SECRET=" + password,
                "FAULT_REFUSE_SPLICE=" + std::string(by_copy ? "1" : "0")};
            test::Invocation inv = sandbox.invocation({"cvs", "pserver"}, env);
            inv.input = c.input;
            test::Outcome outcome = test::run(inv);
            EXPECT_EQ(outcome.exit_code, 0) << outcome.err;
            Sandbox::Record record = sandbox.record();
            EXPECT_EQ(record.program, "alpha");
            EXPECT_NE(record.stdin_bytes.find(password), std::string::npos);
            EXPECT_EQ(test::read_file(sandbox.path("fault.log")), "");
        }
}

// Where a pipe cannot be made: the look's own, in a session whose stream could be read in place,
// leaves the stream to the relay; the relay's is fatal, once the route record has gone.
TEST(Faults, APipeThatCannotBeMade) {
    if (Sandbox::sanitized() || Sandbox::under_valgrind())
        GTEST_SKIP() << "the sanitizer's or valgrind's preloads come first";
    const bool pipe_looked_at = test::read_in_place(test::Stdin::pipe);
    const struct {
        const char *name;
        test::Stdin stream;
        int exit_code;
        std::string err;
        const char *program;
    } cases[] = {
        {"relayed from /dev/null", test::Stdin::dev_null, 1, "cvs: pipe: Too many open files\n",
         ""},
        {"from a pipe", test::Stdin::pipe, pipe_looked_at ? 0 : 1,
         pipe_looked_at ? "" : "cvs: pipe: Too many open files\n", pipe_looked_at ? "alpha" : ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        test::LogSocket log(sandbox.path("log"));
        sandbox.write_table(routes());
        test::Invocation inv = sandbox.invocation(
            {"cvs", "server"},
            {"LD_PRELOAD=" FAULT_INJECT_LIB,
             "FAULT_EXE=" + std::filesystem::canonical(PATHVANE_UNDER_TEST_PATH).string(),
             "FAULT_LOG=" + sandbox.path("fault.log"), "FAULT_PIPE=1",
             "FAULT_ERRNO=" + std::to_string(EMFILE)});
        inv.stdin_mode = c.stream;
        inv.input = {{"Root /r\nValid-responses ok\n"}};
        test::Outcome outcome = test::run(inv);
        EXPECT_EQ(test::read_file(sandbox.path("fault.log")), "pipe 1\n");
        EXPECT_EQ(outcome.exit_code, c.exit_code);
        EXPECT_EQ(outcome.err, c.err);
        Sandbox::Record record = sandbox.record();
        EXPECT_EQ(record.program, c.program);
        if (c.exit_code == 0) {
            EXPECT_EQ(record.stdin_bytes, "Root /r\nValid-responses ok\n");
        }
        std::vector<std::string> records = log.take();
        ASSERT_FALSE(records.empty()) << "no route record";
        EXPECT_NE(records[0].find(" route mode=server "), std::string::npos) << records[0];
        EXPECT_NE(records[0].find(" stream=relayed"), std::string::npos) << records[0];
    }
}

TEST(Faults, EveryOpenFailure) {
    if (Sandbox::sanitized() || Sandbox::under_valgrind())
        GTEST_SKIP() << "the sanitizer's or valgrind's preloads come first";
    // What the setup lacks means there is no such file; what the machine runs out of is fatal.
    const struct {
        int error;
        bool fatal;
    } errors[] = {
        {EMFILE, true},  {ENFILE, true},  {ENOMEM, true},        {EIO, true},
        {EROFS, true},   {ENOENT, false}, {ENOTDIR, false},      {EACCES, false},
        {EISDIR, false}, {ELOOP, false},  {ENAMETOOLONG, false},
    };
    for (const auto &e : errors) {
        const std::string reason = std::strerror(e.error);
        // CVS/Root passed over gives CVSROOT's program; the table passed over, the fallback.
        run_points(
            in_working_copy(
                e.fatal ? std::vector<Expected>{fatal("CVS/Root: " + reason), table_fails(reason)}
                        : std::vector<Expected>{passed_over("beta"), passed_over("fallback")}),
            "open", e.error);
    }
}

} // namespace
