/*
 * The hooks through which hiredis's asynchronous contexts wait on the loop.
 *
 * The read event stays armed for the life of the connection, so a reply costs no change of the
 * descriptor's registration. Once connected, queued commands are written from the loop's current
 * pass without asking for writability first; only a write the socket cannot take at once waits for
 * the descriptor. Either way commands leave only when the loop runs, never inside the call that
 * queued them.
 */
#include <event2/event.h>
#include <hiredis/async.h>
#include <hiredis/hiredis.h>
#include <stdlib.h>

#include "common/logger/logger.h"
#include "src/db_internal.h"

#define LOG_CATEGORY "db"

namespace {

struct db_events {
    redisAsyncContext *ac;
    struct event *read_ev;  /* persistent */
    struct event *write_ev; /* waits for writability */
    struct event *flush_ev; /* no descriptor: a write from the loop's current pass */
    int reading;
    int waiting_write;
    int in_flush;           /* inside the flush's call into hiredis */
    int freed;              /* hiredis let the context go during that call */
};

void on_read(evutil_socket_t, short, void *arg) {
    // hiredis may free the context (and these events) inside: nothing of arg is used afterwards.
    redisAsyncHandleRead(static_cast<db_events *>(arg)->ac);
}

void on_write(evutil_socket_t, short, void *arg) { redisAsyncHandleWrite(static_cast<db_events *>(arg)->ac); }

void release(db_events *e) {
    event_free(e->read_ev);
    event_free(e->write_ev);
    event_free(e->flush_ev);
    free(e);
}

void on_flush(evutil_socket_t, short, void *arg) {
    auto *e = static_cast<db_events *>(arg);
    e->in_flush = 1;
    redisAsyncHandleWrite(e->ac);
    if (e->freed) {
        release(e);
        return;
    }
    e->in_flush = 0;
}

void add_read(void *arg) {
    auto *e = static_cast<db_events *>(arg);
    if (e->reading) return;
    event_add(e->read_ev, nullptr);
    e->reading = 1;
}

void del_read(void *arg) {
    auto *e = static_cast<db_events *>(arg);
    if (!e->reading) return;
    event_del(e->read_ev);
    e->reading = 0;
}

void add_write(void *arg) {
    auto *e = static_cast<db_events *>(arg);
    if (e->waiting_write) return;
    // Before the connection is up, writability is what tells hiredis that the connect completed; and
    // what a flush could not write waits for the socket to drain.
    if (!(e->ac->c.flags & REDIS_CONNECTED) || e->in_flush) {
        event_add(e->write_ev, nullptr);
        e->waiting_write = 1;
        return;
    }
    event_active(e->flush_ev, EV_WRITE, 0);
}

void del_write(void *arg) {
    auto *e = static_cast<db_events *>(arg);
    if (!e->waiting_write) return;
    event_del(e->write_ev);
    e->waiting_write = 0;
}

void cleanup(void *arg) {
    auto *e = static_cast<db_events *>(arg);
    e->ac->ev.data = nullptr;
    if (e->in_flush) {
        // The flush is still inside hiredis: it releases the events when the call returns.
        event_del(e->read_ev);
        event_del(e->write_ev);
        e->freed = 1;
        return;
    }
    release(e);
}

}  // namespace

int db_attach_events(redisAsyncContext *ac, struct event_base *base) {
    if (ac->ev.data) return -1;
    auto *e = static_cast<db_events *>(calloc(1, sizeof(db_events)));
    if (!e) BRX_OOM_EXIT("redis events");
    e->ac = ac;
    e->read_ev = event_new(base, ac->c.fd, EV_READ | EV_PERSIST, on_read, e);
    e->write_ev = event_new(base, ac->c.fd, EV_WRITE | EV_PERSIST, on_write, e);
    e->flush_ev = event_new(base, -1, 0, on_flush, e);
    if (!e->read_ev || !e->write_ev || !e->flush_ev) BRX_OOM_EXIT("redis events");
    ac->ev.addRead = add_read;
    ac->ev.delRead = del_read;
    ac->ev.addWrite = add_write;
    ac->ev.delWrite = del_write;
    ac->ev.cleanup = cleanup;
    ac->ev.data = e;
    add_read(e);
    add_write(e);
    return 0;
}
