/* Recorder and controls of the stand-in host library.
 *
 * libkavpro (KAVPRO.dll) exports exactly the host's four calls and hands
 * every call to this recorder (libkavprorec / KAVPROREC.dll), which tests and
 * the command-line host link to read what the driver said and to steer the
 * answers of the version query. */
#ifndef KAVPROREC_H
#define KAVPROREC_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#ifdef KAVPROREC_BUILD
#define KAVREC_API __declspec(dllexport)
#else
#define KAVREC_API __declspec(dllimport)
#endif
#else
#define KAVREC_API __attribute__((visibility("default")))
#endif

/* Kinds of recorded calls. */
enum { KAVREC_ERR = 0, KAVREC_MKCLIENT = 1, KAVREC_GETVER = 2, KAVREC_RMCLIENT = 3 };

/* One recorded call: for KAVREC_ERR the level and the formatted text; for the
 * client calls `level` holds the client identifier and `text` the client name
 * (KavMkClient) or is empty. */
typedef struct KavRecEntry {
    int kind;
    int level;
    const char* text;
} KavRecEntry;

/* Called for every log line when set (for example to print it). */
typedef void (*KavRecSink)(int level, const char* text, void* context);

KAVREC_API void KavRecRecord(int kind, int level, const char* text);
KAVREC_API void KavRecClear(void);
KAVREC_API int KavRecCount(void);
/* Copies entry `index` (0 = oldest); returns 0 when there is no such entry.
 * The text stays valid until the next KavRecClear. */
KAVREC_API int KavRecGet(int index, KavRecEntry* entry);

/* Version number reported by KavGetKavproVer (default 820). */
KAVREC_API void KavRecSetVersion(unsigned short version);
KAVREC_API unsigned short KavRecVersion(void);
/* Non-zero: KavMkClient fails (returns 1) and fills nothing. */
KAVREC_API void KavRecSetMkClientFails(int fails);
KAVREC_API int KavRecMkClientFails(void);

/* Log lines below this level are dropped unformatted, as a host's own
 * filter drops them (default 0: every line is kept). */
KAVREC_API void KavRecSetMinLevel(int level);
KAVREC_API int KavRecMinLevel(void);

/* Log lines go to stderr as "[level] text" unless printing is turned off
 * (also by the environment variable KAVPRO_QUIET=1) or a sink is set. */
KAVREC_API void KavRecSetPrint(int on);
KAVREC_API void KavRecSetSink(KavRecSink sink, void* context);
KAVREC_API void KavRecLogLine(int level, const char* text);

#ifdef __cplusplus
}
#endif

#endif
