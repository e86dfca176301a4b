#include "tools/soak/SoakCallTimes.h"

std::map<std::wstring, CSoakCallTimes::Method> CSoakCallTimes::Methods() const
{
    CLockGuard guard(m_lock);
    return m_methods;
}
