/* DrovaneHelper client library: finds the Helper service, proves that the process listening on
 * its published port is the service's own, and makes its four calls (ping, start, stop, logs).
 *
 * Strings in and out are UTF-8 and NUL-terminated. Nothing is thrown across this interface.
 * Every call returns a drovane_hc_result; DROVANE_HC_OK and DROVANE_HC_REFUSED fill the reply,
 * every other result leaves the reply empty and puts the reason, the whole error chain on one
 * line, in drovane_hc_error_text(), and the operating-system error it rests on, if any, in
 * drovane_hc_os_error().
 *
 * Rights: every call works for a standard (unelevated) user. The library reads the service's
 * status, the registry value of its port and the system's TCP table, and opens no process.
 *
 * Deadlines: every call ends within the handle's timeout (DROVANE_HC_DEFAULT_TIMEOUT_MS unless
 * drovane_hc_set_timeout() says otherwise) with DROVANE_HC_TIMED_OUT, and at once with
 * DROVANE_HC_CANCELLED when another thread calls drovane_hc_cancel().
 *
 * Threads: a handle is used by one thread at a time (calls on one handle must not overlap), except
 * for drovane_hc_cancel(), which any thread may call while the handle is open; different handles
 * may be used at the same time from different threads. The strings a call returns, in its reply
 * and from drovane_hc_error_text(), belong to the handle and stay valid until the next call on
 * that handle or drovane_hc_close().
 *
 * Growth: later versions may add results, add members at the end of the structures and add
 * functions; they do not change or remove what is here. Treat an unknown result like
 * DROVANE_HC_SYSTEM_ERROR. A structure the library fills carries its size in `size`, set by the
 * caller; the library writes only the members that lie wholly within it.
 *
 * Calling convention: every function is __cdecl (DROVANE_HC_CALL), also where the compiler's
 * default differs. Windows only. Link the DLL through its import library (MinGW:
 * libdrovane_helper_client.dll.a; MSVC: drovane_helper_client.lib), or define DROVANE_HC_STATIC
 * and link the static library together with ws2_32, iphlpapi, advapi32 and bcrypt.
 */
#ifndef DROVANE_HELPER_CLIENT_H
#define DROVANE_HELPER_CLIENT_H

#include <stdint.h>

/* The version of this header; drovane_hc_version() gives the library's. */
#define DROVANE_HC_VERSION_MAJOR 1
#define DROVANE_HC_VERSION_MINOR 1
#define DROVANE_HC_VERSION_PATCH 0
#define DROVANE_HC_VERSION                                                   \
    ((DROVANE_HC_VERSION_MAJOR << 16) | (DROVANE_HC_VERSION_MINOR << 8) | \
     DROVANE_HC_VERSION_PATCH)
/* The Helper protocol this library speaks (a ping reply's x-drovane-helper-protocol). */
#define DROVANE_HC_PROTOCOL_VERSION "8"
/* The timeout of a new handle, in milliseconds. */
#define DROVANE_HC_DEFAULT_TIMEOUT_MS 5000u

#if defined(DROVANE_HC_STATIC) || !defined(_WIN32)
#define DROVANE_HC_API
#elif defined(DROVANE_HC_BUILDING_DLL)
#define DROVANE_HC_API __declspec(dllexport)
#else
#define DROVANE_HC_API __declspec(dllimport)
#endif

