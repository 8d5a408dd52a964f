// Calling a model kernel routine with arguments taken from an emulated
// processor's registers and stack (the Microsoft x64 convention passes
// every argument in a 64-bit slot). Each routine of the export table gets
// one typed thunk, so the runner that executes the shipped image needs no
// knowledge of any routine's signature: it reads the slots, calls the
// thunk and puts the result in RAX.
#pragma once

#include "model/driver_call.h"
#include "ntmodel/ntmodel.h"

#include <cstdint>
#include <type_traits>
#include <utility>

namespace model {

using GuestThunk = uint64_t (*)(const uint64_t* slots);

namespace thunk {

template <typename T>
T FromSlot(uint64_t slot)
{
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(static_cast<uintptr_t>(slot));
    } else if constexpr (std::is_same_v<T, LARGE_INTEGER>) {
        // Eight-byte records travel by value in a register.
        LARGE_INTEGER value;
        value.QuadPart = static_cast<LONGLONG>(slot);
        return value;
    } else if constexpr (std::is_enum_v<T>) {
        return static_cast<T>(static_cast<std::underlying_type_t<T>>(slot));
    } else {
        // The callee reads only the low bits of a narrow argument; the rest
        // of the slot may hold anything.
        return static_cast<T>(slot);
    }
}

template <typename T>
uint64_t ToSlot(T value)
{
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value));
    } else if constexpr (std::is_enum_v<T>) {
        return static_cast<uint64_t>(static_cast<std::underlying_type_t<T>>(value));
    } else {
        return static_cast<uint64_t>(value);
    }
}

template <typename Function, Function Routine>
struct Thunk;

template <typename Result, typename... Arguments, Result (*Routine)(Arguments...)>
struct Thunk<Result (*)(Arguments...), Routine> {
    static constexpr unsigned Arity = sizeof...(Arguments);

    // A routine that faults ends the driver's call; the emulator learns it
    // from DriverCallEnding(), and the exception never crosses its frames.
    static uint64_t Call(const uint64_t* slots)
    {
        uint64_t result = 0;
        Guarded([&] { result = Invoke(slots, std::index_sequence_for<Arguments...>{}); });
        return result;
    }

private:
    template <size_t... Index>
    static uint64_t Invoke([[maybe_unused]] const uint64_t* slots, std::index_sequence<Index...>)
    {
        if constexpr (std::is_void_v<Result>) {
            Routine(FromSlot<Arguments>(slots[Index])...);
            return 0;
        } else {
            return ToSlot<Result>(Routine(FromSlot<Arguments>(slots[Index])...));
        }
    }
};

}  // namespace thunk

}  // namespace model
