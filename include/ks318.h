/*
 * KS318: host-side server for networked display terminals.
 *
 * The host starts the server, is told of every terminal that connects, of what it
 * sends and of its departure, and sends it commands. A terminal has two names:
 *  - its id: given when it connects, never changed, never given to another connection
 *    while the library is loaded. Address terminals by id (kq_addressby);
 *  - its terminal number: its 1-based position among the connected terminals, in order of
 *    arrival, the first argument of every per-terminal export as first written. Numbers
 *    close up when a terminal leaves, so a number kept for a moment may already name
 *    another terminal: a text meant for one screen lands on another, silently.
 *
 * Plain C, usable from C, C++ and any foreign-function interface. No export lets an
 * exception or error of the library's own reach the host: whatever happens inside
 * (no memory, say), an export returns its fail value, and kq_lastfailure tells why.
 *
 * A first host (Linux; on Windows `window` is the host's window handle instead):
 *
 *     static void onLink(void *host, uint32_t message, uint32_t address, uint32_t lParam) {
 *         int32_t terminal = kq_notifiedterminal(message, address, lParam);  // its id
 *         kq_addressby(KQ_ADDRESS_BY_ID);             // this thread's calls name terminals by id
 *         if (KQ_LINK_IS_CONNECT(lParam)) {
 *             printf("terminal %d at %s, model %d\n", terminal, kq_inet_ntoa(address),
 *                    KQ_IDENT_MODEL(kq_getident(terminal)));
 *             kq_fillscreen(terminal, 15);             // the screen white
 *         }
 *     }
 *     static void onData(void *host, uint32_t message, uint32_t code, uint32_t lParam) {
 *         int32_t terminal = kq_notifiedterminal(message, code, lParam);
 *         if (code == KQ_NOTIFY_KEY) printf("key %u from terminal %d\n", KQ_DATA_EXTRA(lParam), terminal);
 *     }
 *     int main(void) {
 *         KqHostTarget target = {NULL, onLink, onData};
 *         sigset_t stop;                               // <signal.h>: Ctrl-C or a kill ends the wait
 *         int caught;
 *         sigemptyset(&stop);
 *         sigaddset(&stop, SIGINT);
 *         sigaddset(&stop, SIGTERM);
 *         pthread_sigmask(SIG_BLOCK, &stop, NULL);     // before the start: library threads inherit it
 *         kq_addressby(KQ_ADDRESS_BY_ID);             // and so do this thread's
 *         if (!kq_startserverex(&target, 1, 2, "127.0.0.1", KQ_DEFAULT_PORT)) {
 *             fprintf(stderr, "cannot start: %s\n", kq_lastfailure());
 *             return 1;
 *         }
 *         sigwait(&stop, &caught);                     // returns on the signal: the stop is reached
 *         kq_finishserver();
 *         return 0;
 *     }
 *
 * Handlers run on library threads, whose addressing is by number until they ask for ids:
 * call kq_addressby(KQ_ADDRESS_BY_ID) in each handler that calls exports (it is cheap),
 * as on every thread of the host's own that does.
 * examples/host.c in the source tree is a complete host along these lines.
 */
#ifndef KS318_H
#define KS318_H

#include <stddef.h>
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

/* ---- Notifications ------------------------------------------------------------------
 * The server tells the host of three things, each with a message number chosen at start and
 * two values, wParam and lParam:
 *   connect     posted on connectMessage: wParam = the terminal's IPv4 address (network byte
 *               order), lParam = (terminal number << 16) | 1;
 *   disconnect  posted on connectMessage: wParam = the address, lParam = (connection handle &
 *               0xFFFF) << 16, low word 0;
 *   data        sent on dataMessage: wParam = one of the KQ_NOTIFY_ codes below, lParam =
 *               (connection handle & 0xFFFF) | (extra value << 16).
 * A data notification names the connection, not the terminal number. In any handler,
 * kq_notifiedterminal(message, wParam, lParam) gives the id of the terminal the notification is
 * about (see "Terminal ids"). */
#define KQ_LINK_IS_CONNECT(lParam) ((((uint32_t)(lParam)) & 0xFFFFu) == 1u)
#define KQ_LINK_TERMINAL(lParam) (((uint32_t)(lParam)) >> 16) /* connect: the terminal number then */
#define KQ_LINK_HANDLE(lParam) (((uint32_t)(lParam)) >> 16)   /* disconnect: handle, low 16 bits */
#define KQ_DATA_HANDLE(lParam) (((uint32_t)(lParam)) & 0xFFFFu)
#define KQ_DATA_EXTRA(lParam) (((uint32_t)(lParam)) >> 16)

/* Data notification codes. "flag": the extra value is 1 when the terminal reported success
 * (its answer's first 32-bit value was 1), else 0. Where nothing else is said the extra value
 * is 0. A notification is sent even when the store it names was full and kept nothing. */