#if defined(_WIN32)
#define DROVANE_HC_CALL __cdecl
#else
#define DROVANE_HC_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum drovane_hc_result {
    /* The call's success reply: ping 200 (the Helper expects this Core), start 200, stop 200
     * (whether or not a Core was stopped: see `stopped`), logs 200. */
    DROVANE_HC_OK = 0,
    /* A failure reply the protocol documents: read `status`, `error_code`, `error_message`, or
     * for ping a plain-text `text`, or for stop `reason` "sessionMismatch". */
    DROVANE_HC_REFUSED = 1,
    /* The service reports Running, but its process has ended or it has published no port:
     * the installation is broken; reinstall the Helper. */
    DROVANE_HC_NOT_RUNNING = 2,
    /* The process behind the published port is not the service's process: nothing was sent.
     * The error text names both process IDs. */
    DROVANE_HC_NOT_HELPER = 3,
    /* Connecting, sending or receiving failed. */
    DROVANE_HC_CONNECTION_FAILED = 4,
    /* The reply is not one the protocol documents for this call, or is larger than any the
     * Helper sends. */
    DROVANE_HC_BAD_REPLY = 5,
    /* An argument is NULL, or one the Helper would refuse (the digest, session ID and address
     * are checked exactly as the Helper checks them): nothing was sent. */
    DROVANE_HC_INVALID_ARGUMENT = 6,
    /* A system call the library needs failed: drovane_hc_os_error() has its code. */
    DROVANE_HC_SYSTEM_ERROR = 7,
    /* Memory ran out. */
    DROVANE_HC_OUT_OF_MEMORY = 8,
    /* DrovaneHelperService is not installed: install the Helper. */
    DROVANE_HC_NOT_INSTALLED = 9,
    /* The service is installed but stopped, starting or stopping: it starts at boot; an
     * administrator can start it, or the Helper can be reinstalled. */
    DROVANE_HC_NOT_STARTED = 10,
    /* The Helper closed the connection without a reply: this process runs under another account
     * than the Helper's owner, or is a sandboxed (AppContainer, low-integrity) process of it. */
    DROVANE_HC_NOT_OWNER = 11,
    /* The Helper speaks another protocol version (a ping tells): install the Helper that came
     * with this client. */
    DROVANE_HC_PROTOCOL_MISMATCH = 12,
    /* The call's timeout passed. */
    DROVANE_HC_TIMED_OUT = 13,
    /* drovane_hc_cancel() ended the call. */
    DROVANE_HC_CANCELLED = 14,
    /* Since 1.1. connect_core: the pipe's server is another process than the Core the Helper
     * started (another process created the name first). The pipe was closed; the error text
     * names both processes. Stop the Core and start one with a new session. */
    DROVANE_HC_NOT_CORE = 15
} drovane_hc_result;

/* One reply, read into its parts. Strings are never NULL: "" where the reply has no such part.
 * Set `size` to sizeof(drovane_hc_reply) (DROVANE_HC_REPLY_INIT does) before a call; the library
 * fills the members that lie wholly within `size` and writes nothing past it. */
typedef struct drovane_hc_reply {
    uint32_t size;             /* set by the caller */
    unsigned status;           /* HTTP status */
    const char* protocol;      /* ping: the Helper's protocol version ("8") */
    const char* text;          /* ping: the Helper's path (200) or failure text (409); logs */
    const char* error_code;    /* a JSON error's "code", e.g. "coreSha256Mismatch" */
    const char* error_message; /* a JSON error's "message" */
    int has_os_error;          /* 1 when `os_error` holds the error's "details"."osError" */
    int32_t os_error;
    const char* session_id; /* start, stop: the session ID the Helper echoed */
    uint32_t pid;           /* start: the Core's process ID */
    int stopped;            /* stop: 1 when a Core was stopped */
    const char* reason;     /* stop, when not stopped: "notRunning" or "sessionMismatch" */
    /* Since 1.1. logs_since: how many lines after the cursor left the Helper's log (it holds the
     * newest 100) before this call could read them. */
    uint64_t dropped;
    /* Since 1.1. logs_since: 1 when the Helper restarted since the cursor; `text` then holds the
     * new Helper's log from its first line. */
    int restarted;
} drovane_hc_reply;

/* Every member named, so that -Wmissing-field-initializers stays quiet. */
#define DROVANE_HC_REPLY_INIT {sizeof(drovane_hc_reply), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}

/* The service as the Service Control Manager and the registry report it, without connecting.
 * Set `size` to sizeof(drovane_hc_service) (DROVANE_HC_SERVICE_INIT) before the call. */
typedef struct drovane_hc_service {
    uint32_t size;        /* set by the caller */
    int installed;        /* 1 when DrovaneHelperService exists */
    int running;          /* 1 when it reports Running */
    uint32_t state;       /* the SCM's state (SERVICE_RUNNING is 4); 0 when not installed */
    uint32_t process_id;  /* the service's process while it runs, else 0 */
    unsigned port;        /* the published port, 0 when none */
} drovane_hc_service;

#define DROVANE_HC_SERVICE_INIT {sizeof(drovane_hc_service), 0, 0, 0, 0, 0}

/* Since 1.1. A new session: its ID and its Core's pipe address, each from 16 bytes of the
 * system's cryptographic random source (no other process can guess them). Set `size` to
 * sizeof(drovane_hc_session) (DROVANE_HC_SESSION_INIT). */
