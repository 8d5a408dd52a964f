// The host image's memset, memcpy and memmove, explicit or made by the
// compiler for structure copies and fills, are the kernel's: the link
// wraps those names (-Wl,--wrap) to land here, and the model checks every
// pointer as the kernel's routines would meet it. The C library's own
// would let a wild pointer take the host process down.
#include "ntmodel/ntmodel.h"

#include <cstddef>

extern "C" {

void* __wrap_memset(void* destination, int value, size_t size)
{
    return ModelMemset(destination, value, size);
}

void* __wrap_memcpy(void* destination, const void* source, size_t size)
{
    return ModelMemcpy(destination, source, size);
}

void* __wrap_memmove(void* destination, const void* source, size_t size)
{
    return ModelMemmove(destination, source, size);
}

}  // extern "C"
