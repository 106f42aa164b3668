// The floor of a server mode that lets its program read the client's stream itself: started as
// pathvane is ("cvs server", the client's stream as standard input), it waits for the stream's
// first bytes, then starts PROGRAM (built in) with posix_spawn on its own standard input,
// untouched, closes that input and waits for the program. It reads nothing.
#include <cerrno>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

int main(int, char *argv[]) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    while (poll(&in, 1, -1) == -1)
        if (errno != EINTR)
            return 126;
    pid_t child = 0;
    if (posix_spawn(&child, PROGRAM, nullptr, nullptr, argv, environ) != 0)
        return 127;
    close(STDIN_FILENO);
    int status = 0;
    while (waitpid(child, &status, 0) == -1)
        if (errno != EINTR)
            return 126;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