typedef struct drovane_hc_session {
    uint32_t size;       /* set by the caller */
    char session_id[33]; /* 32 lower-case hexadecimal characters */
    char address[64];    /* "\\.\pipe\DrovaneCore_" and 32 of them */
} drovane_hc_session;

#define DROVANE_HC_SESSION_INIT {sizeof(drovane_hc_session), {0}, {0}}

/* Since 1.1. What the client must do before it starts a Core (drovane_hc_ensure). */
typedef enum drovane_hc_step {
    DROVANE_HC_STEP_UNKNOWN = 0, /* the call failed: see its result */
    /* The Helper runs under this account and expects this client's Core: start a Core. */
    DROVANE_HC_STEP_READY = 1,
    /* The Helper is not installed: install it (elevated, see docs/client.md). */
    DROVANE_HC_STEP_INSTALL = 2,
    /* It expects another Core, cannot use its Core, speaks another protocol or is broken:
     * reinstall it (elevated). */
    DROVANE_HC_STEP_REINSTALL = 3,
    /* It is installed but not running: show `text`, which tells what an administrator can do
     * (reinstall from this client, or restart the computer). */
    DROVANE_HC_STEP_START_SERVICE = 4,
    /* It belongs to another Windows account, or this process runs sandboxed (AppContainer, low
     * integrity): show `text`; this process cannot use the Helper. */
    DROVANE_HC_STEP_TELL_USER = 5
} drovane_hc_step;

/* Set `size` to sizeof(drovane_hc_state) (DROVANE_HC_STATE_INIT). `text` is never NULL, belongs
 * to the handle like a reply's strings, and never names a command this user cannot run. */
typedef struct drovane_hc_state {
    uint32_t size; /* set by the caller */
    drovane_hc_step step;
    const char* text;
} drovane_hc_state;

#define DROVANE_HC_STATE_INIT {sizeof(drovane_hc_state), DROVANE_HC_STEP_UNKNOWN, 0}

typedef struct drovane_hc drovane_hc;

/* The library's version, encoded as DROVANE_HC_VERSION is. Thread-safe. */
DROVANE_HC_API uint32_t DROVANE_HC_CALL drovane_hc_version(void);

/* Finds the Helper and proves its listener is the service's process, within
 * DROVANE_HC_DEFAULT_TIMEOUT_MS. Sets *client to a new handle whatever the result (NULL only
 * with DROVANE_HC_OUT_OF_MEMORY or a NULL `client`), so the error text can be read; close it in
 * every case. The later calls check again on each new connection. Thread-safe. */
DROVANE_HC_API drovane_hc_result DROVANE_HC_CALL drovane_hc_open(drovane_hc** client);

/* Releases the handle and every string it returned. NULL is ignored. No call on the handle, nor
 * drovane_hc_cancel(), may be running or begin. */
DROVANE_HC_API void DROVANE_HC_CALL drovane_hc_close(drovane_hc* client);

/* The deadline of each later call on the handle, in milliseconds from the call's start: the
 * service and registry reads, the TCP table, the connect and the whole exchange. 0 restores
 * DROVANE_HC_DEFAULT_TIMEOUT_MS. */
DROVANE_HC_API drovane_hc_result DROVANE_HC_CALL drovane_hc_set_timeout(drovane_hc* client,
                                                                        uint32_t milliseconds);

/* Ends the call in progress on the handle, if any, with DROVANE_HC_CANCELLED; a later call is
 * not affected. Safe from any thread while the handle is open. NULL is ignored. */
DROVANE_HC_API void DROVANE_HC_CALL drovane_hc_cancel(drovane_hc* client);

/* Whether the service is installed and running, its process and its published port, without
 * connecting: OK with `service` filled (also when not installed), or a failure. */
DROVANE_HC_API drovane_hc_result DROVANE_HC_CALL drovane_hc_query_service(
    drovane_hc* client, drovane_hc_service* service);

/* GET /ping: whether the Helper expects the Core whose SHA-256 is `core_sha256` (64 lower-case
 * hexadecimal characters); OK carries the Helper's path in `text`. */
DROVANE_HC_API drovane_hc_result DROVANE_HC_CALL drovane_hc_ping(drovane_hc* client,
                                                                 const char* core_sha256,
                                                                 drovane_hc_reply* reply);

