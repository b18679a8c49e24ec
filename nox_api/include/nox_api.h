#ifndef NOX_API_H
#define NOX_API_H

/*
 * Client library of the nox key-value store.
 *
 * A handle is one blocking TCP connection to a store daemon speaking RESP2
 * (the Redis protocol). Handles are independent: the library keeps no global
 * state, so several threads may use it at once, each on a handle of its own.
 * A handle must not be used by two threads at the same time.
 *
 * Every function returns a status: NOX_OK (0) on success, one of the other
 * nox_status values on failure.
 *
 * Typical use:
 *
 *     nox_handle* h = NULL;
 *     if (nox_open(&h, 0) != NOX_OK) ...
 *     if (nox_connect(h, "127.0.0.1", 6379) != NOX_OK) ...
 *     nox_set_option(h, NOX_OPTION_TIMEOUT, 500);
 *     nox_put(h, "key", "value", 5, 0);
 *     nox_close(h);
 */

#include <stddef.h>
#include <stdint.h>

#if defined(NOX_API_BUILDING) && defined(__GNUC__)
#define NOX_API_EXPORT __attribute__((visibility("default")))
#else
#define NOX_API_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nox_handle nox_handle; /* opaque connection handle */

typedef enum nox_status {
    NOX_OK = 0,
    NOX_NOT_FOUND = 1,      /* no entry under the key (update, remove, get) */
    NOX_EXISTS = 2,         /* an entry under the key exists already (put) */
    NOX_TOO_SMALL = 3,      /* get: the content is longer than the buffer */
    NOX_TIMEOUT = 4,        /* the time limit passed; the connection is closed */
    NOX_IO_ERROR = 5,       /* connect failed or the connection broke; it is closed */
    NOX_PROTOCOL_ERROR = 6, /* the daemon's reply was malformed or unexpected */
    NOX_BAD_ARGUMENT = 7,   /* a null pointer, an unknown flag or option, a bad value */
    NOX_SERVER_ERROR = 8,   /* the daemon answered the request with an error */
    NOX_NOT_CONNECTED = 9,  /* the handle has no connection (never made, or closed) */
    NOX_NO_MEMORY = 10      /* nox_open could not allocate the handle */
} nox_status;

/* Options of nox_set_option. */
enum {
    /* Time limit in milliseconds (an int > 0) for connecting, for sending a
     * request and for receiving its reply. Until it is set the limit is
     * NOX_DEFAULT_TIMEOUT_MS. */
    NOX_OPTION_TIMEOUT = 0
};

#define NOX_DEFAULT_TIMEOUT_MS 10000

/*
 * Creates an unconnected handle and stores it in *handle. flags must be 0.
 * On failure *handle is set to NULL (when handle itself is not NULL).
 */
NOX_API_EXPORT int32_t nox_open(nox_handle** handle, int flags);

/*
 * Connects the handle to host (a numeric IPv4 or IPv6 address, "%scope"
 * allowed, or a name) and port (1 to 65535), waiting at most the time limit.
 * A handle that is connected already drops its old connection first.
 */
NOX_API_EXPORT int32_t nox_connect(nox_handle* handle, const char* host, int port);

/*
 * Sets an option; the value follows as a variable argument. The only option
 * is NOX_OPTION_TIMEOUT with an int value. Unknown options and values out of
 * range give NOX_BAD_ARGUMENT and change nothing.
 */
NOX_API_EXPORT int32_t nox_set_option(nox_handle* handle, int option, ...);

/*
 * Stores a new entry: key is NUL-terminated, value is length bytes (any
 * bytes; value may be NULL when length is 0). flags must be 0. An existing
 * entry under the key is left as it is and gives NOX_EXISTS.
 */
NOX_API_EXPORT int32_t nox_put(nox_handle* handle, const char* key, const void* value,
                               size_t length, int flags);

/*
 * Replaces the content of an existing entry; arguments as for nox_put. A
 * missing entry is not created and gives NOX_NOT_FOUND.
 */
NOX_API_EXPORT int32_t nox_update(nox_handle* handle, const char* key, const void* value,
                                  size_t length, int flags);

/* Deletes an entry; a missing entry gives NOX_NOT_FOUND. */
NOX_API_EXPORT int32_t nox_remove(nox_handle* handle, const char* key);

/*
 * Reads the content of an entry into buffer, whose size *length gives on the
 * call (buffer may be NULL when *length is 0). On NOX_OK *length holds the
 * content's length. A content longer than the buffer gives NOX_TOO_SMALL
 * with the content's length in *length; the buffer's bytes are then
 * unspecified. On every other failure *length is left unchanged.
 */
NOX_API_EXPORT int32_t nox_get(nox_handle* handle, const char* key, void* buffer,
                               size_t* length);

/* Closes the connection, if any, and frees the handle. */
NOX_API_EXPORT int32_t nox_close(nox_handle* handle);

#ifdef __cplusplus
}
#endif

#endif /* NOX_API_H */