/* Unasked: what a person does at the terminal. */
#define KQ_NOTIFY_KEY 53     /* extra: the key's code. Stored too, read with Get_KBD_char */
#define KQ_NOTIFY_CARD 69    /* extra: 1 first text present, 2 second, 3 both; kq_getmag, GetLEC */
#define KQ_NOTIFY_SERIAL0 83 /* data on serial port 0; kq_getserial (source 0), GetSerial */
#define KQ_NOTIFY_SERIAL1 89 /* data on serial port 1; kq_getserial (source 1), GetSerial */
/* Answers to the host's commands, each named by the export that asked. */
#define KQ_NOTIFY_CONFIG_SET 24        /* kq_sendconfig, SendConfig: flag */
#define KQ_NOTIFY_CONFIG 26            /* kq_reqconfig: a KqConfigRecord; kq_getconfig, GetConfig */
#define KQ_NOTIFY_UID 28               /* kq_requid and every handshake: kq_getuid */
#define KQ_NOTIFY_ADV_STOPPED 45       /* kq_stopadv: flag */
#define KQ_NOTIFY_FILE 98              /* kq_reqfile, kq_pedeallmedias: extra 1 when a file was kept
                                          for kq_getfile, 0 when none came (or it was too large) */
#define KQ_NOTIFY_SOFTWARE_UPDATE 114  /* kq_updatesoft: flag */
#define KQ_NOTIFY_ADV_RELOADED 118     /* kq_reloadadv, kq_sendmediaconf, kq_sendpresencesensorconf: flag */
#define KQ_NOTIFY_RESTART 122          /* kq_restart: flag */
#define KQ_NOTIFY_SC 124               /* kq_reqsc: kq_getsc */
#define KQ_NOTIFY_IMAGE_UPDATE 148     /* kq_reqimageupdate: kq_getimageupdateconfig */
#define KQ_NOTIFY_IMAGES_UPDATED 150   /* kq_sendupdateimages */
#define KQ_NOTIFY_WIFI_SET 152         /* kq_sendconfigwifi, SendConfigWifi: flag */
#define KQ_NOTIFY_WIFI 154             /* kq_reqconfigwifi: a KqWifiRecord; kq_getconfigwifi */
#define KQ_NOTIFY_SERIAL_STATUS 161    /* kq_serreqstatus: extra 0 for port 0's status word, any
                                          other value for port 1's; kq_sergetstatus */
/* Answers kept on the answer events (read with kq_TemResposta: code, value) as well. */
#define KQ_NOTIFY_MEDIA_SHOWN 167      /* kq_ShowLocalMedia */
#define KQ_NOTIFY_SENSOR_SET 169       /* kq_setsensor */
#define KQ_NOTIFY_SENSOR 171           /* kq_pedesensorstatus: kq_getsensorstatus. Also the answer
                                          to PedeTempoExib, whose event has code KQ_ANSWER_DISPLAY_TIME */
#define KQ_NOTIFY_AUDIO_SET 173        /* kq_setaudio */
#define KQ_NOTIFY_AUDIO 175            /* kq_pedeaudiostatus: kq_getaudiostatus */
#define KQ_NOTIFY_VOLUME_SET 177       /* kq_setvolume */
#define KQ_NOTIFY_VOLUME 179           /* kq_pedevolume: kq_getvolume */
#define KQ_NOTIFY_BRIGHTNESS_SET 181   /* kq_setbrightness */
#define KQ_NOTIFY_BRIGHTNESS 183       /* kq_pedebrightness: kq_getbrightness */
#define KQ_NOTIFY_MEDIA_DELETED 185    /* kq_DeleteLocalMedia */
#define KQ_NOTIFY_INTERNAL_CLEANED 187 /* kq_CleanInternalMem */
#define KQ_NOTIFY_EXTERNAL_CLEANED 189 /* kq_CleanExternalMem */
/* The answer event's code for the display time (its value: the time); notified as KQ_NOTIFY_SENSOR. */
#define KQ_ANSWER_DISPLAY_TIME 42

/*
 * Notification target on platforms without window messages: `kq_startserver`'s
 * `window` points to one of these, copied at start. A null function means that kind
 * of notification reaches nobody. Both are called on library threads, any number
 * at a time.
 */
typedef struct KqHostTarget {
    void *context;
    /* posted: called for connect and disconnect, on the terminal's own connection thread; a
     * slow handler holds up only its own terminal (see "Threads") */
    void (*post)(void *context, uint32_t message, uint32_t wParam, uint32_t lParam);
    /* sent: returns once the host has handled the message; called for data notifications */
    void (*send)(void *context, uint32_t message, uint32_t wParam, uint32_t lParam);
} KqHostTarget;

/* ---- Threads ------------------------------------------------------------------------
 * Every export may be called from any thread, at any time, by any number of threads at
 * once, also while the server starts or stops; exports for one terminal are ordered by
 * its send gate and stores, not by the caller.
 *
 * With a KqHostTarget every notification of a terminal (connect, its data, disconnect,
 * in that order) is made on that terminal's own connection thread, one at a time;
 * notifications of different terminals come at the same time from different threads.
 * That terminal is not read while its handler runs, so:
 *  - a data handler may read the store its notification names and find what arrived;
 *  - a handler may call any export, including commands to its own terminal and
 *    kq_finishserver (which then posts that terminal's disconnect before returning);
 *  - a handler that takes long delays only its own terminal; a command it sends waits, like any
 *    other, behind a frame already on its way to that terminal (a file transfer, say), within
 *    the send gate's 10 s and that frame's own end; one that never returns
 *    holds kq_finishserver up to its limit (about 5.4 s), and the library may then be
 *    unloaded under it: a handler must not wait for anything the host does after
 *    kq_finishserver.
 * A handler learns which terminal its notification is about with kq_notifiedterminal:
 * its id, exact whatever other terminals do at that moment (see "Terminal ids"). Keep
 * that id, not a number, for anything done later (a queue, another thread): a number
 * is good only at the moment it was read. The addressing mode (kq_addressby) is each
 * thread's own, handlers' threads included.
 * With a window (Windows) notifications come through the window's message queue, on
 * the window's thread.
 *
 * What terminals send is kept in small stacks, read newest first: per terminal 16 serial
 * entries, 8 card reads, 16 configuration and 16 wifi records, 20 answer events; 128 keys
 * for all terminals together. A full stack refuses what comes next (the notification is
 * still made): a host that reads nothing loses new data, and the library's memory stays
 * bounded. Nothing else depends on a host emptying them: one that takes each key from its
 * notification's extra value may leave the key store full for good. */

