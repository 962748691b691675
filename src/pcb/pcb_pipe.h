#ifndef BRX_SRC_PCB_PCB_PIPE_H
#define BRX_SRC_PCB_PCB_PIPE_H

/*
 * Framing of the bus pipe: a message is one type byte, the payload length in decimal, '|', then
 * the payload. The writer completes every message; the reader keeps partial messages until the
 * rest arrives, so large messages and a full pipe never cut or drop one.
 */

#include <stddef.h>
#include <sys/types.h>

typedef struct pcb_pipe_reader pcb_pipe_reader_t;

/* payload holds len bytes and a terminating NUL; it belongs to the reader. */
typedef void (*pcb_pipe_message_cb_t)(char type, char *payload, size_t len, void *arg);

pcb_pipe_reader_t *pcb_pipe_reader_new(void);
void pcb_pipe_reader_free(pcb_pipe_reader_t *reader);

/*
 * Reads all that the non-blocking fd holds and hands over every complete message in order.
 * Returns the number of messages handed over, or -1 when the fd reported end of file or an error
 * (complete messages read before are still handed over).
 */
int pcb_pipe_reader_read(pcb_pipe_reader_t *reader, int fd, pcb_pipe_message_cb_t cb, void *arg);

/* Bytes held of an unfinished message. */
size_t pcb_pipe_reader_pending(const pcb_pipe_reader_t *reader);

/* Writes all of data, waiting while the pipe is full. 0, or -1 with errno; *written gets the count. */
int pcb_pipe_write_all(int fd, const char *data, size_t len, ssize_t *written);

#endif
