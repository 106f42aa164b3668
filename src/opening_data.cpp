#include "server_mode.h"

#include <cerrno>
#include <cstring>
#include <err.h>
#include <poll.h>
#include <strings.h> // explicit_bzero, on the BSDs
#include <unistd.h>

namespace pathvane {

namespace {

// Whether `request` settles how the session goes; sets `data` accordingly.
bool settles(RootRequest &request, OpeningData &data) {
    switch (request.outcome) {
    case RootRequest::Outcome::found:
        data.root = std::move(request.path);
        data.end = OpeningData::End::root_request;
        return true;
    case RootRequest::Outcome::empty:
        data.end = OpeningData::End::empty_root;
        return true;
    case RootRequest::Outcome::none:
        data.end = OpeningData::End::no_request;
        return true;
    case RootRequest::Outcome::need_more:
        break;
    }
    return false;
}

// Scans the first `count` bytes of the buffer, from `offset`: whether they settle the session,
// by the request's outcome or by reaching the size limit.
bool scan_settles(RequestScan scan, std::size_t count, std::size_t &offset, OpeningData &data) {
    char *buffer = data.buffer.get();
    buffer[count] = '\0';
    RootRequest request = scan({buffer, count}, offset);
    if (settles(request, data))
        return true;
    if (count < opening_data_limit)
        return false;
    data.end = OpeningData::End::size_limit;
    return true;
}

// Looks once at the start of the stream at `fd` and scans what it saw. True where that settles
// the session, without a byte taken: the request's outcome, the size limit reached, or the
// whole stream seen. The buffer is then wiped and released, as what it saw may hold a password.
bool settle_in_place(int fd, RequestScan scan, OpeningData &data) {
    char *buffer = data.buffer.get();
    StreamLook look = look_at_stream(fd, buffer, opening_data_limit);
    if (look.seen == StreamLook::Seen::none)
        return false;
    std::size_t offset = 0;
    bool settled = scan_settles(scan, look.count, offset, data);
    if (!settled && look.seen == StreamLook::Seen::all) {
        data.end = OpeningData::End::input_ended;
        settled = true;
    }
    ::explicit_bzero(buffer, look.count);
    if (settled) {
        data.in_place = true;
        data.buffer.reset();
    }
    return settled;
}

} // namespace

void end_input_or_fail(int error, int fd) {
    if (error != ENOMEM && error != ENOBUFS && is_socket(fd))
        return;
    errno = error;
    err(1, "parent: read");
}

OpeningData read_opening_data(int fd, RequestScan scan) {
    OpeningData data;
    if (!data.buffer.allocate(opening_data_limit + 1))
        err(1, "malloc"); // the allocation's name as callers and logs know it
    char *buffer = data.buffer.get();
    buffer[0] = '\0';
    // A monotonic clock, so that setting the wall clock neither stretches nor shrinks the budget.
    data.started = monotonic_now();
    std::size_t offset = 0;
    bool looked = false;

    for (;;) {
        long elapsed = elapsed_ms(data.started, monotonic_now());
        if (elapsed >= opening_data_budget_ms) {
            data.end = OpeningData::End::time_budget;
            return data;
        }
        pollfd input{fd, POLLRDNORM, 0};
        int ready = ::poll(&input, 1, static_cast<int>(opening_data_budget_ms - elapsed));
        if (ready == -1 && errno == EINTR)
            continue; // poll again for the time that is left
        if (ready == -1)
            err(1, "poll");
        if (ready == 0) {
            data.end = OpeningData::End::time_budget;
            return data;
        }
        // One look only: after a look that saw part of a request, poll still reports the stream
        // readable, and looking again until the rest came would spin.
        if (!looked) {
            looked = true;
            if (settle_in_place(fd, scan, data))
                return data;
        }
        // Data, a hang-up or an error: the read tells which. A failure of the machine's is not
        // the client's silence, and must not hand the session to another program; a socket's
        // connection that fails has ended the input, as a close does.
        ssize_t n = ::read(fd, buffer + data.count, opening_data_limit - data.count);
        if (n == -1 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n == -1) {
            end_input_or_fail(errno, fd);
            data.connection_failed = true;
        }
        if (n <= 0)
            return data;
        data.count += static_cast<std::size_t>(n);
        if (scan_settles(scan, data.count, offset, data))
            return data;
    }
}

} // namespace pathvane
