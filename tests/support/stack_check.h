// Calls a function through a pointer of its declared type and, on 32-bit x86,
// proves the calling convention: after a __stdcall function returns, the stack
// pointer is back where it was before the arguments were pushed (the callee
// removed them); a __cdecl function would leave them, and a mismatch between
// the two corrupts the caller's stack on the target machines while x86_64,
// which has one convention, shows nothing.
//
// CallChecked(fn, &moved, args...) lays the arguments out as the x86 stack
// holds them (each rounded up to 4 bytes, the first at the lowest address),
// calls fn through a small assembly routine and stores in *moved how many
// bytes the stack pointer moved across the call: 0 for a callee that removes
// its arguments. On x86_64 it calls fn directly and stores 0.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#if defined(__i386__)
extern "C" std::uint32_t NorvexCallWithStackImage(const void* function, const void* image, std::uint32_t cbImage,
                                                  std::int32_t* moved);
#endif

// True where the stack movement is measured.
constexpr bool kStackMovementMeasured =
#if defined(__i386__)
    true;
#else
    false;
#endif

namespace stack_check_detail
{

template <typename T>
struct FitsInEax : std::integral_constant<bool, sizeof(T) <= 4>
{
};
template <>
struct FitsInEax<void> : std::true_type
{
};

inline void Append(std::vector<unsigned char>&)
{
}

template <typename First, typename... Rest>
void Append(std::vector<unsigned char>& image, const First& first, const Rest&... rest)
{
    static_assert(std::is_trivially_copyable<First>::value, "arguments are copied as raw bytes");
    const size_t at = image.size();
    image.resize(at + (sizeof(First) + 3) / 4 * 4, 0);
    std::memcpy(image.data() + at, &first, sizeof(First));
    Append(image, rest...);
}

} // namespace stack_check_detail

template <typename Result, typename... Params, typename... Args>
Result CallChecked(Result(WINAPI* function)(Params...), std::int32_t* moved, Args... args)
{
    static_assert(sizeof...(Params) == sizeof...(Args), "one argument per parameter");
#if defined(__i386__)
    static_assert(stack_check_detail::FitsInEax<Result>::value, "results come back in eax");
    std::vector<unsigned char> image;
    stack_check_detail::Append(image, static_cast<Params>(args)...);
    const std::uint32_t eax = NorvexCallWithStackImage(reinterpret_cast<const void*>(function), image.data(),
                                                       static_cast<std::uint32_t>(image.size()), moved);
    if constexpr (std::is_void<Result>::value)
    {
        (void)eax;
    }
    else
    {
        Result result;
        std::memcpy(&result, &eax, sizeof(Result));
        return result;
    }
#else
    *moved = 0;
    return function(static_cast<Params>(args)...);
#endif
}
