// The host image's memset, memcpy and memmove, explicit or made by the
// compiler for structure copies, fills and loops, land here: the link
// wraps those names (-Wl,--wrap), and the model checks every pointer as
// the kernel's routines would meet it. The C library's own would let a
// wild pointer take the host process down.
#include "ntmodel/ntmodel.h"

#include <cstddef>

extern "C" {

void* __wrap_memset(void* destination, int value, size_t size)
{
    return ModelImageFill(destination, value, size);
}

void* __wrap_memcpy(void* destination, const void* source, size_t size)
{
    return ModelImageCopy(destination, source, size);
}

void* __wrap_memmove(void* destination, const void* source, size_t size)
{
    return ModelImageMove(destination, source, size);
}

}  // extern "C"
