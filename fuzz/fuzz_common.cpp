#include "fuzz/fuzz_common.h"

#include "host/kavpro/kavprorec.h"

namespace zelfuzz {

void QuietHostLog() {
    static bool quiet = false;
    if (!quiet) {
        KavRecSetPrint(0);
        quiet = true;
    }
    KavRecClear();
}

int HostLogCount() {
    return KavRecCount();
}

} // namespace zelfuzz