/* ---- Limits and sizes ------------------------------------------------------------- */
#define KQ_IDENT_VERSION(ident) ((int32_t)((uint32_t)(ident) & 0xFFu))  /* of kq_getident's word */
#define KQ_IDENT_MODEL(ident) ((int32_t)((((uint32_t)(ident) >> 8) & 0xFFu) * 256u + (((uint32_t)(ident) >> 16) & 0xFFu)))
#define KQ_MAX_TERMINALS 1024       /* connections at once (see "Server lifecycle" for one more) */
#define KQ_DEFAULT_PORT 16510       /* kq_startserver's port */
#define KQ_PALETTE_BYTES 768        /* 256 entries of red, green, blue */
#define KQ_PIXELS_318 76800         /* 320 x 240: model 318's screen */
#define KQ_PIXELS_OTHER 130560      /* 480 x 272: every other model's screen */
#define KQ_SERIAL_DATA_BYTES 256    /* kq_getserial's, GetSerial's and kq_writeserial's buffer */
#define KQ_CARD_TEXT_BYTES 128      /* each of kq_getmag's texts, GetLEC's second text */
#define KQ_FILE_NAME_BYTES 128      /* a file name on the terminal, zero included; kq_getfile's name */
#define KQ_UID_TEXT_BYTES 32        /* kq_getuid's uidText */
#define KQ_SC_BYTES 8               /* kq_getsc's block */
#define KQ_MEDIA_ENTRY_BYTES 256    /* one entry of kq_savemedias and kq_getallmedias */
#define KQ_MEDIA_ENTRIES 255        /* kq_getallmedias's entries */

/* ---- Server lifecycle --------------------------------------------------------------
 * A connection is numbered once its handshake is through (code 19 has gone out, its
 * identification has been read and codes 21 and 27 sent): until then no export, listing
 * or id finds it, so nothing the host sends can reach a terminal before its greeting
 * (an export for it fails as for no terminal). Its connect notification comes from its
 * connection thread after that, or once the handshake has failed: whatever the host
 * sends from its connect handler follows the greeting, and the terminal is listed by
 * then. The terminal number is its position at that moment; kq_notifiedterminal gives
 * its id. A failed handshake gives connect, then disconnect, and nothing reaches the
 * connection in between.
 *
 * Capacity: KQ_MAX_TERMINALS connections, those in their handshake included. At the
 * capacity a new connection takes the place of the one that has waited longest in its
 * handshake, if that one has waited at least 1 s (it is closed, unannounced); otherwise
 * the new one is closed at once, unannounced. Numbered terminals are never displaced.
 * The server listens with a backlog of 1024, so a whole table reconnecting at once (a
 * host restart) waits to be accepted instead of being lost.
 *
 * What terminals send must keep coming: a frame whose header or payload has begun must
 * not pause for 15 s (the receive limit) between bytes, and its whole payload must
 * arrive within 15 s + 1 s per 64 KiB it announces, counted from its header (a file
 * answer, code 98, has its own: see KQ_GETFILE_MAX_BYTES). A frame that misses either
 * ends the connection (disconnect notified): the bytes after it would otherwise be read
 * as frames. A terminal silent between frames for 15 s is probed (code 17), and one
 * silent for a second period is dropped. With a KqHostTarget every notification of a terminal comes from
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
/* Why the calling thread's last call of an export failed, in words ("127.0.0.2 port 16510 is in use",
 * "'not-an-address' is not an IPv4 address", "no terminal 7", "the picture has more than 33554432
 * pixels", ...); "" when it did not fail or gave no reason. Each export call starts its thread's reason
 * afresh (those that cannot fail leave it); the text stays valid until the thread's next export call. An extension, like kq_startserverex:
 * the results of the other exports are what they always were. */
KQ_API const char *KQ_CALL kq_lastfailure(void);
/* Converts a picture file as kq_sendimgfromfile (see Images) does for a terminal of model `model`, without a terminal
 * or a running server: the 768-byte palette to palette and one index per pixel to pixels, KQ_PIXELS_318
 * for model 318 and KQ_PIXELS_OTHER for every other value. Returns that pixel count; the bytes are those
 * kq_sendimgfromfile would send to such a terminal, so a host showing one picture on many terminals
 * converts once and sends the result with kq_sendimage to each. 0 for what kq_sendimgfromfile refuses
 * (a missing, unusable, cut-short or too large file) and for a null argument, with kq_lastfailure saying
 * why; palette and pixels are then left as they were. An extension, like kq_startserverex. */
KQ_API int32_t KQ_CALL kq_convertimgfromfile(const char *fileName, int32_t model, void *palette, void *pixels);
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

