#include "tests/soak/soak_host_calls.h"

#include <cstring>
#include <vector>

#include "ks318.h"

namespace ks318::test {

SoakHostCalls::SoakHostCalls(unsigned seed, int terminals, const std::string &workDir)
    : random_(seed), terminals_(terminals), picture_(workDir + "/picture.bmp"), file_(workDir + "/file.bin"),
      mediaList_(workDir + "/medias" + std::to_string(seed) + ".txt"), palette_(768, 7), pixels_(130560, 3),
      received_(1 << 20) {}

// Image and file exports: the heaviest calls, a few at a time.
void SoakHostCalls::callImageOrFile(int n) {
    char name[128];
    std::int32_t size = 0;
    switch (pick(12)) {
    case 0: kq_sendimage(n, palette_.data(), pixels_.data()); break;
    case 1: kq_sendimageblock(n, pick(300), pick(200), 16, 8, pixels_.data()); break;
    case 2: kq_sendimgfromfile(n, picture_.c_str()); break;
    case 3: kq_enviapaleta(n, palette_.data()); break;
    case 4: kq_reqimageupdate(n); break;
    case 5: kq_getimageupdateconfig(n, name); break;
    case 6: kq_sendfileptr(n, "soak/direct.bin", reinterpret_cast<const char *>(pixels_.data()), 3000); break;
    case 7: kq_sendfileStatus(n, file_.c_str(), "soak/worker.bin", nullptr); break;
    case 8: kq_reqfile(n, pick(2) ? "soak/direct.bin" : "soak/absent.bin"); break;
    case 9: kq_getfile(n, name, &size, received_.data()); break;
    case 10: kq_pedeallmedias(n); break;
    default: {
        std::vector<char> list(255 * 256);
        kq_getallmedias(n, list.data());
        kq_savemedias(list.data(), mediaList_.c_str());
        break;
    }
    }
}

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
    if (pick(40) == 0) {
        callImageOrFile(n);
        return;
    }
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
