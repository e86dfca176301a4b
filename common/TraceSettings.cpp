#include "common/TraceSettings.h"

#include "common/ProductKeys.h"
#include "common/TraceWriter.h"

namespace
{
DWORD ReadDword(HKEY key, const wchar_t* name, DWORD fallback) noexcept
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value))
        return fallback;
    return value;
}

LONG OpenSettingsKey(CRegKey& key, REGSAM access) noexcept
{
    CRegKey root;
    const LONG result = root.Open(HKEY_LOCAL_MACHINE, kProductRootKey, KEY_READ);
    return result == ERROR_SUCCESS ? key.Open(root, kPluginSettingsKey, access) : result;
}

const wchar_t* LevelName(DWORD level) noexcept
{
    static const wchar_t* const names[] = {L"off", L"failures", L"decisions", L"detail"};
    return names[level > 3 ? 3 : level];
}
}  // namespace

void ApplyTraceSettings() noexcept
{
    CRegKey key;
    DWORD level = 0;
    DWORD size = 0;
    DWORD count = 0;
    if (OpenSettingsKey(key, KEY_READ) == ERROR_SUCCESS)
    {
        level = ReadDword(key, kTraceLevelValue, 0);
        size = ReadDword(key, kTraceFileSizeValue, 0);
        count = ReadDword(key, kTraceFileCountValue, 0);
    }
    if (level > 3)
        level = 3;
    CTraceWriter& writer = TheTraceWriter();
    writer.SetRotation(size, count);
    const DWORD previous = GetTraceLevel();
    if (level != 0)
        writer.Resume();
    SetTraceLevel(level);
    if (level != previous && level != 0)
        Trace(TraceSource::Host, TraceDecision::LevelChanged, nullptr, nullptr, nullptr, S_OK, L"%lu (%s), was %lu",
              static_cast<unsigned long>(level), LevelName(level), static_cast<unsigned long>(previous));
}

CTraceSettingsWatch::CTraceSettingsWatch() noexcept : m_event(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

void CTraceSettingsWatch::Refresh() noexcept
{
    ApplyTraceSettings();
    if (!m_event.IsValid())
        return;
    // Two tries: a settings key deleted since the last request cannot be watched any more, and the
    // root is watched instead until it is back.
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        // Watching the root: the settings key may have appeared since.
        if (!m_watchingSettingsKey)
        {
            CRegKey settings;
            if (OpenSettingsKey(settings, KEY_READ | KEY_NOTIFY) == ERROR_SUCCESS)
            {
                m_key.Attach(settings.Detach());
                m_watchingSettingsKey = true;
            }
            else if (!m_key.Get())
            {
                m_key.Open(HKEY_LOCAL_MACHINE, kProductRootKey, KEY_READ | KEY_NOTIFY);
            }
        }
        if (!m_key.Get())
            return;
        const DWORD filter = m_watchingSettingsKey ? REG_NOTIFY_CHANGE_LAST_SET
                                                   : REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
        if (RegNotifyChangeKeyValue(m_key, m_watchingSettingsKey ? FALSE : TRUE, filter, m_event.Get(), TRUE) ==
            ERROR_SUCCESS)
            return;
        Close();
    }
}

void CTraceSettingsWatch::Close() noexcept
{
    m_key.Close();
    m_watchingSettingsKey = false;
}
