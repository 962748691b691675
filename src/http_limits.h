#ifndef BRX_SRC_HTTP_LIMITS_H
#define BRX_SRC_HTTP_LIMITS_H

/*
 * How much the HTTP client takes from a server before it gives the request up: past any of these
 * the request ends like one without a reply (status 500, no headers, no body, a download fails and
 * its file is removed) and its connection is closed. A server is never trusted to stop sending.
 */

/* The status line and header block, interim 1xx replies included; also each chunk-size line and
 * the trailer block. */
#define HTTP_MAX_HEADER_BLOCK (64 * 1024)

/* The body kept for one callback: a whole reply body, or one chunk of a chunked GET (whose
 * stream as a whole is not bounded). */
#define HTTP_MAX_BODY (16 * 1024 * 1024)

/* A download into a file (firmware images). */
#define HTTP_MAX_FILE (256 * 1024 * 1024)

/* Seconds from the request call to its last byte; a chunked GET has it only until its headers
 * are complete. Connect and read time-outs apply besides. */
#define HTTP_REQUEST_DEADLINE_SEC 120
#define HTTP_FILE_DEADLINE_SEC 3600

#endif
