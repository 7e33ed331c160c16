// The names a channel's initialization file is looked for under, in the
// order they are tried (each in the current folder): "<base>%02d.INT",
// "<base>%01d.INT", then "<base>.INT". The driver opens the first that
// exists; a host that prepares a folder for a channel writes the first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel {

constexpr char kInitFileBaseName[] = "ZELMR";
constexpr int kInitFileCandidates = 3;

// Composes candidate `index` (0 to kInitFileCandidates - 1) for `channel`
// into `name`; false for another index or when the name would not fit
// `size`, so that a cut name is never opened instead.
bool InitFileCandidate(int index, const char* baseName, int32_t channel, char* name, size_t size);

} // namespace zel
