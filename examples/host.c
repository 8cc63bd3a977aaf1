/*
 * A complete KS318 host: starts the server, prints every terminal that connects
 * and leaves (by its id), shows a picture on each new terminal, writes every key
 * pressed on a terminal back onto that terminal's screen, and stops on Ctrl-C or
 * SIGTERM.
 *
 *     host [-b ADDRESS] [-p PORT] [PICTURE]
 *
 * ADDRESS defaults to 127.0.0.1, PORT to 16510 (0: any free port). PICTURE is a
 * .bmp, .jpg, .ico, .wmf or .emf file; without one the host draws its own.
 * Try it with simulated terminals:  ks318-term --port PORT --count 2 --model 318,320
 */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <ks318.h>

static const char *picture_file;  /* null: show the host's own picture */
static unsigned char palette[KQ_PALETTE_BYTES];
static unsigned char picture_318[KQ_PIXELS_318], picture_other[KQ_PIXELS_OTHER];
static unsigned char black_line[480 * 24];  /* palette entry 0 */
static volatile sig_atomic_t stop_requested;

/* The id of the terminal a notification is about. Terminal numbers move when a
 * terminal leaves; an id stays with its terminal, so the host keeps no table and
 * renumbers nothing. Handlers run on library threads, which address terminals by
 * number until they ask otherwise: this one now takes ids (a cheap call). */
static int32_t notified_terminal(uint32_t message, uint32_t wParam, uint32_t lParam) {
    kq_addressby(KQ_ADDRESS_BY_ID);
    return kq_notifiedterminal(message, wParam, lParam);
}

/* 318: a 320 x 240 screen; every other model 480 x 272. */
static int is_small_screen(int32_t terminal) { return KQ_IDENT_MODEL(kq_getident(terminal)) == 318; }

/* Connect and disconnect: called on the terminal's own connection thread, first
 * and last; they must return promptly. */
static void on_link(void *context, uint32_t message, uint32_t address, uint32_t lParam) {
    (void)context;
    int32_t terminal = notified_terminal(message, address, lParam);
    char dotted[16];
    KQinet_ntoa(address, dotted);
    if (KQ_LINK_IS_CONNECT(lParam)) {
        int32_t ident = kq_getident(terminal);
        printf("terminal %d connected from %s: model %d, terminal version %d\n", (int)terminal, dotted,
               (int)KQ_IDENT_MODEL(ident), (int)KQ_IDENT_VERSION(ident));
    } else {
        printf("terminal %d (%s) disconnected\n", (int)terminal, dotted);
    }
}

/* The identifier answers the handshake's request, right after connect: the
 * terminal is greeted and identified, and a data handler may take its time. */
static void on_identified(int32_t terminal) {
    char uid[64] = "", name[KQ_UID_TEXT_BYTES + 1] = "";
    kq_getuid(terminal, uid, name);  /* uid appended as 00:1A:2B:3C:4D:5E; name: 32 bytes, maybe unended */
    printf("terminal %d identifier %s \"%s\"\n", (int)terminal, uid, name);
    int32_t sent = picture_file != NULL
                       ? kq_sendimgfromfile(terminal, picture_file)
                       : kq_sendimage(terminal, palette, is_small_screen(terminal) ? picture_318 : picture_other);
    if (sent != 1) printf("terminal %d: no picture shown (%d): %s\n", (int)terminal, (int)sent, kq_lastfailure());
}

/* A key: cleared bottom line, then the key on it in palette entry 15 (white in
 * this host's palette; a picture file brings a palette of its own). */
static void on_key(int32_t terminal, unsigned key) {
    int small = is_small_screen(terminal);
    int width = small ? 320 : 480, height = small ? 240 : 272;
    KqTextRecord text = {.x = 8, .y = (int16_t)(height - 20), .colour = 15, .height = 16};
    if (key >= 0x20 && key < 0x7F)
        snprintf(text.text, sizeof text.text, "key '%c' (%u)", (char)key, key);
    else
        snprintf(text.text, sizeof text.text, "key %u", key);
    printf("terminal %d %s\n", (int)terminal, text.text);
    kq_sendimageblock(terminal, 0, height - 24, width, 24, black_line);
    kq_sendtext(terminal, &text);
}

/* Data: sent on the terminal's connection thread, which reads nothing more from
 * the terminal until this returns. */
static void on_data(void *context, uint32_t message, uint32_t code, uint32_t lParam) {
    (void)context;
    int32_t terminal = notified_terminal(message, code, lParam);
    if (code == KQ_NOTIFY_UID) on_identified(terminal);
    if (code == KQ_NOTIFY_KEY) on_key(terminal, KQ_DATA_EXTRA(lParam)); /* the key store is not needed */
}

/* The host's own picture: entry 0 black, 15 white, 16-231 a 6 x 6 x 6 colour
 * cube (as in the common 256-colour terminal palette), and bands of the cube. */
static void draw_picture(unsigned char *pixels, int width, int height) {
    static const unsigned char level[6] = {0, 95, 135, 175, 215, 255};
    memset(palette + 15 * 3, 255, 3);
    for (int cube = 0; cube < 216; ++cube) {
        unsigned char *rgb = palette + (16 + cube) * 3;
        rgb[0] = level[cube / 36], rgb[1] = level[cube / 6 % 6], rgb[2] = level[cube % 6];
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels[y * width + x] = (unsigned char)(16 + 36 * (x * 6 / width) + 6 * (y * 6 / height) + 3);
}

static void on_stop_signal(int signal) {
    (void)signal;
    stop_requested = 1;
}

int main(int argc, char **argv) {
    const char *bind_address = "127.0.0.1";
    long port = KQ_DEFAULT_PORT;
    for (int option; (option = getopt(argc, argv, "b:p:")) != -1;) {
        char *end = NULL;
        if (option == 'b') bind_address = optarg;
        if (option == 'p') port = strtol(optarg, &end, 10);
        if (option == '?' || (end != NULL && (end == optarg || *end != '\0' || port < 0 || port > 65535))) {
            fprintf(stderr, "usage: %s [-b ADDRESS] [-p PORT] [PICTURE]\n", argv[0]);
            return 2;
        }
    }
    picture_file = optind < argc ? argv[optind] : NULL;
    setvbuf(stdout, NULL, _IOLBF, 0);  /* whole lines, also into a pipe */
    draw_picture(picture_318, 320, 240);
    draw_picture(picture_other, 480, 272);

    /* Ctrl-C and SIGTERM are blocked before the server starts, so its threads never
     * take them; main takes them in sigsuspend. */
    struct sigaction action = {.sa_handler = on_stop_signal};
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    sigset_t stop_signals, others;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &others);

    KqHostTarget target = {NULL, on_link, on_data};  /* message numbers 1 and 2: only a window needs them */
    if (!kq_startserverex(&target, 1, 2, bind_address, (int32_t)port)) {
        fprintf(stderr, "host: cannot listen on %s port %ld: %s\n", bind_address, port, kq_lastfailure());
        return 1;
    }
    printf("host: listening on %s port %d\n", bind_address, (int)kq_getserverport());

    while (!stop_requested) sigsuspend(&others);

    kq_finishserver();  /* returns once every terminal's disconnect is handled (at most about 5.4 s) */
    printf("host: stopped\n");
    return 0;
}
