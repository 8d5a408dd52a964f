// Fill and copy loops kept as loops, out of line in their own file so that
// no caller's build flags decide what becomes of them.
#include "driver/bytes.h"

// The cross build's -ffreestanding already keeps clang from turning these
// loops into memset/memcpy calls; the attribute states it here as well, so
// that the loops stay loops whatever the flags. The post-link gate checks
// the image for kernel calls on the report path. (The host build's calls
// would reach the C library, not the kernel.)
#if defined(__clang__)
#define NO_BLOCK_BUILTINS __attribute__((no_builtin("memset", "memcpy")))
#else
#define NO_BLOCK_BUILTINS
#endif

NO_BLOCK_BUILTINS
VOID ZeroBytes(PVOID Destination, SIZE_T Length)
{
    auto* bytes = static_cast<UCHAR*>(Destination);
    for (SIZE_T i = 0; i < Length; ++i) {
        bytes[i] = 0;
    }
}

NO_BLOCK_BUILTINS
VOID CopyBytes(PVOID Destination, const VOID* Source, SIZE_T Length)
{
    auto* target = static_cast<UCHAR*>(Destination);
    const auto* source = static_cast<const UCHAR*>(Source);
    for (SIZE_T i = 0; i < Length; ++i) {
        target[i] = source[i];
    }
}