/* ---- Terminal ids ------------------------------------------------------------------
 * Every accepted connection gets an id: a positive 32-bit number from KQ_FIRST_TERMINAL_ID
 * up, so above every terminal number: a number passed where an id is meant, or an id
 * where a number is meant, names no terminal rather than another one. An id never changes
 * while its connection lives and is never given again while the library stays loaded
 * (a stop and a new start go on counting). A gone id names nothing: a command for it
 * fails with the export's fail value, and kq_lastfailure says "no terminal id N".
 *
 * Addressing by id. kq_addressby(KQ_ADDRESS_BY_ID) makes the calling thread's exports
 * take an id wherever they take a terminal number, every export alike: the command
 * reaches that connection or fails with the export's usual fail value; it never reaches
 * another terminal. On that thread the exports that report a terminal name it by id too:
 * GetSerial, GetLEC, GetConfig and kq_TemResposta report the id where they reported the
 * number, Get_KBD_char the key's terminal id where it reported the connection handle,
 * and the number fields of GetTabConectados and kq_gettermconectados hold ids. Other
 * threads keep their own mode (numbers, unless they ask), so a host or a binding can
 * switch without changing what anyone else's numbers mean. The mode is the thread's:
 * library threads (the handlers') start by number.
 *
 * Learning the id of a notification. kq_notifiedterminal(message, wParam, lParam), called
 * with the values of the notification being handled, returns the id of the terminal it is
 * about, for connect, data and disconnect alike:
 *  - with a KqHostTarget: exact, always. The handler runs on the terminal's own connection
 *    thread, which names its terminal for as long as the handler runs (the values passed
 *    are then not even looked at). No window remains;
 *  - with a window (Windows): a data notification is found by its connection handle among
 *    the connection threads waiting for the window to handle one, exact while that thread
 *    waits (its handle cannot be reused meanwhile; two waiting connections whose handles
 *    share their low 16 bits would be told apart by neither). A connect or disconnect is
 *    found by its values among the posts not yet asked about, the oldest first, as the
 *    queue delivers them (posts before the one asked about are forgotten: the queue has
 *    delivered them). Exact when the host asks for every connect and disconnect it
 *    handles; a connect it skipped could be taken for a later one with the same address
 *    and number if nothing was asked in between. The last 4096 posts not asked about are
 *    kept; a new start forgets those of the server before.
 * It returns 0 outside a handler and for a notification it cannot tell. */
#define KQ_FIRST_TERMINAL_ID 65536
#define KQ_ADDRESS_BY_NUMBER 0
#define KQ_ADDRESS_BY_ID 1

/* Sets how the calling thread's exports name terminals: KQ_ADDRESS_BY_NUMBER (as written) or
 * KQ_ADDRESS_BY_ID. Returns the thread's previous mode; -1 (mode unchanged) for another value. */
KQ_API int32_t KQ_CALL kq_addressby(int32_t mode);
/* The id of the terminal the notification with these values is about (see above); 0 when unknown. */
KQ_API int32_t KQ_CALL kq_notifiedterminal(uint32_t message, uint32_t wParam, uint32_t lParam);
/* The terminal number the id has now; 0 when the id names no connected terminal. A number moves:
 * use it at once, or not at all. */
KQ_API int32_t KQ_CALL kq_terminalnumber(int32_t id);
/* The id of the terminal at a number now; 0 when there is none. */
KQ_API int32_t KQ_CALL kq_terminalid(int32_t number);

/* One connected, identified terminal, as kq_listterminals lists it. 56 bytes. */
typedef struct KqTerminalInfo {
    int32_t number;        /*  0: its terminal number at the moment of the listing */
    int32_t id;            /*  4: its id */
    uint32_t address;      /*  8: IPv4, network byte order */
    int32_t model;         /* 12: model number */
    int32_t version;       /* 16: terminal version */
    int32_t reserved;      /* 20: 0 */
    char identifier[32];   /* 24: the identifier text (kq_getuid's uidText), zero-ended, cut to 31 */
} KqTerminalInfo;

/* Lists the connected terminals that have identified themselves, in number order, in one
 * consistent snapshot: at most `capacity` entries to `entries`. Returns how many there are (more
 * than capacity when they did not all fit); -1 for a null entries with a capacity above 0 or a
 * negative capacity. A terminal still in its handshake is not listed. */
KQ_API int32_t KQ_CALL kq_listterminals(KqTerminalInfo *entries, int32_t capacity);

/* ---- Terminal listings and addresses ---------------------------------------------- */

/* Fills 8196 bytes: 1024 terminal numbers (ids on a thread that addresses by id), 1024 IPv4 addresses (network order), the count; returns table
 * (null when the listing could not be made). */
KQ_API void *KQ_CALL GetTabConectados(void *table);
/* Drops terminals that identified with model 0, then fills 47108 bytes: 1024 texts of 34 bytes,
 * 1024 numbers (ids on a thread that addresses by id), 1024 addresses, 1024 model numbers, the count; returns list (null when the listing
 * could not be made). A connection still in its handshake is neither dropped, listed nor counted. */
KQ_API void *KQ_CALL kq_gettermconectados(void *list);
/* Dotted IPv4 text of the terminal, in storage of the calling thread that stays valid until its next
 * kq_ipfromid call (whether or not the terminal stays connected); null when there is none. */
KQ_API char *KQ_CALL kq_ipfromid(int32_t terminal);
/* The terminal protocol version the library speaks: 32 (not the package's version, below). */
KQ_API unsigned char KQ_CALL kq_version(void);
/* The package version of this header. kq_libraryversion gives the loaded library's as
 * KQ_VERSION_NUMBER gives this header's: a host compares them to know it runs the library it was
 * built against (the same major version keeps every export and record of this header). */
