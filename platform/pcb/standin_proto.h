#ifndef BRX_PLATFORM_PCB_STANDIN_PROTO_H
#define BRX_PLATFORM_PCB_STANDIN_PROTO_H

/*
 * What the bus stand-in's library, daemon and tool share: the socket address, line I/O and the
 * typed JSON form of values ({"type": "<name>", "value": <JSON>}). Requests and replies are
 * one JSON object per line.
 */

#include <stddef.h>

#include <string>

#include "platform/pcb/pcb_bus.h"

struct cJSON;

namespace pcb_standin {

constexpr const char *kDefaultSocket = "/var/run/pcb_sys";
constexpr int kSyncTimeoutMs = 5000;

/* Milliseconds of the monotonic clock. */
long long now_ms();

/* PCB_STANDIN_SOCKET, else the path inside "pcb://ipc:{<path>}", else the default. */
std::string socket_path_for(const char *uri);

/* Blocking, close-on-exec; -1 on failure. */
int connect_unix(const std::string &path);
/* Replaces a stale socket file; non-blocking, close-on-exec; -1 on failure. */
int listen_unix(const std::string &path);

/* Sends everything (MSG_NOSIGNAL), waiting out a full socket buffer; false on error. */
bool send_all(int fd, const char *data, size_t len);
/* One JSON object as one line; false on error. */
bool send_json(int fd, const cJSON *msg);

class LineBuffer {
public:
    void append(const char *data, size_t len) { buf_.append(data, len); }
    /* The next complete line, without its newline. */
    bool next(std::string &line);
    size_t size() const { return buf_.size(); }
    void clear() { buf_.clear(); }

private:
    std::string buf_;
    size_t start_ = 0;
};

/* Appends all that the socket holds without waiting; false when it reported end of file or an error. */
bool drain_socket(int fd, LineBuffer &buf);

/* Reads from fd until buf holds a line: 1 line, 0 timeout, -1 end of file or error. */
int read_line(int fd, LineBuffer &buf, std::string &line, int timeout_ms);

const char *variant_type_name(variant_type_t type);
variant_type_t variant_type_from_name(const char *name);
bool variant_is_text(variant_type_t type);
bool variant_copy(variant_t *dest, const variant_t *src);
bool variant_equal(const variant_t *a, const variant_t *b);
/* Sets dest (initialised by the call) from text as a value of type; false when the text does not fit. */
bool variant_parse_as(variant_t *dest, variant_type_t type, const char *text);

/* Typed form; NULL on no memory. */
cJSON *variant_to_json(const variant_t *v);
/* From the typed form; dest is initialised by the call. */
bool variant_from_json(variant_t *dest, const cJSON *typed);
/* From a plain JSON value (seed files): booleans, int32 or int64, double, string. */
bool variant_from_plain_json(variant_t *dest, const cJSON *value);

}  // namespace pcb_standin

#endif
