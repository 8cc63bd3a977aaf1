/*
 * The smallest KS318 host: starts the server on the loopback address and any
 * free port, says where it listens and which library version answers, and
 * stops. Build it against an installed KS318 with CMake (examples/CMakeLists.txt)
 * or with pkg-config:
 *
 *     cc hello.c -o hello $(pkg-config --cflags --libs ks318)
 */
#include <stdio.h>

#include <ks318.h>

int main(void) {
    /* Nobody is told of terminals here: a target whose functions are null. */
    KqHostTarget nobody = {0};
    if (!kq_startserverex(&nobody, 1, 2, "127.0.0.1", 0)) {
        fprintf(stderr, "hello: the server did not start\n");
        return 1;
    }
    printf("KS318 version %u listening on 127.0.0.1:%d\n", (unsigned)kq_version(), (int)kq_getserverport());
    if (kq_finishserver() != 0) {
        fprintf(stderr, "hello: the server did not stop\n");
        return 1;
    }
    return 0;
}
