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
/* A full-screen image is a 768-byte palette (256 entries of red, green, blue) and one
 * palette index per pixel, rows top first: 320 x 240 (76,800 bytes) for model 318,
 * 130,560 bytes for every other model. Only one image or block travels to a terminal
 * at a time: a second one returns -2 at once. The image-update configuration is a
 * 112-byte record: a 32-bit number, a 100-byte zero-ended text, two 32-bit numbers.
 * kq_sendimgfromfile builds the image at the terminal's size, looked up before the
 * conversion: 320 x 240 for model 318 and 480 x 272 for every other model. The picture
 * is fitted on white (a picture at least twice as wide as high takes the full width,
 * any other the full height; centred; edges past the screen cut off) and reduced to at
 * most 236 colours. */

/* Sends palette and pixels (as many as the terminal's model takes) as command 37; 1 sent, -1 write failed, -2 busy; fail value 0. */
KQ_API int32_t KQ_CALL kq_sendimage(int32_t terminal, void *palette, void *pixels);
/* Sends a width x height block of pixel indices at (x, y) as command 131; 1, -1, -2; 0 also for a negative width or height. */
KQ_API int32_t KQ_CALL kq_sendimageblock(int32_t terminal, int32_t x, int32_t y, int32_t width, int32_t height,
                                         void *pixels);
/* Tells the terminal to show its stored image imageNumber (command 129); 11, -1 (also version below 32), -2; fail value 0. */
KQ_API int32_t KQ_CALL kq_loadimage(int32_t terminal, int32_t imageNumber);
/* Sends a 768-byte palette (command 133); 1 sent, -1 write failed or version below 32, -2 busy; fail value 0. */
KQ_API int32_t KQ_CALL kq_enviapaleta(int32_t terminal, void *palette);
/* Sends the 112-byte image-update configuration as passed (command 145); 119, -1 (also version below 32), -2; fail value 0. */
KQ_API int32_t KQ_CALL kq_sendimageupdate(int32_t terminal, void *config);
/* Asks for the terminal's image-update configuration (command 147, answered by 148); 7, -1 (also version below 32), -2; fail value 0. */
KQ_API int32_t KQ_CALL kq_reqimageupdate(int32_t terminal);
/* Tells the terminal to update its images (command 149, answered by 150); 7, -1 (also version below 32), -2; fail value 0. */
KQ_API int32_t KQ_CALL kq_sendupdateimages(int32_t terminal);
/* Copies the last reported image-update configuration into a 112-byte record (zeros before any report); 1; fail value 0. */
KQ_API int32_t KQ_CALL kq_getimageupdateconfig(int32_t terminal, void *config);
/* Shows a .bmp/.jpg/.jpeg/.ico/.wmf/.emf file on the terminal (see above); as kq_sendimage, 0 for a missing or unusable file. */
KQ_API int32_t KQ_CALL kq_sendimgfromfile(int32_t terminal, const char *fileName);

/* ---- Files and media configuration ------------------------------------------------- */

/* ---- Legacy export set ------------------------------------------------------------- */

#ifdef __cplusplus
}
#endif

#endif /* KS318_H */
