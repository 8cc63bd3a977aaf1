/*
 * KS318: host-side server for networked display terminals.
 *
 * The host starts the server, is told of every terminal that connects, of what it
 * sends and of its departure, and addresses a terminal by its terminal number: its
 * 1-based position among the connected terminals, in order of arrival. Numbers
 * close up when a terminal leaves.
 *
 * Plain C, usable from C, C++ and any foreign-function interface.
 */
#ifndef KS318_H
#define KS318_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define KQ_CALL __stdcall
#else
#define KQ_CALL
#endif

#if defined(KS318_BUILDING) && !defined(_WIN32)
#define KQ_API __attribute__((visibility("default")))
#else
#define KQ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Notification target on platforms without window messages: `kq_startserver`'s
 * `window` points to one of these, copied at start. A null function means that kind
 * of notification reaches nobody. Both are called on library threads, any number
 * at a time.
 */
typedef struct KqHostTarget {
    void *context;
    /* posted: must return promptly; called for connect and disconnect */
    void (*post)(void *context, uint32_t message, uint32_t wParam, uint32_t lParam);
    /* sent: returns once the host has handled the message; called for data notifications */
    void (*send)(void *context, uint32_t message, uint32_t wParam, uint32_t lParam);
} KqHostTarget;

/* ---- Server lifecycle --------------------------------------------------------------
 * Notifications: connect (posted on connectMessage): wParam = terminal IPv4 address
 * in network byte order, lParam = (terminal number << 16) | 1. Disconnect (posted on
 * connectMessage): same wParam, lParam = (connection handle & 0xFFFF) << 16. Data
 * (sent on dataMessage): wParam = notification code, lParam = (connection handle &
 * 0xFFFF) | (extra value << 16). */

/* Listens on TCP 16510 on every address and serves terminals; 1 when listening, 0 when the start failed. */
KQ_API int32_t KQ_CALL kq_startserver(void *window, uint32_t connectMessage, uint32_t dataMessage);
/* As kq_startserver on a chosen address (null or empty: every address) and port (0: any free port). */
KQ_API int32_t KQ_CALL kq_startserverex(void *window, uint32_t connectMessage, uint32_t dataMessage,
                                        const char *bindAddress, int32_t port);
/* The port listened on; 0 while stopped. */
KQ_API int32_t KQ_CALL kq_getserverport(void);
/* Stops listening and drops every terminal; 0 on success, -1 when no server was started. */
KQ_API int32_t KQ_CALL kq_finishserver(void);
/* kq_startserver without a notification target and with message numbers 0. */
KQ_API int32_t KQ_CALL StartServerKQ318(void);
/* kq_finishserver. */
KQ_API int32_t KQ_CALL CloseKQ318(void);
/* Captures the current working directory, below which the media list profile file lives; its length, 0 on failure. */
KQ_API int32_t KQ_CALL InitKQ318(void);

/* ---- Terminal listings and addresses ---------------------------------------------- */

/* Fills 8196 bytes: 1024 terminal numbers, 1024 IPv4 addresses (network order), the count; returns table. */
KQ_API void *KQ_CALL GetTabConectados(void *table);
/* Drops terminals that have not identified (model 0), then fills 47108 bytes: 1024 texts of 34
 * bytes, 1024 numbers, 1024 addresses, 1024 model numbers, the count; returns list. */
KQ_API void *KQ_CALL kq_gettermconectados(void *list);
/* Dotted IPv4 text of the terminal, valid while it stays connected; null when there is none. */
KQ_API char *KQ_CALL kq_ipfromid(int32_t terminal);
/* The library version: 32. */
KQ_API unsigned char KQ_CALL kq_version(void);
/* Dotted IPv4 text of this computer's first address into buffer (16 bytes); buffer, or null when unknown. */
KQ_API char *KQ_CALL kq_gethostip(char *buffer);
/* Same as kq_gethostip. */
KQ_API char *KQ_CALL GetIPFromHost(char *buffer);
/* Dotted text of an IPv4 address (network order), in storage overwritten by the next call on the thread. */
KQ_API char *KQ_CALL kq_inet_ntoa(uint32_t address);
/* IPv4 address (network order) of a dotted text; 0xFFFFFFFF for bad text. */
KQ_API uint32_t KQ_CALL kq_inet_addr(const char *text);
/* Dotted text of an IPv4 address (network order) copied into buffer (16 bytes); returns buffer. */
KQ_API char *KQ_CALL KQinet_ntoa(uint32_t address, char *buffer);
/* Same as kq_inet_addr. */
KQ_API uint32_t KQ_CALL KQinet_addr(const char *text);

