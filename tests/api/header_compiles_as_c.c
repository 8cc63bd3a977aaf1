/* The public header is plain C: this file only has to compile. */
#include "ks318.h"

int ks318_header_compiles_as_c(void) {
    KqHostTarget target = {0, 0, 0};
    return target.context == 0;
}
