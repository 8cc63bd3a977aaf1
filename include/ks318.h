/*
 * KS318: host-side server for networked display terminals.
 *
 * The host starts the server, is told of every terminal that connects, of what it
 * sends and of its departure, and addresses a terminal by its terminal number: its
 * 1-based position among the connected terminals, in order of arrival. Numbers
 * close up when a terminal leaves.
 *
 * Plain C, usable from C, C++ and any foreign-function interface. No export lets an
 * exception or error of the library's own reach the host: whatever happens inside
 * (no memory, say), an export returns its fail value.
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
 * 0xFFFF) | (extra value << 16).
 *
 * A terminal's connect notification comes from its connection thread once its
 * handshake is through (code 19 has gone out, its identification has been read and
 * codes 21 and 27 sent) or has failed: whatever the host sends from its connect
 * handler follows the greeting, and an identified terminal is listed by then. The
 * terminal number is its position at that moment. A failed handshake gives connect,
 * then disconnect. With a KqHostTarget every notification of a terminal comes from
 * its connection thread, so connect precedes its data and disconnect notifications.
 * With a window (Windows) connect and disconnect are posted while data are sent, and
 * Windows delivers sent messages before posted ones: a data notification (the
 * identifier answer, 28, say) can reach the window before that terminal's connect.
 *
 * A terminal whose later identification (code 20) names another model number than
 * its handshake did is dropped (disconnect) and comes back as a new terminal: the
 * model, and so the image size, of a terminal number never changes under the host.
 *
 * Every frame sent to a terminal must leave within 15 s + 1 s per 64 KiB of the
 * frame (header included); a frame that misses it, or whose write fails, ends the
 * connection (the host gets the disconnect notification), since the terminal would
 * take every later frame for the rest of the cut one. The export returns -1. */

/* Listens on TCP 16510 on every address and serves terminals; 1 when listening, 0 when the start failed. */
KQ_API int32_t KQ_CALL kq_startserver(void *window, uint32_t connectMessage, uint32_t dataMessage);
/* As kq_startserver on a chosen address (null or empty: every address) and port (0: any free port);
 * 0 and nothing started for a port outside 0 ... 65535. */
KQ_API int32_t KQ_CALL kq_startserverex(void *window, uint32_t connectMessage, uint32_t dataMessage,
                                        const char *bindAddress, int32_t port);
/* The port listened on; 0 while stopped. */
KQ_API int32_t KQ_CALL kq_getserverport(void);
/* Stops listening and drops every terminal; 0 on success, -1 when no server was started. Each
 * connection thread ends the notification it is delivering and delivers nothing more but its
 * disconnect; the stop returns once every connection thread and transfer worker has ended, or after
 * about 5.4 s at most, and no notification begins after it has returned. With a window, messages
 * posted before the return may still wait in its queue, and a stop made on another thread while the
 * window thread takes no messages leaves the one notification each connection thread was sending
 * to be delivered once the window takes messages again. Called from a notification handler, it
 * posts that terminal's disconnect itself before returning. A host may unload the library as soon
 * as it has returned: threads still on their way out keep it loaded until they have left it. */
KQ_API int32_t KQ_CALL kq_finishserver(void);
/* kq_startserver without a notification target and with message numbers 0. */
KQ_API int32_t KQ_CALL StartServerKQ318(void);
/* kq_finishserver. */
KQ_API int32_t KQ_CALL CloseKQ318(void);
/* Captures the current working directory, below which the media list profile file lives; its length, 0 on failure. */
KQ_API int32_t KQ_CALL InitKQ318(void);

/* ---- Terminal listings and addresses ---------------------------------------------- */

/* Fills 8196 bytes: 1024 terminal numbers, 1024 IPv4 addresses (network order), the count; returns table
 * (null when the listing could not be made). */
KQ_API void *KQ_CALL GetTabConectados(void *table);
/* Drops terminals that identified with model 0, then fills 47108 bytes: 1024 texts of 34 bytes,
 * 1024 numbers, 1024 addresses, 1024 model numbers, the count; returns list (null when the listing
 * could not be made). A terminal still in its handshake is neither dropped nor listed (its entries
 * stay zero) but counted. */
KQ_API void *KQ_CALL kq_gettermconectados(void *list);
/* Dotted IPv4 text of the terminal, in storage of the calling thread that stays valid until its next
 * kq_ipfromid call (whether or not the terminal stays connected); null when there is none. */
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
 * Command exports return the bytes sent (7 + payload), -1 when the socket failed or
 * the frame missed its deadline (the connection then ends), 0 when no frame buffer
 * could be had, -2 when the terminal's send gate stayed busy for 10 s. None waits for
 * the terminal's answer. */

