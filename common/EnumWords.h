#pragma once
#include <cstddef>

// The word of an enumerator, from a table written in the enum's order; `otherwise` for a value past
// the table (a number cast from outside). Beside each table a static_assert ties its length to the
// enum's last enumerator, so that an enumerator added without its word does not build.
template <typename Enum, size_t Count>
constexpr const wchar_t* EnumWord(Enum value, const wchar_t* const (&words)[Count], const wchar_t* otherwise) noexcept
{
    const auto index = static_cast<size_t>(value);
    return index < Count ? words[index] : otherwise;
}
