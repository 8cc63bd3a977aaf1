#include "tests/soak/soak_host_calls.h"

#include <cstring>
#include <vector>

#include "ks318.h"

namespace ks318::test {

int SoakHostCalls::number() {
    switch (pick(10)) {
    case 0: return -1;
    case 1: return 0;
    default: return 1 + pick(terminals_ + 2);
    }
}

void SoakHostCalls::callOne() {
    static const std::vector<std::uint8_t> record(300, 0x41);
    std::uint8_t buffer[256];
    char text[128], second[128];
    std::int32_t a = 0, b = 0, c = 0;
    unsigned char byte = 0;
    const int n = number();
    switch (pick(24)) {
    case 0: kq_sendlive(n); break;
    case 1: kq_reqconfig(n); break;
    case 2: kq_sendconfig(n, record.data()); break;
    case 3: kq_sendtext(n, record.data()); break;
    case 4: kq_fillscreen(n, pick(256)); break;
    case 5: kq_writeserial(n, pick(2), 10, record.data()); break;
    case 6: kq_setvolume(n, pick(100)); break;
    case 7: kq_pedevolume(n); break;
    case 8: kq_ShowLocalMedia(n, "clip.mp4"); break;
    case 9: kq_serreqstatus(n, pick(2)); break;
    case 10: kq_getserial(n, &a, buffer); break;
    case 11: kq_getmag(n, text, second); break;
    case 12: kq_getconfig(n, buffer); break;
    case 13: kq_TemResposta(&a, &byte, &b, &c); break;
    case 14: kq_GetResposta(n, pick(22) - 1); break;
    case 15: GetSerial(&a, &b, buffer, &c); break;
    case 16: GetLEC(&a, text, &b); break;
    case 17: Get_KBD_char(&a, &byte); break;
    case 18: {
        std::vector<std::uint8_t> list(47108);
        kq_gettermconectados(list.data());  // also drops terminals still identifying
        break;
    }
    case 19: {
        std::vector<std::uint8_t> table(8196);
        GetTabConectados(table.data());
        break;
    }
    case 20: kq_ipfromid(n); break;
    case 21: text[0] = '\0'; kq_getuid(n, text, buffer); break;
    case 22: EnviaTexto(n, 1, 2, "soak", "test", 3, 4); break;
    default: SendConfig(n, "10.0.0.1", "10.0.0.2", "x", "", "1.2.3.4", "a", 1, "b", "c", "d", 2, 3); break;
    }
}

}  // namespace ks318::test
