// The pieces every target relies on: the input reader, the mutator's bounds and the confinement
// that keeps what the clean-up may delete inside a scratch folder.
#include <gtest/gtest.h>
#include <string>
#include "tools/fuzz/Confinement.h"
#include "tools/fuzz/FuzzInput.h"
#include "tools/fuzz/FuzzMutator.h"

TEST(FuzzInput, ReadsBackWhatTheWriterWroteAndZerosPastTheEnd)
{
    CFuzzInputWriter writer;
    writer.Byte(7);
    writer.Dword(0x12345678);
    writer.Text(std::wstring(L"a\0\xD800z", 4));
    const FuzzBytes bytes = writer.Bytes();
    CFuzzInput in(bytes);
    EXPECT_EQ(7u, in.Byte());
    EXPECT_EQ(0x12345678u, in.Dword());
    EXPECT_EQ(std::wstring(L"a\0\xD800z", 4), in.Text(100));
    EXPECT_TRUE(in.AtEnd());
    EXPECT_EQ(0u, in.Qword());
    EXPECT_EQ(std::wstring(), in.Text(100));
}

TEST(FuzzInput, AHugeTextRepeatsAPieceUpToTheLimit)
{
    // Length byte 255: huge, 40000 less (3 % 64); a piece of 1 + (1 % 16) units: "\\x".
    const FuzzBytes bytes = {255, 3, 1, '\\', 0, 'x', 0};
    CFuzzInput in(bytes);
    const std::wstring text = in.Text(40000);
    ASSERT_EQ(39997u, text.size());
    EXPECT_EQ(L"\\x\\x", text.substr(0, 4));
    EXPECT_EQ(std::wstring::npos, text.find_first_not_of(L"\\x"));
}

TEST(FuzzMutator, StaysWithinTheSizeAndRepeatsForTheSameSeed)
{
    CSoakRandom first(3);
    CSoakRandom second(3);
    CFuzzMutator a(first, 4096);
    CFuzzMutator b(second, 4096);
    FuzzBytes input = {0xFF, 0xFE, 'a', 0};
    for (int i = 0; i < 2000; ++i)
    {
        const FuzzBytes mutated = a.Mutate(input, {1, 2, 3});
        ASSERT_EQ(mutated, b.Mutate(input, {1, 2, 3}));
        ASSERT_LE(mutated.size(), 4096u);
        input = mutated;
        if (input.empty())
        {
            input = a.RandomBytes();
            ASSERT_EQ(input, b.RandomBytes());
        }
    }
}

// A value with a drive, a share, a "/" or a way up lands inside the folder; a plain name stays a
// name (relative names resolve in the scratch folder, which the target makes current).
TEST(Confinement, EveryPathLikeValueEndsUpInsideTheFolder)
{
    const std::wstring folder = L"C:\\scratch";
    const struct
    {
        std::wstring value;
        std::wstring confined;
    } cases[] = {
        {L"clip.mpg", L"clip.mpg"},
        {L"C:\\windows\\win.ini", L"C:\\scratch\\C_\\windows\\win.ini"},
        {L"\\windows\\win.ini", L"C:\\scratch\\\\windows\\win.ini"},
        {L"\\\\server\\share\\x", L"C:\\scratch\\\\\\server\\share\\x"},
        {L"..\\..\\x", L"C:\\scratch\\_.\\_.\\x"},
        {L"C:\\scratch\\..\\x", L"C:\\scratch\\_.\\x"},
        {L"\\\\?\\C:\\scratch\\a/b:c", L"\\\\?\\C:\\scratch\\a_b_c"},
        {L"\\\\?\\C:\\windows", L"C:\\scratch\\\\\\?\\C_\\windows"},
        {L"C:\\scratchy\\x", L"C:\\scratch\\C_\\scratchy\\x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.confined, ConfinedValue(folder, c.value)) << testing::PrintToString(c.value);
}