#define KQ_VERSION_MAJOR 0
#define KQ_VERSION_MINOR 1
#define KQ_VERSION_PATCH 0
#define KQ_VERSION_NUMBER (KQ_VERSION_MAJOR * 1000000 + KQ_VERSION_MINOR * 1000 + KQ_VERSION_PATCH)
KQ_API int32_t KQ_CALL kq_libraryversion(void);
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
 * Every per-terminal export takes the terminal number first, or the terminal's id on a
 * thread that addresses by id (kq_addressby). A negative number, an empty table, a
 * number with no terminal or an id that names no connected terminal returns the
 * export's fail value (0 for most, -1 where noted); so does a terminal of another model for the exports that
 * need model 320. Exports that need terminal version 32 return -1 below it.
 * Command exports return the bytes sent (7 + payload: KQ_SENT(payload), e.g. 177 for a
 * text, 9 for a fill, 229 for a configuration record), -1 when the socket failed or
 * the frame missed its deadline (the connection then ends), 0 when no frame buffer
 * could be had, -2 when the terminal's send gate stayed busy for 10 s. None waits for
 * the terminal's answer. So a host tests a command's result as "> 0: sent", and any
 * other value as its failure, kq_lastfailure telling which. */
#define KQ_FRAME_HEADER_BYTES 7
#define KQ_SENT(payloadBytes) (KQ_FRAME_HEADER_BYTES + (payloadBytes))
#define KQ_SEND_FAILED (-1) /* the connection failed or ended */
#define KQ_SEND_BUSY (-2)   /* the send gate stayed busy */

/* kq_sendtext and kq_fillscreen never wait for another frame: behind one that is on
 * its way (a file, an image) they are queued, at most this many per terminal, and go
 * out right after it in the order queued; they then return 177 or 9 at once. A full
 * queue, or a connection that has ended, returns -1 and nothing is sent. */
#define KQ_QUEUED_FRAMES_MAX 256

/* ---- Records ------------------------------------------------------------------------
 * The fixed-size records the exports take or fill through their `void *` parameters, as
 * C structs with their byte offsets. Numbers are little-endian, as on the hosts the
 * library runs on; addresses are IPv4 in network byte order. The library passes the
 * records' fields between host and terminal unchanged: what a terminal makes of a
 * field is its own. Where a field's meaning is known its comment says it; the fields
 * named only by their kind and place (text1, number1, ...) are passed as they are, their
 * meaning the terminal's. A text field holds 8-bit text ended by a zero, unless it says
 * otherwise. */

/* kq_sendtext's record (EnviaTexto builds one). 170 bytes. */
typedef struct KqTextRecord {
    int16_t x;       /*   0: left of the text, in pixels */
    int16_t y;       /*   2: top of the text */
    char text[128];  /*   4: the text; a new line starts a line below */
    char font[32];   /* 132: a font sent to the terminal (kq_sendfontfile), or empty */
    int16_t one;     /* 164: 1 when EnviaTexto built the record */
    int16_t colour;  /* 166: the text's palette entry: an index into the screen's palette, which
                        every image and picture replaces (kq_sendimage, kq_sendimgfromfile...), so
                        entry 15 is white only until a picture brings its own colours. Send a
                        palette (kq_enviapaleta) of known colours before texts that need them */
    int16_t height;  /* 168: the line height in pixels; 0: the terminal's own */
} KqTextRecord;

/* The configuration record: kq_sendconfig's, kq_getconfig's, SendConfig's and GetConfig's.
 * 222 bytes, packed: its two last numbers are not 4-aligned. */
#pragma pack(push, 1)
typedef struct KqConfigRecord {
    uint32_t address[5];  /*   0: five IPv4 addresses, network byte order */
    char text1[32];       /*  20 */
    int16_t number1;      /*  52 */
    char text2[100];      /*  54 */
    char text3[30];       /* 154 */
    char text4[30];       /* 184 */
    int32_t number2;      /* 214 */
    int32_t number3;      /* 218 */
} KqConfigRecord;
#pragma pack(pop)

/* The wifi record: kq_sendconfigwifi's and kq_getconfigwifi's. 100 bytes. Its texts fill
 * their fields with zeros and have no ending zero when they fill them. */
typedef struct KqWifiRecord {
    int32_t number1;  /*  0 */
    int32_t number2;  /*  4 */
    char text1[20];   /*  8 */
    int32_t number3;  /* 28 */
    int32_t number4;  /* 32 */
    char text2[64];   /* 36 */
} KqWifiRecord;

/* A serial port's configuration: kq_sendconfigserial's (AbreSerialCOM builds one). 12 bytes. */
typedef struct KqSerialConfigRecord {
    uint32_t setting1;  /*  0 */
    int32_t setting2;   /*  4 */
    uint8_t setting3;   /*  8 */
    uint8_t setting4;   /*  9 */
    uint16_t ten;       /* 10: 10 when AbreSerialCOM built the record */
} KqSerialConfigRecord;

/* The image-update configuration: kq_sendimageupdate's and kq_getimageupdateconfig's. 112 bytes. */
typedef struct KqImageUpdateConfig {
    int32_t number1;  /*   0 */
    char text[100];   /*   4 */
    int32_t number2;  /* 104 */
    int32_t number3;  /* 108 */
} KqImageUpdateConfig;

