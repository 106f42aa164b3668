#include "server_mode.h"

#include <cerrno>
#include <err.h>
#include <poll.h>
#include <unistd.h>

namespace pathvane {

OpeningData read_opening_data(int fd, RequestScan scan) {
    OpeningData data;
    if (!data.buffer.allocate(opening_data_limit + 1))
        err(1, "malloc"); // the allocation's name as callers and logs know it
    char *buffer = data.buffer.get();
    buffer[0] = '\0';
    // A monotonic clock, so that setting the wall clock neither stretches nor shrinks the budget.
    data.started = monotonic_now();
    std::size_t offset = 0;

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
        // Data, a hang-up or an error: the read tells which. A failure is the machine's, not
        // the client's silence, and must not hand the session to another program.
        ssize_t n = ::read(fd, buffer + data.count, opening_data_limit - data.count);
        if (n == -1 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n == -1 && !connection_lost(errno))
            errx(1, "parent: read");
        if (n <= 0)
            return data;
        data.count += static_cast<std::size_t>(n);
        buffer[data.count] = '\0';

        RootRequest request = scan({buffer, data.count}, offset);
        switch (request.outcome) {
        case RootRequest::Outcome::found:
            data.root = std::move(request.path);
            data.end = OpeningData::End::root_request;
            return data;
        case RootRequest::Outcome::empty:
            data.end = OpeningData::End::empty_root;
            return data;
        case RootRequest::Outcome::none:
            data.end = OpeningData::End::no_request;
            return data;
        case RootRequest::Outcome::need_more:
            break;
        }
        if (data.count == opening_data_limit) {
            data.end = OpeningData::End::size_limit;
            return data;
        }
    }
}

} // namespace pathvane
