#include "src/signals.h"

#include <errno.h>
#include <event2/event.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "src/lua_api/lua_state.h"

namespace {

const unsigned kEventCount = EVENT_BASE_COUNT_ADDED | EVENT_BASE_COUNT_ACTIVE | EVENT_BASE_COUNT_VIRTUAL;

/* What scripts may take of the tear-down: each call, and all of them together. */
const unsigned kTeardownCallMs = 2000;
const unsigned kTeardownScriptsMs = 6000;

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t tearing_down = 0;
int wake_pipe[2] = {-1, -1};
struct event *wake_event = nullptr;
pthread_t loop_thread;
/* The base's events with the wake-up event alone. */
int own_events = 0;

void on_pipe(int) {}

void on_signal(int sig) {
    int saved = errno;
    // Only the loop thread runs scripts: a signal taken by another thread is handed to it.
    if (!pthread_equal(pthread_self(), loop_thread)) {
        pthread_kill(loop_thread, sig);
        errno = saved;
        return;
    }
    if (sig == SIGALRM) {
        // A call of the tear-down has had its time.
        lua_state_interrupt(0);
        errno = saved;
        return;
    }
    stop_requested = 1;
    // Until the tear-down nothing may run a script again; in it, the cleanups after this one still run.
    lua_state_interrupt(tearing_down ? 0 : 1);
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
    loop_thread = pthread_self();
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_pipe;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGPIPE, &sa, nullptr) != 0) return -1;

    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    wake_event = event_new(base, wake_pipe[0], EV_READ | EV_PERSIST, on_wake, base);
    if (!wake_event || event_add(wake_event, nullptr) != 0) return -1;
    own_events = event_base_get_num_events(base, kEventCount);

    // No SA_RESTART: a sleeping wait on the loop thread wakes up at once.
    sa.sa_handler = on_signal;
    sa.sa_flags = 0;
    if (sigaction(SIGTERM, &sa, nullptr) != 0 || sigaction(SIGINT, &sa, nullptr) != 0) return -1;
    // The time bound of the tear-down's calls only ends a script: blocking reads go on.
    sa.sa_flags = SA_RESTART;
    if (sigaction(SIGALRM, &sa, nullptr) != 0) return -1;
    return 0;
}

void signals_begin_teardown(void) {
    tearing_down = 1;
    lua_state_accept_calls();
    lua_state_bound_calls(kTeardownCallMs, kTeardownScriptsMs);
}

int signals_stop_requested(void) { return stop_requested ? 1 : 0; }

void signals_dispatch(struct event_base *base) {
    // The wake-up event alone must not keep the loop alive.
    while (!stop_requested && event_base_get_num_events(base, kEventCount) > own_events)
        if (event_base_loop(base, EVLOOP_ONCE) < 0) break;
}

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