/* GetTabConectados's table. 8196 bytes. Entry k is terminal k + 1, 0 where there is none. */
typedef struct KqConnectedTable {
    int32_t number[KQ_MAX_TERMINALS];    /*    0: k + 1, or 0 */
    uint32_t address[KQ_MAX_TERMINALS];  /* 4096: IPv4, network byte order, or 0 */
    int32_t count;                       /* 8192: terminals connected */
} KqConnectedTable;

/* kq_gettermconectados's list. 47108 bytes. Entry k is terminal k + 1, zeros where there is none. */
typedef struct KqTerminalList {
    char text[KQ_MAX_TERMINALS][34];     /*     0: the identifier text (kq_getuid's uidText), cut to 32 */
    int32_t number[KQ_MAX_TERMINALS];    /* 34816: k + 1, or 0 */
    uint32_t address[KQ_MAX_TERMINALS];  /* 38912: IPv4, network byte order */
    int32_t model[KQ_MAX_TERMINALS];     /* 43008: model number */
    int32_t count;                       /* 47104: terminals counted */
} KqTerminalList;

/* The layouts above are the wire's and the export set's: a compiler that lays them out
 * otherwise cannot build against this header. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define KQ_LAYOUT_CHECK(record, condition) static_assert(condition, #record " has the wire's layout")
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KQ_LAYOUT_CHECK(record, condition) _Static_assert(condition, #record " has the wire's layout")
#else
#define KQ_LAYOUT_CHECK(record, condition) typedef char kq_layout_of_##record[(condition) ? 1 : -1]
#endif
KQ_LAYOUT_CHECK(KqTextRecord, sizeof(KqTextRecord) == 170 && offsetof(KqTextRecord, font) == 132 &&
                                  offsetof(KqTextRecord, height) == 168);
KQ_LAYOUT_CHECK(KqConfigRecord, sizeof(KqConfigRecord) == 222 && offsetof(KqConfigRecord, number1) == 52 &&
                                    offsetof(KqConfigRecord, text4) == 184 && offsetof(KqConfigRecord, number3) == 218);
KQ_LAYOUT_CHECK(KqWifiRecord, sizeof(KqWifiRecord) == 100 && offsetof(KqWifiRecord, number3) == 28 &&
                                  offsetof(KqWifiRecord, text2) == 36);
KQ_LAYOUT_CHECK(KqSerialConfigRecord, sizeof(KqSerialConfigRecord) == 12 && offsetof(KqSerialConfigRecord, ten) == 10);
KQ_LAYOUT_CHECK(KqImageUpdateConfig, sizeof(KqImageUpdateConfig) == 112 && offsetof(KqImageUpdateConfig, number2) == 104);
KQ_LAYOUT_CHECK(KqConnectedTable, sizeof(KqConnectedTable) == 8196 && offsetof(KqConnectedTable, count) == 8192);
KQ_LAYOUT_CHECK(KqTerminalInfo, sizeof(KqTerminalInfo) == 56 && offsetof(KqTerminalInfo, identifier) == 24);
KQ_LAYOUT_CHECK(KqTerminalList, sizeof(KqTerminalList) == 47108 && offsetof(KqTerminalList, model) == 43008 &&
                                    offsetof(KqTerminalList, count) == 47104);

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
/* Appends the unique identifier as text (00:1A:2B:3C:4D:5E, 17 characters and a zero) to the zero-ended
 * text: text needs room for strlen(text) + 18 bytes. Copies the identifier's text, KQ_UID_TEXT_BYTES
 * bytes as the terminal sent them, to uidText: zero-ended when shorter, with no zero when the
 * terminal used all 32 (read it as at most 32 characters). 1. Fail 0. */
KQ_API int32_t KQ_CALL kq_getuid(int32_t terminal, char *text, void *uidText);
/* The 8-byte SC block to sc. 1. Fail 0. */
KQ_API int32_t KQ_CALL kq_getsc(int32_t terminal, void *sc);
/* The identification word: b0 terminal version, b1 b2 model number (b1 x 256 + b2). Fail 0. */
KQ_API int32_t KQ_CALL kq_getident(int32_t terminal);
/* The last status word of port 0 (port 0) or port 1 (any other port) to status. 1. Fail 0. */
KQ_API int32_t KQ_CALL kq_sergetstatus(int32_t terminal, int32_t port, int16_t *status);
/* Pops the newest answer event of the lowest-numbered terminal that has one: its number (on a thread that
 * addresses by id: its id), code, value and how many answers that terminal still holds. 1, or 0 when no terminal has one. */
KQ_API unsigned char KQ_CALL kq_TemResposta(int32_t *terminal, unsigned char *code, int32_t *value, int32_t *count);
/* The value stored in answer slot index (0 … 19, popped or not). Index -1 gives no value but the index of the newest
 * answer held (how many are held, minus 1), -1 when none. Fail -1. */
KQ_API int32_t KQ_CALL kq_GetResposta(int32_t terminal, int32_t index);

/* ---- Configuration records --------------------------------------------------------- */

/* Builds a configuration record (addresses converted like kq_inet_addr; texts cut to 31, 99, 29 and 29
 * characters) and sends it with kq_sendconfig. Its result. */
KQ_API int32_t KQ_CALL SendConfig(int32_t terminal, const char *address1, const char *address2,
                                  const char *address3, const char *address4, const char *address5,
                                  const char *text1, int32_t number1, const char *text2, const char *text3,
                                  const char *text4, int32_t number2, int32_t number3);
