/* QXNet's C interface: the library for hosts built with another compiler or in another
 * language. C99; every function is exported from the same shared library as the C++ classes.
 *
 * Conventions
 * - Every function returns a result code (qxnet_result): QXNET_OK (0), one of the library's
 *   QXNET_E_* codes, or, where a function says so, a system error number (a small positive
 *   number, e.g. an HTTP transport error such as 12029).
 * - No exception ever crosses this interface; every entry point catches and maps.
 * - Addresses are IPv4 in host order (first octet most significant), ports in host order.
 * - Text in and out is UTF-8. Text out goes into a caller buffer `text` of `size` bytes and is
 *   always terminated when size > 0; when it does not fit, the function returns
 *   QXNET_E_BUFFER_TOO_SMALL, stores nothing, and puts the size it needs (terminator included)
 *   into *needed when needed is not null. Tables work the same way in rows.
 * - Structs handed to the library start with a `size` member that the caller sets to
 *   sizeof(the struct); structs handed to callbacks have it set by the library. A later
 *   version only appends members, so code built against this header keeps working.
 * - Handles are opaque. Each keeps the text of its last failure (qxnet_*_last_error); a
 *   success leaves it empty. A handle may be used from any thread; calls on one handle are
 *   serialised by its lock (see qxnet_lock), except where a function says otherwise.
 *   Destroying a handle while another thread uses it is the caller's error.
 * - Callbacks never own what they are given: every pointer they get is valid only during the
 *   call, and they must copy what they keep. Each callback's thread is stated where it is
 *   registered. A callback must not destroy the handle it was called from.
 */
#ifndef QXNET_C_QXNET_H
#define QXNET_C_QXNET_H

#include <stddef.h>
#include <stdint.h>

#include "qxnet/QXVersion.h"

#if defined(_WIN32)
#if defined(QXNET_BUILDING)
#define QXNET_C_API __declspec(dllexport)
#else
#define QXNET_C_API __declspec(dllimport)
#endif
#else
#define QXNET_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t qxnet_result;

#define QXNET_OK 0u
#define QXNET_E_UNEXPECTED 0xF0000003u
#define QXNET_E_INVALID_ARGUMENT 0xF0000004u
#define QXNET_E_UNSUPPORTED_OPERATION 0xF0000005u
#define QXNET_E_PARAMETER_OUT_OF_RANGE 0xF0000006u
#define QXNET_E_TIMED_OUT 0xF0000007u
#define QXNET_E_BUFFER_TOO_SMALL 0xF000000Au
#define QXNET_E_OBJECT_NOT_FOUND 0xF000000Cu
#define QXNET_E_UNAVAILABLE 0xF000000Eu
#define QXNET_E_NO_DATA 0xF0000013u
#define QXNET_E_CONNECTION_LOST 0xF0000014u
#define QXNET_E_NO_NETWORK_DEVICE 0xF0000016u

/* ---- Library ---------------------------------------------------------------------------- */

/* The library's version as QXNET_VERSION counts it (major * 10000 + minor * 100 + patch); compare
 * with the QXNET_VERSION macro of the header a program was built with. */
QXNET_C_API uint32_t qxnet_version(void);

/* Starts the platform's socket layer; call once before any client and pair with
 * qxnet_cleanup. QXNET_E_UNAVAILABLE when the socket layer did not start. */
QXNET_C_API qxnet_result qxnet_startup(void);
QXNET_C_API qxnet_result qxnet_cleanup(void);

/* The library's message for a result code; QXNET_E_OBJECT_NOT_FOUND for a code that has none
 * (a system error number, say). */
QXNET_C_API qxnet_result qxnet_result_text(qxnet_result code, char* text, uint32_t size,
                                           uint32_t* needed);

/* ---- Lock ------------------------------------------------------------------------------- */

/* A recursive lock shared by the clients that are handed it: their operations are serialised
 * against each other. Every client takes a reference, so a lock may be destroyed while clients
 * made with it still live. Create functions given a null lock make one of their own. */
typedef struct qxnet_lock qxnet_lock;
QXNET_C_API qxnet_result qxnet_lock_create(qxnet_lock** lock);
QXNET_C_API qxnet_result qxnet_lock_destroy(qxnet_lock* lock);

/* ---- Cameras ---------------------------------------------------------------------------- */

/* A camera as its broadcast discovery answer describes it. */
typedef struct qxnet_camera {
    uint32_t size;
    uint32_t address;
    uint64_t mac; /* first octet of the written form most significant */
    uint32_t model;
    uint32_t ext_model;
    uint16_t firmware;
    uint16_t features;
    uint8_t enclosure;
    uint8_t reserved[7];
    char mac_text[20]; /* "02:11:22:33:44:55" */
} qxnet_camera;