/* kq_sendtext and kq_fillscreen never wait for another frame: behind one that is on
 * its way (a file, an image) they are queued, at most this many per terminal, and go
 * out right after it in the order queued; they then return 177 or 9 at once. A full
 * queue, or a connection that has ended, returns -1 and nothing is sent. */
#define KQ_QUEUED_FRAMES_MAX 256

/* ---- Commands ---------------------------------------------------------------------- */

/* Code 17, no payload: a live signal. Fail 0. */
KQ_API int32_t KQ_CALL kq_sendlive(int32_t terminal);
/* Code 29, no payload: keep-alive for good. Fail 0. */
KQ_API int32_t KQ_CALL kq_sendalwayslive(int32_t terminal);
/* Code 25: asks for the configuration record (answer 26, read with kq_getconfig). Fail 0. */
KQ_API int32_t KQ_CALL kq_reqconfig(int32_t terminal);
/* Code 23 with the 222-byte configuration record at config (answer 24, notified). 229 when sent. Fail 0. */
KQ_API int32_t KQ_CALL kq_sendconfig(int32_t terminal, const void *config);
/* Code 153: asks for the wifi record (answer 154, read with kq_getconfigwifi). Fail 0. */
KQ_API int32_t KQ_CALL kq_reqconfigwifi(int32_t terminal);
/* Code 151 with the 100-byte wifi record at wifi (answer 152, notified). 107 when sent. Fail -1. */
KQ_API int32_t KQ_CALL kq_sendconfigwifi(int32_t terminal, const void *wifi);
/* Code 113 with the confirmation word: software update (answer 114, notified). Fail 0. */
KQ_API int32_t KQ_CALL kq_updatesoft(int32_t terminal);
/* Code 121 with the confirmation word: restart (answer 122). Terminal version 32 or above, else -1. Fail 0. */
KQ_API int32_t KQ_CALL kq_restart(int32_t terminal);
/* Code 27: asks for the unique identifier (answer 28, read with kq_getuid). Version 32, else -1. Fail 0. */
KQ_API int32_t KQ_CALL kq_requid(int32_t terminal);
/* Code 123: asks for the SC block (answer 124, read with kq_getsc). Version 32, else -1. Fail 0. */
KQ_API int32_t KQ_CALL kq_reqsc(int32_t terminal);
/* Code 45: stops advertising (answer 46, notified as 45). Fail 0. */
KQ_API int32_t KQ_CALL kq_stopadv(int32_t terminal);
/* Code 43: starts advertising. Fail 0. */
KQ_API int32_t KQ_CALL kq_goadv(int32_t terminal);
/* Code 117 with the number, 4 bytes: reloads advertising (answer 118, notified). Fail 0. */
KQ_API int32_t KQ_CALL kq_reloadadv(int32_t terminal, int32_t number);
/* Code 101: deletes advertising. Fail 0. */
KQ_API int32_t KQ_CALL kq_deleteadv(int32_t terminal);
/* Code 119 with the number, 4 bytes: reloads the preliminary image. Fail 0. */
KQ_API int32_t KQ_CALL kq_reloadpreimg(int32_t terminal, int32_t number);
/* Code 103: deletes the preliminary image. Fail 0. */
KQ_API int32_t KQ_CALL kq_deletepreimg(int32_t terminal);
/* Code 35 with the 170-byte text record at text. Never waits (see KQ_QUEUED_FRAMES_MAX), never -2. 177 when sent
 * or queued. Fail 0. */