/* Pops the newest configuration record of the lowest-numbered terminal that has one and unpacks it: its number (or
 * id, as for kq_TemResposta), addresses as dotted texts (16 bytes each), texts into 32, 100, 30 and 30 bytes, the last two numbers' low bytes. 1, or 0. */
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
 * most 236 colours: palette entries past those the picture uses are black (0, 0, 0), and no
 * pixel uses them.
 * A picture file of more than KQ_PICTURE_MAX_BYTES returns 0 unread; a picture decoded into more
 * than KQ_PICTURE_MAX_PIXELS (e.g. 8192 x 4096) returns 0 before it is decoded, its size read from
 * the file's header. A JPEG is decoded at 1/2, 1/4 or 1/8 scale when its place on the screen needs
 * no more pixels, and counts at that scale. Besides the file and the decoded pixels, a decoder may
 * hold at most KQ_PICTURE_MAX_DECODE_BYTES (64 MiB): a progressive JPEG (or one whose colours come in
 * separate scans) keeps 2 bytes per sample of the whole picture whatever the scale, so one over that
 * (e.g. 6000 x 6000 in grey, 4:2:0 colour over 22 million pixels) returns 0 before it is decoded, and
 * kq_lastfailure says how much it would need. One conversion of a bmp, jpg or ico file therefore takes
 * at most the file's size, 96 MiB of pixels (3 x KQ_PICTURE_MAX_PIXELS), KQ_PICTURE_MAX_DECODE_BYTES and
 * about 2 MiB for the screen and its colours: under 170 MiB plus the file; a JPEG decoded at a reduced
 * scale takes far fewer pixels. bmp, jpg and ico files are decoded by the library's own code (JPEG
 * through libjpeg-turbo) on Linux and Windows alike, so a file gives the same image, byte for byte, on
 * both; a JPEG's EXIF orientation is applied (the picture is fitted as it shows, turned or mirrored).
 * A file that ends before its picture does (a BMP short of rows, a JPEG without its end marker, an
 * icon short of an image) returns 0 and sends nothing, in every format. */
#define KQ_PICTURE_MAX_BYTES 268435456
#define KQ_PICTURE_MAX_PIXELS 33554432
#define KQ_PICTURE_MAX_DECODE_BYTES 67108864

/* Metafiles ("wmf", "emf") are played as Windows plays them: a placeable WMF maps its header's box
 * onto its place on the screen (its records may set their own window, flipped or not); a WMF without
 * that header is played one logical unit to one pixel and is as large as what its records draw; an EMF
 * maps its header's frame onto its place. A metafile's size (frame, box, or what its records draw)
 * only places it: it is drawn at the screen's size, so any size up to 2^31 - 1 pixels a side is taken.
 * Before anything is drawn the whole file is read, the same way on Linux and Windows, and it returns
 * 0 on both when it has more than KQ_METAFILE_MAX_RECORDS records, when a record reaches past the
 * file's end, when the end record is missing, or when a record's own counts, offsets or sizes reach
 * past the record (points, polygons, characters and their spacing, a bitmap's header, colours and
 * rows, a region's rectangles, a palette's entries), a record names an object past the file's object
 * table, a brush names its bitmap by address, or a bitmap record claims more than
 * KQ_PICTURE_MAX_PIXELS. Records of kinds not known are skipped. On Windows
 * GDI then plays the file; on Linux the library plays it itself (texts in the font fontconfig chooses
 * for the face name), and one play may spend at most KQ_METAFILE_MAX_WORK units of work: a record, a
 * point, a pixel of a shape's edges and a pixel of a bitmap record cost one unit each, a character
 * four. A file that needs more returns 0 (on Linux only: the one answer the platforms may differ in). That
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
/* (kq_convertimgfromfile, with the extensions after kq_startserverex, converts once for many terminals.) */

/* ---- Files and media configuration ------------------------------------------------- */

/* The largest file a terminal's answer can leave for kq_getfile: a buffer of this many bytes always
 * suffices. A larger answer is read and dropped (notification 98 with extra value 0). An answer must
 * arrive within 30 s + 1 s per 64 KiB of what may be kept of it, never pausing 15 s; one that does
 * not ends the connection. */
#define KQ_GETFILE_MAX_BYTES 2400000
/* The files all terminals together keep waiting for kq_getfile: at most this many bytes. An answer
 * that would pass it is read and dropped like one too large (notification 98, extra value 0); a file
 * collected with kq_getfile, or whose terminal left, gives its bytes back. */
#define KQ_HELD_FILES_MAX_BYTES 67108864

/* Sends size bytes from data as file name (at most 127 characters) on the terminal, code 99; size,
 * -1 when a write failed, -2 when the send gate stayed busy, 0 when no terminal or nothing was sent. */
KQ_API int32_t KQ_CALL kq_sendfileptr(int32_t terminal, const char *name, const char *data, uint32_t size);
/* Sends the local file at path whole as file name; as kq_sendfileptr, also 0 when it cannot be read. */
KQ_API int32_t KQ_CALL kq_sendfile(int32_t terminal, const char *path, const char *name);
/* Starts a worker that sends the file and writes 0, the percentage sent, and -1 at its end into the
 * aligned word progress (may be null); 1 when started, -1 when no terminal or one already runs for it.
 * The -1 comes at the end whatever the outcome, and a host polling the word may never see 100: ask
 * kq_transferoutcome whether every byte was written. */