/* A camera as its mDNS record describes it. */
typedef struct qxnet_mdns_camera {
    uint32_t size;
    uint32_t address;
    uint64_t mac;
    uint32_t hex32;
    uint16_t hex16;
    uint16_t pair_first;
    uint16_t pair_second;
    uint16_t valid; /* 1 when the record's text was complete */
    int32_t firmware_major;
    int32_t firmware_minor;
    char model[64]; /* UTF-8; a longer model name is cut at a character boundary */
} qxnet_mdns_camera;

/* ---- TFTP client and broadcast discovery ------------------------------------------------ */

typedef struct qxnet_tftp qxnet_tftp;

/* local_address 0: any local address. double_packets: ask cameras for 2904-byte blocks.
 * retries: attempts of each request (at least 1). The client is closed. */
QXNET_C_API qxnet_result qxnet_tftp_create(qxnet_lock* lock, uint32_t local_address,
                                           int32_t double_packets, int32_t retries,
                                           qxnet_tftp** client);
QXNET_C_API qxnet_result qxnet_tftp_destroy(qxnet_tftp* client);
/* Aims the client at a camera's TFTP port or at a broadcast address and the cameras' port. */
QXNET_C_API qxnet_result qxnet_tftp_open(qxnet_tftp* client, uint32_t address, uint16_t port);
QXNET_C_API qxnet_result qxnet_tftp_close(qxnet_tftp* client);

/* Called once per camera found, on the caller's thread, after the search ended (the client's
 * lock is not held); cameras come in MAC order, each once. A non-zero return skips the rest. */
typedef int32_t (*qxnet_camera_callback)(const qxnet_camera* camera, void* context);

/* Broadcast discovery: sends request (length bytes; null or 0: "qx-discover") to the opened
 * address until three requests in a row bring no new camera. QXNET_E_OBJECT_NOT_FOUND when no
 * camera answered. */
QXNET_C_API qxnet_result qxnet_tftp_discover(qxnet_tftp* client, const uint8_t* request,
                                             uint32_t length, qxnet_camera_callback callback,
                                             void* context);

/* Progress of a read: blocks and payload bytes so far. Called on the caller's thread during
 * the read, with the client's lock held; it must return quickly and not call into the client. */
typedef void (*qxnet_progress_callback)(uint32_t blocks, uint64_t bytes, void* context);
/* Receives the file's bytes in order, on the caller's thread during the read, with the client's
 * lock held. A non-zero return ends the read with QXNET_E_UNEXPECTED. */
typedef int32_t (*qxnet_write_callback)(const uint8_t* data, uint32_t length, void* context);

/* Reads a file into buffer (size bytes; *length gets the file's size). A file larger than the
 * buffer gives QXNET_E_BUFFER_TOO_SMALL with its size in *length and nothing in buffer. progress
 * may be null. */
QXNET_C_API qxnet_result qxnet_tftp_read(qxnet_tftp* client, const char* file_name, uint8_t* buffer,
                                         uint64_t size, uint64_t* length,
                                         qxnet_progress_callback progress, void* context);
/* Reads a file through write; progress may be null. *length (may be null) gets the bytes
 * delivered. */
QXNET_C_API qxnet_result qxnet_tftp_read_to(qxnet_tftp* client, const char* file_name,
                                            qxnet_write_callback write,
                                            qxnet_progress_callback progress, void* context,
                                            uint64_t* length);
/* Sends a write request for file_name and waits for the camera's acknowledgement. */
QXNET_C_API qxnet_result qxnet_tftp_write(qxnet_tftp* client, const char* file_name);
QXNET_C_API qxnet_result qxnet_tftp_last_error(qxnet_tftp* client, char* text, uint32_t size,
                                               uint32_t* needed);

/* ---- mDNS client ------------------------------------------------------------------------ */

typedef struct qxnet_mdns qxnet_mdns;

/* Opens multicast DNS on the interface with local_address (port 5353). 0 lets the library pick
 * the host name's first address, which may be a real network: give an address. */
QXNET_C_API qxnet_result qxnet_mdns_create(qxnet_lock* lock, uint32_t local_address,
                                           qxnet_mdns** client);
QXNET_C_API qxnet_result qxnet_mdns_destroy(qxnet_mdns* client);
/* Called once per camera, on the caller's thread after the query ended, in MAC order; a
 * non-zero return skips the rest. */