KQ_API int32_t KQ_CALL kq_sendtext(int32_t terminal, const void *text);
/* Code 33 with the low 16 bits of fill: fills the screen. Never waits, never -2. 9 when sent or queued. Fail 0. */
KQ_API int32_t KQ_CALL kq_fillscreen(int32_t terminal, int32_t fill);
/* Code 39 with the low 16 bits of time: sets the display time. Fail 0. */
KQ_API int32_t KQ_CALL SetaTempoExib(int32_t terminal, int32_t time);
/* Code 41: asks for the display time (answer 42, on the answer events, notified as 171). */
KQ_API void KQ_CALL PedeTempoExib(int32_t terminal);
/* Code 49 with the value, 4 bytes: enables or disables the keyboard. Fail 0. */
KQ_API int32_t KQ_CALL HabilitaTeclado(int32_t terminal, int32_t value);
/* Code 65 with the value, 4 bytes: enables or disables the card reader. Fail 0. */
KQ_API int32_t KQ_CALL HabilitaLEC(int32_t terminal, int32_t value);
/* Code 81 (port 0) or 87 (any other port) with the 12-byte serial configuration at settings. Fail 0. */
KQ_API int32_t KQ_CALL kq_sendconfigserial(int32_t terminal, int32_t port, const void *settings);
/* Code 85 (port 0) or 91: the low 16 bits of length, then 256 bytes from data (258 bytes). 265 when sent. Fail 0. */
KQ_API int32_t KQ_CALL kq_writeserial(int32_t terminal, int32_t port, int32_t length, const void *data);
/* Code 161 with the low byte of port: asks for the port's status (answer 162, read with kq_sergetstatus). Fail 0. */
KQ_API int32_t KQ_CALL kq_serreqstatus(int32_t terminal, int32_t port);
/* Code 163 with the low bytes of first and second: sets a serial port's status. Fail 0. */
KQ_API int32_t KQ_CALL kq_sersetstatus(int32_t terminal, int32_t first, int32_t second);
/* Code 170: asks for the presence sensor's status (answer 171). Model 320. Fail 0. */
KQ_API int32_t KQ_CALL kq_pedesensorstatus(int32_t terminal);
/* Code 168 with the value, 4 bytes: sets the presence sensor (answer 169). Model 320. Fail 0. */
KQ_API int32_t KQ_CALL kq_setsensor(int32_t terminal, int32_t value);
/* Code 166 with the zero-ended name and its zero: shows a local media (answer 167). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_ShowLocalMedia(int32_t terminal, const char *name);
/* Code 184 with the zero-ended name and its zero: deletes a local media (answer 185). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_DeleteLocalMedia(int32_t terminal, const char *name);
/* Code 186: cleans the internal memory (answer 187). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_CleanInternalMem(int32_t terminal);
/* Code 188: cleans the external memory (answer 189). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_CleanExternalMem(int32_t terminal);
/* Code 172 with the value, 4 bytes: sets the audio (answer 173). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_setaudio(int32_t terminal, int32_t value);
/* Code 174: asks for the audio status (answer 175, read with kq_getaudiostatus). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_pedeaudiostatus(int32_t terminal);
/* Code 176 with the value, 4 bytes: sets the volume (answer 177). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_setvolume(int32_t terminal, int32_t value);
/* Code 178: asks for the volume (answer 179, read with kq_getvolume). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_pedevolume(int32_t terminal);
/* Code 180 with the value, 4 bytes: sets the brightness (answer 181). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_setbrightness(int32_t terminal, int32_t value);
/* Code 182: asks for the brightness (answer 183, read with kq_getbrightness). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_pedebrightness(int32_t terminal);

/* ---- Reading what terminals sent ---------------------------------------------------
 * Stores are stacks: every read takes the newest entry first and removes it. */

/* Pops the newest serial entry: its bytes to buffer (256 bytes), its port (0 or 1) to source. Its length; 0 when none. Fail 0. */
KQ_API int32_t KQ_CALL kq_getserial(int32_t terminal, int32_t *source, void *buffer);
/* Pops the newest card read: both texts, zero-ended, to first and second (128 bytes each). 1, or 0 when none. Fail 0. */
KQ_API int32_t KQ_CALL kq_getmag(int32_t terminal, char *first, char *second);
/* Pops the newest configuration record to config (222 bytes). 1, or 0 when none. Fail 0. */
KQ_API int32_t KQ_CALL kq_getconfig(int32_t terminal, void *config);
/* Pops the newest wifi record to wifi (100 bytes). 1, or 0 when none. Fail 0. */
KQ_API int32_t KQ_CALL kq_getconfigwifi(int32_t terminal, void *wifi);
/* The presence sensor's last status (0 until reported). Model 320. Fail 0. */
KQ_API int32_t KQ_CALL kq_getsensorstatus(int32_t terminal);
/* The last audio status (0 until reported). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_getaudiostatus(int32_t terminal);
/* The last volume (0 until reported). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_getvolume(int32_t terminal);
/* The last brightness (0 until reported). Model 320. Fail -1. */
KQ_API int32_t KQ_CALL kq_getbrightness(int32_t terminal);
/* Appends the unique identifier as text (00:1A:2B:3C:4D:5E) to text; its 32-byte text to uidText. 1. Fail 0. */
KQ_API int32_t KQ_CALL kq_getuid(int32_t terminal, char *text, void *uidText);
/* The 8-byte SC block to sc. 1. Fail 0. */
KQ_API int32_t KQ_CALL kq_getsc(int32_t terminal, void *sc);
/* The identification word: b0 terminal version, b1 b2 model number. Fail 0. */
KQ_API int32_t KQ_CALL kq_getident(int32_t terminal);
/* The last status word of port 0 (port 0) or port 1 (any other port) to status. 1. Fail 0. */
KQ_API int32_t KQ_CALL kq_sergetstatus(int32_t terminal, int32_t port, int16_t *status);
/* Pops the newest answer event of the lowest-numbered terminal that has one: its number, code, value and how
 * many answers that terminal still holds. 1, or 0 when no terminal has one. */
