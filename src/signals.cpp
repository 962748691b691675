#include "src/signals.h"

#include <errno.h>
#include <event2/event.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop_requested = 0;
int wake_pipe[2] = {-1, -1};
struct event *wake_event = nullptr;

void on_signal(int) {
    int saved = errno;
    stop_requested = 1;
    if (wake_pipe[1] >= 0) {
        char c = 1;
        ssize_t r = write(wake_pipe[1], &c, 1);
        (void)r;
    }
    errno = saved;
}

void on_wake(evutil_socket_t fd, short, void *arg) {
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    event_base_loopbreak(static_cast<struct event_base *>(arg));
}

}  // namespace

int signals_install(struct event_base *base) {
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    wake_event = event_new(base, wake_pipe[0], EV_READ | EV_PERSIST, on_wake, base);
    if (!wake_event || event_add(wake_event, nullptr) != 0) return -1;

    // No SA_RESTART: a sleeping wait on the loop thread wakes up at once.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGTERM, &sa, nullptr) != 0 || sigaction(SIGINT, &sa, nullptr) != 0) return -1;
    return 0;
}

int signals_stop_requested(void) { return stop_requested ? 1 : 0; }

void signals_remove(void) {
    if (wake_event) {
        event_free(wake_event);
        wake_event = nullptr;
    }
    for (int &fd : wake_pipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}
