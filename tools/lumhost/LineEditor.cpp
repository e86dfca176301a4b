#include "tools/lumhost/LineEditor.h"

CLineEditor::Result CLineEditor::Key(const KEY_EVENT_RECORD& key, std::wstring& line)
{
    if (!key.bKeyDown)
        return Result::None;
    const wchar_t c = key.uChar.UnicodeChar;
    // A terminal sends Enter as CR (sometimes LF) and Backspace as DEL or Ctrl+H.
    if (key.wVirtualKeyCode == VK_RETURN || c == L'\r' || c == L'\n')
    {
        line.swap(m_text);
        m_text.clear();
        return Result::Completed;
    }
    if (key.wVirtualKeyCode == VK_BACK || c == L'\b' || c == 0x7F)
    {
        if (m_text.empty())
            return Result::None;
        m_text.pop_back();
        // A character beyond the basic plane goes as a whole.
        if (!m_text.empty() && IS_HIGH_SURROGATE(m_text.back()))
            m_text.pop_back();
        return Result::Changed;
    }
    if (key.wVirtualKeyCode == VK_ESCAPE || c == 0x1B)
    {
        if (m_text.empty())
            return Result::None;
        m_text.clear();
        return Result::Changed;
    }
    if (c == L'\t')
    {
        if (m_text.size() >= kMaxChars)
            return Result::None;
        m_text += L' ';
        return Result::Changed;
    }
    if (c < 0x20 || m_text.size() >= kMaxChars)
        return Result::None;
    m_text += c;
    return Result::Changed;
}