KQ_API int32_t KQ_CALL kq_sendfileStatus(int32_t terminal, const char *path, const char *name, int32_t *progress);
/* How a terminal's last kq_sendfileStatus transfer ended, the results of kq_transferoutcome. */
#define KQ_TRANSFER_NONE 0    /* none was started for the terminal (or it was forgotten, see below) */
#define KQ_TRANSFER_RUNNING 1 /* its worker still runs */
#define KQ_TRANSFER_WHOLE 2   /* every byte of the file was written to the connection */
#define KQ_TRANSFER_FAILED 3  /* it ended short, or never began; kq_lastfailure says why */
/* The outcome of the terminal's last transfer worker, with the bytes written so far and the file's
 * size (either pointer may be null); -1 when the number names no terminal. By id (kq_addressby) a
 * terminal that has left is still answered for: the last 4096 outcomes are kept, running ones always.
 * Set as the worker ends, before the progress word turns -1. */
KQ_API int32_t KQ_CALL kq_transferoutcome(int32_t terminal, uint32_t *bytesSent, uint32_t *fileSize);
/* Sends a font file as "FONTS_DIR/" and its file name (after the last slash or backslash); as kq_sendfile. */
KQ_API int32_t KQ_CALL kq_sendfontfile(int32_t terminal, const char *path);
/* Asks a terminal of version 32 or above for file name (code 97; the answer is data notification 98);
 * 1 when sent, -1 when the write failed or below version 32, -2 when the send gate stayed busy, 0 when no terminal. */
KQ_API int32_t KQ_CALL kq_reqfile(int32_t terminal, const char *name);
/* Collects the file received last: name (KQ_FILE_NAME_BYTES), size, and its bytes into data. The size is not
 * known before the call: data must have room for KQ_GETFILE_MAX_BYTES whatever file was asked for, since the terminal
 * chooses what it answers (allocate it once, not on the stack);
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
 * passed over): number (or id, as for kq_TemResposta), port, bytes (256-byte buffer), length. Writes 0 to length first. 1, or 0 when none. */
KQ_API unsigned char KQ_CALL GetSerial(int32_t *terminal, int32_t *source, void *buffer, int32_t *length);
/* Pops the newest card read of the lowest-numbered terminal that has one: number (or id, as for kq_TemResposta), second text (128 bytes), mask
 * (1: first text present, 2: second text present). 1, or 0 when none. */
KQ_API unsigned char KQ_CALL GetLEC(int32_t *terminal, char *secondText, int32_t *mask);
/* Pops the newest key of any terminal: the key, and the connection handle of the terminal that sent it (on a
 * thread that addresses by id: that terminal's id). 1, or 0. */
KQ_API unsigned char KQ_CALL Get_KBD_char(int32_t *handle, unsigned char *key);

/* ---- Typed records ------------------------------------------------------------------
 * The exports above take their records as `void *`, as written, so a record of the wrong
 * kind compiles unseen (kq_getconfig into a KqWifiRecord writes 222 bytes into 100). These
 * take each record as its own type and call the export: a wrong record is a compile error
 * in C++, and in C an incompatible-pointer-types diagnostic (an error with
 * -Werror=incompatible-pointer-types, the default from GCC 14 and clang 16). They are in
 * this header only (not exports): other languages declare the records' types themselves. */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define KQ_TYPED static inline
#elif defined(__GNUC__)
#define KQ_TYPED static __inline__
#else
#define KQ_TYPED static
#endif
#ifdef __cplusplus
#define KQ_RECORD_CAST(type, pointer) static_cast<type *>(pointer)
#else
#define KQ_RECORD_CAST(type, pointer) (type *)(pointer)
#endif
KQ_TYPED int32_t kq_sendtextrecord(int32_t terminal, const KqTextRecord *text) { return kq_sendtext(terminal, text); }
KQ_TYPED int32_t kq_sendconfigrecord(int32_t terminal, const KqConfigRecord *config) {
    return kq_sendconfig(terminal, config);
}
KQ_TYPED int32_t kq_getconfigrecord(int32_t terminal, KqConfigRecord *config) { return kq_getconfig(terminal, config); }
KQ_TYPED int32_t kq_sendwifirecord(int32_t terminal, const KqWifiRecord *wifi) { return kq_sendconfigwifi(terminal, wifi); }
KQ_TYPED int32_t kq_getwifirecord(int32_t terminal, KqWifiRecord *wifi) { return kq_getconfigwifi(terminal, wifi); }
KQ_TYPED int32_t kq_sendserialrecord(int32_t terminal, int32_t port, const KqSerialConfigRecord *settings) {
    return kq_sendconfigserial(terminal, port, settings);
}
KQ_TYPED int32_t kq_sendimageupdaterecord(int32_t terminal, KqImageUpdateConfig *config) {
    return kq_sendimageupdate(terminal, config);
}
KQ_TYPED int32_t kq_getimageupdaterecord(int32_t terminal, KqImageUpdateConfig *config) {
    return kq_getimageupdateconfig(terminal, config);
}
KQ_TYPED KqConnectedTable *kq_connectedtable(KqConnectedTable *table) {
    return KQ_RECORD_CAST(KqConnectedTable, GetTabConectados(table));
}
KQ_TYPED KqTerminalList *kq_terminallist(KqTerminalList *list) {
    return KQ_RECORD_CAST(KqTerminalList, kq_gettermconectados(list));
}
#undef KQ_RECORD_CAST
#undef KQ_TYPED

#ifdef __cplusplus
}
#endif

#endif /* KS318_H */
