#ifndef BRX_SRC_DEVICE_DEVICE_H
#define BRX_SRC_DEVICE_DEVICE_H

struct event_base;

#define BRX_VERSION "1.9"
#define BRX_BUILD "30"
#define BRX_PIDFILE "/var/run/Brixmoor.pid"

/* 1 written, 0 not. */
int write_pidfile(const char *path);
/* 0, or -1 when a fork or setsid fails. */
int make_daemon(int keep_dir, int keep_fds);

int device_start(struct event_base *base);
int device_stop(void);
void init_redis(void);
void init_base(struct event_base *base);
/* 1 when this engine's own device context exists and has that id. */
int is_this_device(const char *device_id);

/* Test mode -l: one state with every module runs the file; 0, or -1 when the file fails. */
int device_load_file(const char *path, struct event_base *base);
/* Test mode -t: each path published on "driver:dofile" runs in the "LAN" domain's state. */
void device_subscribe_to_test_channel(void);
int device_load_file_ex(const char *channel, const char *path);

#endif