KQ_API unsigned char KQ_CALL kq_TemResposta(int32_t *terminal, unsigned char *code, int32_t *value, int32_t *count);
/* The value stored in answer slot index (0 … 19, popped or not); index -1: the newest slot, -1 when none. Fail -1. */
KQ_API int32_t KQ_CALL kq_GetResposta(int32_t terminal, int32_t index);

/* ---- Configuration records --------------------------------------------------------- */

/* Builds a configuration record (addresses converted like kq_inet_addr; texts cut to 31, 99, 29 and 29
 * characters) and sends it with kq_sendconfig. Its result. */
KQ_API int32_t KQ_CALL SendConfig(int32_t terminal, const char *address1, const char *address2,
                                  const char *address3, const char *address4, const char *address5,
                                  const char *text1, int32_t number1, const char *text2, const char *text3,
                                  const char *text4, int32_t number2, int32_t number3);
/* Pops the newest configuration record of the lowest-numbered terminal that has one and unpacks it: addresses as
 * dotted texts (16 bytes each), texts into 32, 100, 30 and 30 bytes, the last two numbers' low bytes. 1, or 0. */
KQ_API unsigned char KQ_CALL GetConfig(int32_t *terminal, char *address1, char *address2, char *address3,
                                       char *address4, char *address5, char *text1, int16_t *number1, char *text2,
                                       char *text3, char *text4, unsigned char *number2, unsigned char *number3);
/* Builds a wifi record (texts in 20 and 64 bytes, zero-filled, unterminated when they fill it) and sends it with
 * kq_sendconfigwifi. Its result. */
KQ_API int32_t KQ_CALL SendConfigWifi(int32_t terminal, int32_t number1, int32_t number2, const char *text1,
                                      int32_t number3, int32_t number4, const char *text2);
/* Builds a serial configuration record and sends it with kq_sendconfigserial on the port's low byte. Its result. */
KQ_API int32_t KQ_CALL AbreSerialCOM(int32_t terminal, int32_t port, int32_t setting1, int32_t setting2,
                                     int32_t setting3, int32_t setting4);

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
 * most 236 colours.
 * A picture file of more than KQ_PICTURE_MAX_BYTES returns 0 unread; a picture decoded into more
 * than KQ_PICTURE_MAX_PIXELS (e.g. 8192 x 4096) returns 0 before it is decoded, its size read from
 * the file's header. On Linux a JPEG is decoded at 1/2, 1/4 or 1/8 scale when its place on the
 * screen needs no more pixels, and counts at that scale; on Windows (GDI+) it counts whole. A file
 * that ends before its picture does (a BMP short of rows, a JPEG without its end marker, an icon
 * short of an image) returns 0 and sends nothing, in every format. */
#define KQ_PICTURE_MAX_BYTES 268435456
#define KQ_PICTURE_MAX_PIXELS 33554432

/* Metafiles ("wmf", "emf") are played as Windows plays them: a placeable WMF maps its header's box
 * onto its place on the screen (its records may set their own window, flipped or not); a WMF without
 * that header is played one logical unit to one pixel and is as large as what its records draw; an EMF
 * maps its header's frame onto its place. Either returns 0 when it has more than
 * KQ_METAFILE_MAX_RECORDS records, when a record reaches past the file's end, or when the end record
 * is missing. On Linux the library plays them itself (texts in the font fontconfig chooses for the face
 * name), and one play may spend at most KQ_METAFILE_MAX_WORK units of work: a record, a point, a pixel
 * of a shape's edges and a pixel of a bitmap record cost one unit each, a character four. A file
 * that needs more, or one whose bitmap record claims more than KQ_PICTURE_MAX_PIXELS, returns 0. That
 * bounds one conversion to about 2 seconds of one core of a 2-core x86-64 server and, beyond the file
 * itself, about 200 MiB of memory (mostly one bitmap record's pixels at the pixel limit). */
#define KQ_METAFILE_MAX_RECORDS 500000
#define KQ_METAFILE_MAX_WORK 33554432

