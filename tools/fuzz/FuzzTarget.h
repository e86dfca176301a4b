#pragma once
#include <cstdint>
#include <string>
#include <vector>

class CSoakRandom;

using FuzzBytes = std::vector<uint8_t>;

// One way outside data comes in. The runner hands a target inputs one at a time: its seeds first,
// then mutations of them and inputs the target generates. A target reads every input as bytes and
// decides itself what they stand for (a file, a text, a value of the registry, a call).
class CFuzzTarget
{
public:
    // `group`: the targets of a group run together in the long form.
    CFuzzTarget(const char* name, const char* group) noexcept : m_name(name), m_group(group) {}
    virtual ~CFuzzTarget() = default;

    const char* Name() const noexcept { return m_name; }
    const char* Group() const noexcept { return m_group; }

    // Prepares what the inputs run against; a non-empty answer says why the target cannot run.
    virtual std::string SetUp() { return {}; }
    virtual void TearDown() {}

    virtual std::vector<FuzzBytes> Seeds() = 0;
    // An input made from nothing but the random source; false: random bytes will do.
    virtual bool Generate(CSoakRandom& /*random*/, FuzzBytes& /*input*/) { return false; }
    // Runs one input. Empty when every check held; otherwise what failed, in one line.
    virtual std::string Run(const FuzzBytes& input) = 0;
    // How far the inputs got, so that a run shows its checks were reached (lines loaded, pages
    // handed back...); empty when there is nothing to tell.
    virtual std::string Reached() const { return {}; }

private:
    const char* m_name;
    const char* m_group;
};
