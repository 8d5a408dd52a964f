// Fill and copy loops kept as loops. Kept out of line in their own file:
// inlined into a caller built without the attribute below, a loop could
// still be rewritten into a call there.
#include "driver/bytes.h"

// Stops clang from recognising the loops as memset/memcpy (the cross build
// is clang; the post-link gate checks the image for such calls on the
// report path). The host build's calls reach the C library, not the kernel.
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
