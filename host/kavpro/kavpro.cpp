// Stand-in for the host's library: the four calls the driver imports, each
// handed to the recorder.
#include <cstdarg>
#include <cstdio>

#include "host/kavpro/kavprorec.h"

#if defined(_WIN32)
#define KAVPRO_API __declspec(dllexport)
#else
#define KAVPRO_API __attribute__((visibility("default")))
#endif

extern "C" {

KAVPRO_API int err(int level, const char* format, ...) {
    if (level < KavRecMinLevel()) return 0;
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format ? format : "", args);
    va_end(args);
    KavRecLogLine(level, text);
    return 0;
}

KAVPRO_API int KavMkClient(const char* name, int a, int b, unsigned char* clientId) {
    (void)a;
    (void)b;
    if (KavRecMkClientFails()) {
        KavRecRecord(KAVREC_MKCLIENT, -1, name);
        return 1;
    }
    if (clientId) *clientId = 7;
    KavRecRecord(KAVREC_MKCLIENT, 7, name);
    return 0;
}

KAVPRO_API int KavGetKavproVer(unsigned char clientId, unsigned short* version, char* text) {
    if (version) *version = KavRecVersion();
    if (text) std::snprintf(text, 100, "stand-in host library %u", KavRecVersion());
    KavRecRecord(KAVREC_GETVER, clientId, "");
    return KavRecVersion();
}

KAVPRO_API int KavRmClient(unsigned char clientId) {
    KavRecRecord(KAVREC_RMCLIENT, clientId, "");
    return 0;
}

} // extern "C"