/* ---- Export conventions ------------------------------------------------------------
 * Every per-terminal export takes the terminal number first. A negative number, an
 * empty table or a number with no terminal returns the export's fail value (0 for
 * most, -1 where noted); so does a terminal of another model for the exports that
 * need model 320. Exports that need terminal version 32 return -1 below it.
 * Command exports return the bytes sent (7 + payload), -1 when the socket failed,
 * 0 when no frame buffer could be had, -2 when the terminal's send gate stayed busy
 * for 10 s. None waits for the terminal's answer. */

/* ---- Commands ---------------------------------------------------------------------- */

/* ---- Reading what terminals sent --------------------------------------------------- */

/* ---- Configuration records --------------------------------------------------------- */

/* ---- Images ------------------------------------------------------------------------ */

/* ---- Files and media configuration ------------------------------------------------- */

/* Sends size bytes from data as file name (at most 127 characters) on the terminal, code 99; size,
 * -1 when a write failed, -2 when the send gate stayed busy, 0 when no terminal or nothing was sent. */
KQ_API int32_t KQ_CALL kq_sendfileptr(int32_t terminal, const char *name, const char *data, uint32_t size);
/* Sends the local file at path whole as file name; as kq_sendfileptr, also 0 when it cannot be read. */
KQ_API int32_t KQ_CALL kq_sendfile(int32_t terminal, const char *path, const char *name);
/* Starts a worker that sends the file and writes 0, the percentage sent, and -1 at its end into the
 * aligned word progress (may be null); 1 when started, -1 when no terminal or one already runs for it. */
KQ_API int32_t KQ_CALL kq_sendfileStatus(int32_t terminal, const char *path, const char *name, int32_t *progress);
/* Sends a font file as "FONTS_DIR/" and its file name (after the last slash or backslash); as kq_sendfile. */
KQ_API int32_t KQ_CALL kq_sendfontfile(int32_t terminal, const char *path);
/* Asks a terminal of version 32 or above for file name (code 97; the answer is data notification 98);
 * 1 when sent, -1 when the write failed or below version 32, -2 when the send gate stayed busy, 0 when no terminal. */
KQ_API int32_t KQ_CALL kq_reqfile(int32_t terminal, const char *name);
/* Collects the file received last: name (128 bytes), size, and its bytes into data (room for the file);
 * 1 when one was pending (size 0 and no bytes when none arrived whole), 0 when collected already, -1 when no terminal. */
KQ_API int32_t KQ_CALL kq_getfile(int32_t terminal, char *name, int32_t *size, void *data);
/* Writes "<", each 256-byte entry up to the first empty one, and ">" to the file at path, lines
 * ending in CR LF; 1 when written, -1 when it could not be opened or written. */
KQ_API int32_t KQ_CALL kq_savemedias(const void *entries, const char *path);
/* Sends the file as "CONF_DIR/medias.conf", then the reload command (117) when bytes went out; as kq_sendfile. */
KQ_API int32_t KQ_CALL kq_sendmediaconf(int32_t terminal, const char *path);
/* Sends the file as "CONF_DIR/presence_sensor.conf", then the reload command when bytes went out; as kq_sendfile. */
KQ_API int32_t KQ_CALL kq_sendpresencesensorconf(int32_t terminal, const char *path);
/* Asks a model-320 terminal for its media list, kept in Config_Terminal/all_medias.ini below the
 * InitKQ318 directory; 1 when sent, -2 when the send gate stayed busy, -1 otherwise. */
KQ_API int32_t KQ_CALL kq_pedeallmedias(int32_t terminal);
/* Reads the kept media list into out (255 entries of 256 bytes) as "section" + backslash + "value"
 * entries ended by an empty one; for model 320 only, out is untouched otherwise. */
KQ_API void KQ_CALL kq_getallmedias(int32_t terminal, void *out);

/* ---- Legacy export set ------------------------------------------------------------- */

#ifdef __cplusplus
}
#endif

#endif /* KS318_H */
