#include "tools/fuzz/QueueFileTarget.h"

#include <windows.h>
#include "common/Path.h"
#include "common/Scoped.h"
#include "standins/ScratchFolder.h"
#include "notify/DelayQueueFile.h"
#include "tools/soak/SoakRandom.h"

namespace
{
const wchar_t kFileName[] = L"DbWexDelayQueue.dat";
const std::vector<std::wstring> kIds = {L"v1", L"{6F9619FF-8B86-D011-B42D-00C04FC964FF}", L"", L" ", L"id\x0000x", L"\xD800",
                                        L"\xDC00\xD800", L"\xFEFF"};
const std::vector<std::wstring> kClasses = {L"300", L"200", L"100", L"0", L"0x12C", L"0454", L"-1", L"abc", L" 300",
                                            L"99999999999999999999", L"", L"3\x0000" L"00", L"+0x"};
const std::vector<std::wstring> kEndings = {L"\r\n", L"\n", L"\r", L"\r\r\n", L"\n\r", L"", L"\r\n\r\n", L"\x2028", L"\x0085"};

void AppendText(FuzzBytes& bytes, const std::wstring& text)
{
    for (wchar_t ch : text)
    {
        bytes.push_back(static_cast<uint8_t>(ch));
        bytes.push_back(static_cast<uint8_t>(ch >> 8));
    }
}

bool WriteWhole(const std::wstring& path, const FuzzBytes& bytes)
{
    CScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file.IsValid() &&
           (bytes.empty() || WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

// The first NUL or TAB of the text, or with lineBreaks its first CR or LF, described; empty when
// it has none.
std::string FindBreak(const CString& text, bool lineBreaks)
{
    for (int i = 0; i < text.GetLength(); ++i)
    {
        const wchar_t ch = text.GetString()[i];
        if (ch == 0 || ch == L'\t' || (lineBreaks && (ch == L'\r' || ch == L'\n')))
            return "character " + std::to_string(static_cast<int>(ch)) + " at " + std::to_string(i) + " of " +
                   std::to_string(text.GetLength());
    }
    return {};
}
}  // namespace

std::string CQueueFileTarget::SetUp()
{
    m_scratch = std::make_unique<CScratchFolder>(L"lumfuzz-queue");
    m_folder = m_scratch->Folder() + L"\\";
    m_files.clear();
    for (const wchar_t* name : {L"clip.mpg", L"photo one.jpg", L"song.mp3"})
    {
        m_files.push_back(m_scratch->Write(name, "data"));
        if (m_files.back().empty())
            return "a media file cannot be written";
    }
    m_files.push_back(m_folder + L"folder");
    CreateDirectoryW(m_files.back().c_str(), nullptr);
    return {};
}

void CQueueFileTarget::TearDown()
{
    m_scratch.reset();
}

std::vector<FuzzBytes> CQueueFileTarget::Seeds()
{
    std::vector<FuzzBytes> seeds;
    const FuzzBytes mark = {0xFF, 0xFE};
    seeds.push_back({});
    seeds.push_back(mark);
    seeds.push_back({0xFF});
    for (size_t ending = 0; ending < kEndings.size(); ++ending)
    {
        FuzzBytes bytes = ending % 3 == 1 ? FuzzBytes() : mark;  // some without the mark
        for (size_t i = 0; i < m_files.size(); ++i)
            AppendText(bytes, kIds[i % 2] + L"\t" + kClasses[i % 3] + L"\t" + m_files[i] + kEndings[ending]);
        seeds.push_back(bytes);
    }
    // A huge line, a line with a NUL in its path, a path in its long form, a line with extra fields.
    FuzzBytes huge = mark;
    AppendText(huge, std::wstring(70000, L'i') + L"\t300\t" + m_files[0] + L"\r\n");
    seeds.push_back(huge);
    FuzzBytes odd = mark;
    AppendText(odd, L"n\t300\t" + m_files[0] + std::wstring(1, L'\0') + L"junk\r\nl\t200\t\\\\?\\" + m_files[1] +
                        L"\r\nx\t100\t" + m_files[2] + L"\textra\r\n");
    seeds.push_back(odd);
    return seeds;
}

bool CQueueFileTarget::Generate(CSoakRandom& random, FuzzBytes& input)
{
    input.clear();
    if (random.Percent(80))
        input = {0xFF, 0xFE};
    const uint32_t lines = random.Below(12);
    for (uint32_t i = 0; i < lines; ++i)
    {
        std::wstring line = kIds[random.Below(static_cast<uint32_t>(kIds.size()))];
        if (random.Percent(30))
            line += std::to_wstring(random.Next());
        line += L"\t" + kClasses[random.Below(static_cast<uint32_t>(kClasses.size()))] + L"\t";
        std::wstring path = m_files[random.Below(static_cast<uint32_t>(m_files.size()))];
        switch (random.Below(6))
        {
        case 0:
            path = L"\\\\?\\" + path;
            break;
        case 1:
            path += std::wstring(1, L'\0') + L"tail";
            break;
        case 2:
            path += std::wstring(random.Below(400), L'\\');
            break;
        case 3:
            path.insert(random.Below(static_cast<uint32_t>(path.size())), 1, static_cast<wchar_t>(0xD800 + random.Below(0x800)));
            break;
        default:
            break;
        }
        line += path;
        if (random.Percent(10))
            line += L"\t" + path;
        AppendText(input, line + kEndings[random.Below(static_cast<uint32_t>(kEndings.size()))]);
    }
    if (random.Percent(10))
        input.push_back(static_cast<uint8_t>(random.Next()));  // an odd byte at the end
    return true;
}

std::string CQueueFileTarget::Run(const FuzzBytes& input)
{
    if (!WriteWhole(m_folder + kFileName, input))
        return {};  // the folder is shared with nothing: a write that fails tells nothing of the loader

    std::string finding;
    size_t lines = 0;
    const HRESULT hr = LoadDelayQueueFile(CString(m_folder.c_str()), [&](const CString& id, LONG itemClass, const CString& path) {
        ++lines;
        if (!finding.empty())
            return S_OK;
        if (id.IsEmpty() || itemClass == 0)
            finding = "a line without an id or with class 0 was loaded";
        // Lines end only at CR LF: a lone CR or LF is part of an id, which a save writes back
        // as it was. No file is named with one.
        else if (!FindBreak(id, false).empty())
            finding = "a loaded id holds " + FindBreak(id, false);
        else if (!FindBreak(path, true).empty())
            finding = "a loaded path holds " + FindBreak(path, true);
        else if (!FileExists(MakeLongPath(path, false, false)))
            finding = "a loaded path names no existing file";
        return S_OK;
    });
    m_loadedLines += lines;
    m_filesWithLines += lines ? 1 : 0;
    if (hr != S_OK && hr != S_FALSE && finding.empty())
        finding = "the load failed with " + std::to_string(hr);
    // Every loaded line came from a line of the file: there cannot be more than its characters.
    if (finding.empty() && lines > input.size() / 2)
        finding = "more lines loaded than the file has characters";
    return finding;
}

std::string CQueueFileTarget::Reached() const
{
    return std::to_string(m_loadedLines) + " lines loaded from " + std::to_string(m_filesWithLines) + " files";
}