/* POST /start: launches the Core for the pipe `address` ("\\.\pipe\DrovaneCore_" and 32
 * lower-case hexadecimal characters) and `session_id` (32 lower-case hexadecimal characters);
 * OK carries the Core's process ID in `pid`. */
DROVANE_HC_API drovane_hc_result DROVANE_HC_CALL drovane_hc_start(drovane_hc* client,
                                                                  const char* address,
                                                                  const char* session_id,
                                                                  drovane_hc_reply* reply);

/* POST /stop: stops the Core started under `session_id` (32 lower-case hexadecimal characters).
 * OK with `stopped` 1, or 0 and `reason` "notRunning"; REFUSED with `reason` "sessionMismatch"
 * for another session. */
DROVANE_HC_API drovane_hc_result DROVANE_HC_CALL drovane_hc_stop(drovane_hc* client,
                                                                 const char* session_id,
                                                                 drovane_hc_reply* reply);

/* GET /logs: the Helper's recent lines, oldest first, joined by line feeds, in `text`. */
DROVANE_HC_API drovane_hc_result DROVANE_HC_CALL drovane_hc_logs(drovane_hc* client,
                                                                 drovane_hc_reply* reply);

/* Since 1.1. GET /logs?after=: the Helper's lines numbered above *cursor, oldest first, joined by line
 * feeds, in `text`. Start with *cursor 0; on OK *cursor becomes the number of the last line read,
 * for the next call, and `dropped` counts the lines that left the log before they could be read.
 * A Helper that restarted since is read again from its first line, with `restarted` 1. Calls
 * with the same cursor variable never show a line twice, identical lines included. *cursor is
 * unchanged on every result but OK. */
DROVANE_HC_API drovane_hc_result DROVANE_HC_CALL drovane_hc_logs_since(drovane_hc* client,
                                                                       uint64_t* cursor,
                                                                       drovane_hc_reply* reply);

/* Since 1.1. Every launch: reads the service's state, pings with `core_sha256` (the client's own
 * Core's digest) and sets state->step to what the client must do. OK whenever a step follows;
 * otherwise the failure (e.g. DROVANE_HC_TIMED_OUT while the service restarts) with step
 * DROVANE_HC_STEP_UNKNOWN: retry as docs/client.md's retry table says. */
DROVANE_HC_API drovane_hc_result DROVANE_HC_CALL drovane_hc_ensure(drovane_hc* client,
                                                                   const char* core_sha256,
                                                                   drovane_hc_state* state);

/* Since 1.1. Fills `session` with a new session ID and pipe address for drovane_hc_start. */
DROVANE_HC_API drovane_hc_result DROVANE_HC_CALL drovane_hc_new_session(
    drovane_hc* client, drovane_hc_session* session);

/* Since 1.1. After drovane_hc_start: waits up to `timeout_ms` for the Core's pipe `address` (the
 * Helper replies once the Core runs, before its pipe exists), opens it, and sets *pipe to the
 * open handle (a HANDLE; the caller closes it with CloseHandle) only when the pipe's server is
 * process `pid`, the start reply's. Otherwise *pipe is NULL: DROVANE_HC_NOT_CORE when another
 * process serves the name, DROVANE_HC_TIMED_OUT when no pipe could be opened in time. This call
 * uses `timeout_ms`, not the handle's timeout; drovane_hc_cancel() ends it. */
DROVANE_HC_API drovane_hc_result DROVANE_HC_CALL drovane_hc_connect_core(
    drovane_hc* client, const char* address, uint32_t pid, uint32_t timeout_ms, void** pipe);

/* The last call's error chain on one line ("" after OK and REFUSED). */
DROVANE_HC_API const char* DROVANE_HC_CALL drovane_hc_error_text(const drovane_hc* client);

/* The operating-system error code under the last call's failure, 0 when there is none. */
DROVANE_HC_API uint32_t DROVANE_HC_CALL drovane_hc_os_error(const drovane_hc* client);

/* The result's name, e.g. "DROVANE_HC_NOT_HELPER"; a static string. Thread-safe. */
DROVANE_HC_API const char* DROVANE_HC_CALL drovane_hc_result_name(drovane_hc_result result);

#ifdef __cplusplus
}
#endif

#endif
