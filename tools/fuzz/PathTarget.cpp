#include "tools/fuzz/PathTarget.h"

#include <shlobj.h>
#include <cwchar>
#include <vector>
#include "common/Path.h"
#include "common/String.h"
#include "tools/fuzz/Confinement.h"
#include "tools/fuzz/FuzzInput.h"
#include "tools/soak/SoakRandom.h"

namespace
{
constexpr size_t kMaxText = 40000;
const wchar_t kLong[] = L"\\\\?\\";
const wchar_t kLongUnc[] = L"\\\\?\\UNC\\";

const std::vector<std::wstring> kForms = {L"",           L"C:\\",           L"C:",          L"\\\\server\\share\\",
                                          L"\\\\server", L"\\\\?\\C:\\",    L"\\\\?\\UNC\\srv\\share\\",
                                          L"\\\\?\\UNC\\", L"\\\\.\\",      L"\\\\?\\GLOBALROOT\\Device\\",
                                          L"\\\\?\\",    L"\\",             L"Z:\\tmp\\",   L"\\\\\\",
                                          L"C:\\a\\..\\", L"\\\\?\\UNC",     L"\\\\?\\C:"};
const std::vector<std::wstring> kBodies = {L"",  L"x",          L"dir\\file.txt", L"a\\",   L"\\",      L"share",
                                           L".", L"..\\..\\x",  L"a:b",           L"f.mp4:stream", L"\xD800", L"\xDC00x"};

std::wstring Whole(const CString& text)
{
    return std::wstring(text.GetString(), static_cast<size_t>(text.GetLength()));
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

std::string Show(const std::wstring& path)
{
    std::string shown;
    for (size_t i = 0; i < path.size() && i < 80; ++i)
        shown.push_back(path[i] >= 0x20 && path[i] < 0x7F ? static_cast<char>(path[i]) : '?');
    if (path.size() > 80)
        shown += "...(" + std::to_string(path.size()) + " characters)";
    return shown;
}

}  // namespace

std::string CPathTarget::SetUp()
{
    m_folder = std::make_unique<CScratchFolder>(L"lumfuzz-path");
    m_scratch = m_folder->Folder() + L"\\";
    return {};
}

void CPathTarget::TearDown()
{
    m_folder.reset();
}

std::vector<FuzzBytes> CPathTarget::Seeds()
{
    std::vector<FuzzBytes> seeds;
    for (uint8_t form = 0; form < kForms.size(); ++form)
    {
        for (uint8_t body = 0; body < kBodies.size(); body += 3)
            seeds.push_back({form, 1, body, 0, 0, 0, static_cast<uint8_t>(form * 7)});
    }
    return seeds;
}

std::string CPathTarget::Run(const FuzzBytes& input)
{
    CFuzzInput in(input);
    std::wstring path = in.Pick(kForms);
    path += in.Flag() ? in.Pick(kBodies) : std::wstring();
    path += in.Text(kMaxText);
    if (in.Flag())
        path += in.Pick(kBodies);
    const uint8_t what = in.Byte();
    // Most callers hand the helpers terminated strings; some hand counted ones with NULs inside.
    if ((what & 1) == 0)
        path = std::wstring(path.c_str());

    std::string finding = CheckLongForms(path);
    if (finding.empty())
        finding = CheckRoot(path);
    if (finding.empty() && (what & 6) == 0)
        finding = CheckExistence(path);
    if (finding.empty() && (what & 0x38) == 0)
        finding = CheckCreate(in.Text(kMaxText));
    if (finding.empty() && (what & 0xC0) == 0xC0)
    {
        static const int folders[] = {CSIDL_COMMON_APPDATA, CSIDL_APPDATA, CSIDL_WINDOWS, CSIDL_PERSONAL, 0x7FFF, -1};
        const int csidl = folders[in.Below(sizeof(folders) / sizeof(folders[0]))];
        const std::wstring sub = in.Text(300);
        const std::wstring inner = in.Text(300);
        CString out;
        GetSpecialFolderPath(csidl, out, in.Flag() ? sub.c_str() : nullptr, in.Flag() ? inner.c_str() : nullptr);
        if (!out.IsEmpty() && out[out.GetLength() - 1] != L'\\')
            finding = "a special folder's path does not end with \"\\\": " + Show(Whole(out));
    }
    return finding;
}

std::string CPathTarget::CheckLongForms(const std::wstring& path)
{
    const CString text(path.c_str(), static_cast<int>(path.size()));
    for (int form = 0; form < 4; ++form)
    {
        const bool always = (form & 1) != 0;
        const bool forDirectory = (form & 2) != 0;
        const std::wstring made = Whole(MakeLongPath(text, always, forDirectory));
        const size_t limit = forDirectory ? 248 : 260;
        const bool unchanged = path.size() < 4 || StartsWith(path, kLong) || (!always && path.size() < limit);
        std::wstring expected = path;
        if (!unchanged)
            expected = StartsWith(path, L"\\\\") ? L"\\\\?\\UNC" + path.substr(1) : kLong + path;
        if (made != expected)
            return "MakeLongPath(always " + std::to_string(always) + ", folder " + std::to_string(forDirectory) +
                   ") of " + Show(path) + " gave " + Show(made);
        if (unchanged)
            continue;
        ++m_longForms;
        const std::wstring back = Whole(StripLongPathPrefix(CString(made.c_str(), static_cast<int>(made.size()))));
        if (back != path)
            return "StripLongPathPrefix did not undo MakeLongPath for " + Show(path) + ": " + Show(back);
        const int prefix = GetLongPathPrefixLength(made.c_str());
        if (prefix != (StartsWith(made, kLongUnc) ? 7 : 4))
            return "GetLongPathPrefixLength gave " + std::to_string(prefix) + " for " + Show(made);
    }
    return {};
}

std::string CPathTarget::CheckRoot(const std::wstring& path)
{
    const CString text(path.c_str(), static_cast<int>(path.size()));
    const std::wstring root = Whole(GetPathRoot(text));
    const std::wstring stripped = Whole(StripLongPathPrefix(text));
    // A path of fewer than two characters is its own root, as the helper is documented to answer.
    if (stripped.size() < 2)
        return root == stripped ? std::string() : "GetPathRoot of a short path is not the path itself";
    if (!root.empty())
    {
        const bool prefix = root.back() == L'\\' &&
                            (stripped.compare(0, root.size(), root) == 0 ||
                             stripped.compare(0, root.size() - 1, root, 0, root.size() - 1) == 0);
        if (!prefix || root.size() > stripped.size() + 1)
            return "GetPathRoot of " + Show(path) + " gave " + Show(root);
    }
    if (path.find(L'\0') == std::wstring::npos && IsUncSharePath(path.c_str()) && root.empty())
        return "a UNC share path has no root: " + Show(path);
    return {};
}

std::string CPathTarget::CheckExistence(const std::wstring& path)
{
    if (FileExists(path.c_str()) && DirectoryExists(path.c_str()))
        return "both a file and a folder: " + Show(path);
    return {};
}

std::string CPathTarget::CheckCreate(const std::wstring& tail)
{
    const std::wstring path = m_scratch + ConfinedTail(std::wstring(tail.c_str()));
    const bool created = CreateDirectoryTree(path.c_str()) != FALSE;
    std::string finding;
    m_created += created ? 1 : 0;
    if (created && !DirectoryExists(path.c_str()))
        finding = "CreateDirectoryTree succeeded but the folder is not there: " + Show(path);
    // Take down what was made: the levels below the scratch folder that exist, found from the top
    // (what a failed creation left is no deeper than its first failure), removed deepest first.
    std::vector<std::wstring> made;
    for (size_t end = path.find(L'\\', m_scratch.size()); ; end = path.find(L'\\', end + 1))
    {
        const std::wstring level = path.substr(0, end);
        if (level.size() <= m_scratch.size() || !DirectoryExists(level.c_str()))
            break;
        made.push_back(level);
        if (end == std::wstring::npos)
            break;
    }
    for (auto level = made.rbegin(); level != made.rend(); ++level)
        RemoveDirectoryW(level->c_str());
    return finding;
}

std::string CPathTarget::Reached() const
{
    return std::to_string(m_longForms) + " long forms, " + std::to_string(m_created) + " folder trees created";
}
