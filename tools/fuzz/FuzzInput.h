#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "tools/fuzz/FuzzTarget.h"

// Reads an input's bytes as the values a target needs, front to back. An exhausted input reads as
// zeros, so every byte string is a valid input.
class CFuzzInput
{
public:
    explicit CFuzzInput(const FuzzBytes& bytes) noexcept : m_bytes(bytes) {}

    bool AtEnd() const noexcept { return m_position >= m_bytes.size(); }
    uint8_t Byte() noexcept;
    uint16_t Word() noexcept;
    uint32_t Dword() noexcept;
    uint64_t Qword() noexcept;
    bool Flag() noexcept { return (Byte() & 1) != 0; }
    // 0 .. bound-1 (0 for a bound of 0).
    uint32_t Below(uint32_t bound) noexcept;
    // One of the words, chosen by the next byte.
    const std::wstring& Pick(const std::vector<std::wstring>& words) noexcept;

    // A text of raw UTF-16 units from the input (NULs and lone surrogates kept), at most maxLength
    // long. A length byte chooses short, medium or huge; a huge text repeats a piece of the input
    // (or one character) up to maxLength, so a few bytes stand for a 40,000-character path.
    std::wstring Text(size_t maxLength);
    // The rest of the input as UTF-16 units.
    std::wstring RestAsText();

private:
    const FuzzBytes& m_bytes;
    size_t m_position = 0;
};

// Appends a value to an input under construction, in the order CFuzzInput reads them back.
class CFuzzInputWriter
{
public:
    void Byte(uint8_t value) { m_bytes.push_back(value); }
    void Word(uint16_t value);
    void Dword(uint32_t value);
    // A short text in the form Text() reads.
    void Text(const std::wstring& text);
    void Raw(const std::wstring& text);
    FuzzBytes& Bytes() noexcept { return m_bytes; }

private:
    FuzzBytes m_bytes;
};