typedef int32_t (*qxnet_mdns_camera_callback)(const qxnet_mdns_camera* camera, void* context);
/* Asks for the cameras' service. QXNET_E_OBJECT_NOT_FOUND when no camera answered. */
QXNET_C_API qxnet_result qxnet_mdns_query_cameras(qxnet_mdns* client,
                                                  qxnet_mdns_camera_callback callback,
                                                  void* context);
/* Asks for the camera with mac; QXNET_E_OBJECT_NOT_FOUND unless exactly one answered. */
QXNET_C_API qxnet_result qxnet_mdns_query_mac(qxnet_mdns* client, uint64_t mac, uint64_t* found_mac,
                                              uint32_t* address);
QXNET_C_API qxnet_result qxnet_mdns_last_error(qxnet_mdns* client, char* text, uint32_t size,
                                               uint32_t* needed);

/* ---- HTTP client ------------------------------------------------------------------------ */

typedef struct qxnet_http qxnet_http;

/* address: dotted decimal or a host name (UTF-8). camera_key keys the remembered credentials
 * (the camera's MAC, say). */
QXNET_C_API qxnet_result qxnet_http_create(qxnet_lock* lock, const char* address,
                                           uint64_t camera_key, qxnet_http** client);
QXNET_C_API qxnet_result qxnet_http_destroy(qxnet_http* client);
/* Receives the body, in order, on the caller's thread after the whole body arrived (a failed
 * attempt delivers nothing). A non-zero return stops the delivery; the call then returns
 * QXNET_E_UNEXPECTED. */
typedef int32_t (*qxnet_body_callback)(const uint8_t* data, uint32_t length, void* context);
/* GET path with user and password (both null: those that last worked for camera_key). Returns
 * QXNET_OK when an answer arrived, whatever the server's status (see qxnet_http_status), else
 * the transport's error number (12029: the camera does not answer; 12002: time-out), or
 * QXNET_E_CONNECTION_LOST when the camera missed the ping sent before the request. body may
 * be null. qxnet_http_last_error then says which. */
QXNET_C_API qxnet_result qxnet_http_get(qxnet_http* client, const char* path, const char* user,
                                        const char* password, qxnet_body_callback body,
                                        void* context);
/* The client's status (0 closed, 12029 silent camera, 200 or 410 after a request) and the
 * server's own status of the last answer (0 when none arrived). Either pointer may be null. */
QXNET_C_API qxnet_result qxnet_http_status(qxnet_http* client, uint32_t* status,
                                           uint32_t* server_status);
QXNET_C_API qxnet_result qxnet_http_close(qxnet_http* client);
QXNET_C_API qxnet_result qxnet_http_last_error(qxnet_http* client, char* text, uint32_t size,
                                               uint32_t* needed);

/* ---- Camera scanner --------------------------------------------------------------------- */

#define QXNET_METHOD_BROADCAST 0x1u
#define QXNET_METHOD_MDNS 0x2u
#define QXNET_FLAG_OUTSIDE_SUBNET 0x1u
#define QXNET_FLAG_ADDRESS_CONFLICT 0x2u
#define QXNET_FLAG_SEVERAL_INTERFACES 0x4u

/* The change a scan callback reports (a uint32_t, so that its size is fixed). */
#define QXNET_CAMERA_APPEARED 0u
#define QXNET_CAMERA_CHANGED 1u
#define QXNET_CAMERA_GONE 2u

/* One camera as a scan of several interfaces sees it. */
typedef struct qxnet_scanned_camera {
    uint32_t size;
    uint32_t address;
    uint64_t mac;
    uint32_t methods; /* QXNET_METHOD_* that heard it */
    uint32_t flags;   /* QXNET_FLAG_* */
    uint32_t has_broadcast;
    uint32_t has_mdns;
    qxnet_camera broadcast;
    qxnet_mdns_camera mdns;
    uint32_t last_seen; /* tick count, milliseconds */
    uint32_t interface_count;
    /* The names of the interfaces that heard it, UTF-8, separated by ','; cut at a name
     * boundary when they do not fit (interface_count still counts them all). */
    char interfaces[256];
} qxnet_scanned_camera;

typedef struct qxnet_scanner qxnet_scanner;

QXNET_C_API qxnet_result qxnet_scanner_create(qxnet_lock* lock, qxnet_scanner** scanner);
/* Stops watching first. */
QXNET_C_API qxnet_result qxnet_scanner_destroy(qxnet_scanner* scanner);
/* Only the host's interfaces with these names or dotted addresses (UTF-8; loopback too when
 * named); count 0: every interface that is up. Settings change only while no scan or watch
 * runs. */
QXNET_C_API qxnet_result qxnet_scanner_set_interfaces(qxnet_scanner* scanner,
                                                      const char* const* names, uint32_t count);
