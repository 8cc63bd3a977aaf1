/* The public header is plain C: this file has to compile (the header's layout
 * checks run in C too), and a host fills its records by name. */
#include <string.h>

#include "ks318.h"

int ks318_header_compiles_as_c(void) {
    KqHostTarget target = {0, 0, 0};
    KqTextRecord text;
    KqConfigRecord config;
    memset(&text, 0, sizeof text);
    memset(&config, 0, sizeof config);
    text.x = 10;
    text.colour = 15;
    strcpy(text.text, "hello");
    config.number3 = 7;
    return target.context == 0 && KQ_DATA_EXTRA(0x00350001u) == 0x35u && KQ_LINK_IS_CONNECT(0x00020001u) &&
           sizeof text == 170 && sizeof config == 222;
}