/* Sends palette and pixels (as many as the terminal's model takes) as command 37; 1 sent, -1 write failed, -2 busy; fail value 0. */
KQ_API int32_t KQ_CALL kq_sendimage(int32_t terminal, void *palette, void *pixels);
/* Sends a width x height block of pixel indices at (x, y) as command 131; 1, -1, -2; 0 also for a negative width or height
 * or a block whose length field (width x height + 8) would not fit a signed 32-bit value. */
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
/* Shows a .bmp/.jpg/.jpeg/.ico/.wmf/.emf file on the terminal (see above); as kq_sendimage, 0 for a missing,
 * unusable, cut-short or too large file. */
KQ_API int32_t KQ_CALL kq_sendimgfromfile(int32_t terminal, const char *fileName);

/* ---- Files and media configuration ------------------------------------------------- */

/* The largest file a terminal's answer can leave for kq_getfile: a buffer of this many bytes always
 * suffices. A larger answer is read and dropped (notification 98 with extra value 0). An answer must
 * arrive within 30 s + 1 s per 64 KiB of what may be kept of it, never pausing 15 s; one that does
 * not ends the connection. */
#define KQ_GETFILE_MAX_BYTES 2400000

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
/* Collects the file received last: name (128 bytes), size, and its bytes into data (room for the file,
 * at most KQ_GETFILE_MAX_BYTES);
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

/* ---- Legacy export set -------------------------------------------------------------
 * The older interface, kept for host programs written against it. */

/* kq_sendlive. */
KQ_API int32_t KQ_CALL EnviaVivo(int32_t terminal);
/* kq_sendalwayslive. */
KQ_API int32_t KQ_CALL EnviaSempreVivo(int32_t terminal);
/* kq_reqconfig. */
KQ_API int32_t KQ_CALL PedeConfig(int32_t terminal);
/* Builds a text record (texts cut to 127 and 31 characters, bytes 164-165 = 1) and sends it with kq_sendtext. */
KQ_API int32_t KQ_CALL EnviaTexto(int32_t terminal, int32_t first, int32_t second, const char *text,
                                  const char *secondText, int32_t third, int32_t fourth);
/* kq_fillscreen with the low 16 bits of fill. */
KQ_API int32_t KQ_CALL ClearDisplay(int32_t terminal, int32_t fill);
/* kq_sendimage. */
KQ_API int32_t KQ_CALL EnviaImagem(int32_t terminal, void *palette, void *pixels);
/* kq_sendimgfromfile. */
KQ_API int32_t KQ_CALL EnviaImagemDoArquivo(int32_t terminal, const char *fileName);
/* kq_updatesoft. */
KQ_API int32_t KQ_CALL UpdateSoft(int32_t terminal);
/* kq_stopadv. */
KQ_API int32_t KQ_CALL StopAdv(int32_t terminal);
/* kq_deleteadv. */
KQ_API int32_t KQ_CALL DeleteAdv(int32_t terminal);
/* Does nothing: no frame, no change. */
KQ_API void KQ_CALL PedeHabilitaTeclado(int32_t terminal);
/* kq_reloadadv. */
KQ_API int32_t KQ_CALL AtualizaAdv(int32_t terminal, int32_t number);
/* Does nothing: no frame, no change. */
KQ_API void KQ_CALL PedeHabilitaLEC(int32_t terminal);
/* kq_sendfile: the local file at path, as file name on the terminal. */
KQ_API int32_t KQ_CALL EnviaArquivo(int32_t terminal, const char *path, const char *name);
/* kq_writeserial on the port's low byte. */
KQ_API int32_t KQ_CALL EscreveSerial(int32_t terminal, int32_t port, int32_t length, const void *data);
/* Pops the newest serial entry of the lowest-numbered terminal that has one (empty entries are taken away and
 * passed over): number, port, bytes (256-byte buffer), length. Writes 0 to length first. 1, or 0 when none. */
KQ_API unsigned char KQ_CALL GetSerial(int32_t *terminal, int32_t *source, void *buffer, int32_t *length);
/* Pops the newest card read of the lowest-numbered terminal that has one: number, second text (128 bytes), mask
 * (1: first text present, 2: second text present). 1, or 0 when none. */
KQ_API unsigned char KQ_CALL GetLEC(int32_t *terminal, char *secondText, int32_t *mask);
/* Pops the newest key of any terminal: the key, and the connection handle of the terminal that sent it. 1, or 0. */
KQ_API unsigned char KQ_CALL Get_KBD_char(int32_t *handle, unsigned char *key);

#ifdef __cplusplus
}
#endif

#endif /* KS318_H */