QXNET_C_API qxnet_result qxnet_scanner_set_loopback(qxnet_scanner* scanner, int32_t include);
QXNET_C_API qxnet_result qxnet_scanner_set_methods(qxnet_scanner* scanner, uint32_t methods);
/* The discovery request's bytes and the cameras' port (default "qx-discover", 10069). */
QXNET_C_API qxnet_result qxnet_scanner_set_request(qxnet_scanner* scanner, const uint8_t* request,
                                                   uint32_t length, uint16_t port);
QXNET_C_API qxnet_result qxnet_scanner_set_watch_timing(qxnet_scanner* scanner,
                                                        uint32_t interval_ms,
                                                        uint32_t missed_rounds);

/* Called per camera and change. During qxnet_scanner_scan it runs on the caller's thread after
 * the scan, once per camera found (QXNET_CAMERA_APPEARED). During a watch it runs on one of the
 * scanner's worker threads, with the scanner's lock held, so calls never overlap; it must not
 * call qxnet_scanner_scan, _start, _stop or _destroy. The return value is ignored. */
typedef int32_t (*qxnet_scan_callback)(uint32_t change, const qxnet_scanned_camera* camera,
                                       void* context);

/* One scan of every interface in scope by both methods. QXNET_E_OBJECT_NOT_FOUND when no camera
 * answered, QXNET_E_NO_NETWORK_DEVICE when the scope holds no interface, QXNET_E_UNAVAILABLE
 * while a watch runs. */
QXNET_C_API qxnet_result qxnet_scanner_scan(qxnet_scanner* scanner, qxnet_scan_callback callback,
                                            void* context);
/* Starts watching: callback gets every change until qxnet_scanner_stop. */
QXNET_C_API qxnet_result qxnet_scanner_start(qxnet_scanner* scanner, qxnet_scan_callback callback,
                                             void* context);
/* Ends watching; no callback runs after it returns. Safe to call twice. */
QXNET_C_API qxnet_result qxnet_scanner_stop(qxnet_scanner* scanner);
QXNET_C_API qxnet_result qxnet_scanner_last_error(qxnet_scanner* scanner, char* text, uint32_t size,
                                                  uint32_t* needed);

/* ---- Host network ----------------------------------------------------------------------- */
/* These block the calling thread, keep no state and take no handle; no callbacks. */

typedef struct qxnet_interface {
    uint32_t size;
    uint32_t address;
    uint32_t mask;
    uint32_t broadcast;
    char name[64];         /* UTF-8, cut at a character boundary */
    char description[128]; /* UTF-8, cut at a character boundary */
} qxnet_interface;

typedef struct qxnet_address_row {
    uint32_t size;
    uint32_t address;
    uint32_t mask;
    uint32_t broadcast;
    uint32_t interface_index;
} qxnet_address_row;

typedef struct qxnet_neighbour_row {
    uint32_t size;
    uint32_t address;
    uint32_t interface_index;
    uint32_t type;
    uint32_t physical_length;
    uint8_t physical[8];
} qxnet_neighbour_row;

/* The host's IPv4 interfaces (127.0.0.1 left out), the IP address table and the neighbour
 * table. rows holds capacity records, each with its size set by the caller; *count gets the
 * rows stored, or the rows needed with QXNET_E_BUFFER_TOO_SMALL. rows may be null when
 * capacity is 0, to ask for the count. The interface listing also writes two lines per adapter
 * to standard output, as the library's interface list does. */
QXNET_C_API qxnet_result qxnet_net_interfaces(qxnet_interface* rows, uint32_t capacity,
                                              uint32_t* count);
QXNET_C_API qxnet_result qxnet_net_addresses(qxnet_address_row* rows, uint32_t capacity,
                                             uint32_t* count);
QXNET_C_API qxnet_result qxnet_net_neighbours(qxnet_neighbour_row* rows, uint32_t capacity,
                                              uint32_t* count);
/* One echo request waiting at most timeout_ms: *replied 1 when a reply came, 0 when none did.
 * QXNET_E_UNSUPPORTED_OPERATION when this process cannot send echo requests. */
QXNET_C_API qxnet_result qxnet_net_ping(uint32_t address, uint32_t timeout_ms, int32_t* replied);
/* The first address from start to end (both included) that answers no echo request; each free
 * address costs about 3 s. QXNET_E_OBJECT_NOT_FOUND when none is free. */
QXNET_C_API qxnet_result qxnet_net_free_address(uint32_t start, uint32_t end, uint32_t* address);

#ifdef __cplusplus
}
#endif

#endif /* QXNET_C_QXNET_H */
