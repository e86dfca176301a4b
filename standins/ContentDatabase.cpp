#include "standins/ContentDatabase.h"
#include <objbase.h>
#include "standins/ContentDbConnection.h"
#include "standins/StandinClassFactory.h"

std::shared_ptr<CContentDatabase> CContentDatabase::Create()
{
    return std::shared_ptr<CContentDatabase>(new CContentDatabase());
}

CContentDatabase::CContentDatabase()
{
    m_catalogue.SetChangeHook([this](const std::wstring& id, LONG itemClass, LONG kind) {
        {
            CLockGuard guard(m_observerLock);
            if (m_changeObserver)
                m_changeObserver(id, itemClass, kind);
        }
        m_notifier.Enqueue(id, itemClass, kind);
    });
}

void CContentDatabase::SetChangeObserver(CContentDbCatalogue::ChangeHook observer)
{
    CLockGuard guard(m_observerLock);
    m_changeObserver = std::move(observer);
}

CContentDatabase::~CContentDatabase()
{
    Revoke();
    m_catalogue.SetChangeHook(nullptr);
}

HRESULT CContentDatabase::Register()
{
    if (m_registrationCookie)
        return CO_E_OBJISREG;
    std::weak_ptr<CContentDatabase> weak = weak_from_this();
    return CStandinClassFactory<CContentDbConnection>::Register(
        CLSID_KdCdbManager,
        [weak](CContentDbConnection& connection) {
            std::shared_ptr<CContentDatabase> database = weak.lock();
            if (!database)
                return CO_E_SERVER_STOPPING;
            connection.Attach(std::move(database));
            return S_OK;
        },
        &m_registrationCookie);
}

void CContentDatabase::Revoke()
{
    if (m_registrationCookie)
    {
        CoRevokeClassObject(m_registrationCookie);
        m_registrationCookie = 0;
    }
}

HRESULT CContentDatabase::CreateConnection(IKdCdbManager** connection)
{
    if (!connection)
        return E_POINTER;
    *connection = nullptr;
    CComObject<CContentDbConnection>* object = nullptr;
    const HRESULT hr = CComObject<CContentDbConnection>::CreateInstance(&object);
    if (FAILED(hr))
        return hr;
    object->AddRef();
    object->Attach(shared_from_this());
    *connection = object;
    return S_OK;
}

void CContentDatabase::SetServerText(const std::wstring& text)
{
    CLockGuard guard(m_settingsLock);
    m_serverText = text;
}

void CContentDatabase::SetVersionText(const std::wstring& text)
{
    CLockGuard guard(m_settingsLock);
    m_versionText = text;
}

void CContentDatabase::SetDatabaseNames(const std::vector<const wchar_t*>& names)
{
    std::vector<std::optional<std::wstring>> copy;
    copy.reserve(names.size());
    for (const wchar_t* name : names)
        copy.push_back(name ? std::optional<std::wstring>(name) : std::nullopt);
    CLockGuard guard(m_settingsLock);
    m_databaseNames.swap(copy);
}

void CContentDatabase::SetBusyFor(DWORD timeMs)
{
    CLockGuard guard(m_settingsLock);
    m_busyStart = GetTickCount();
    m_busyTime = timeMs;
}

void CContentDatabase::SetStrictFetch(bool strict)
{
    CLockGuard guard(m_settingsLock);
    m_strictFetch = strict;
}

std::wstring CContentDatabase::ServerText()
{
    CLockGuard guard(m_settingsLock);
    return m_serverText;
}

std::wstring CContentDatabase::VersionText()
{
    CLockGuard guard(m_settingsLock);
    return m_versionText;
}

std::vector<std::optional<std::wstring>> CContentDatabase::DatabaseNames()
{
    CLockGuard guard(m_settingsLock);
    return m_databaseNames;
}

bool CContentDatabase::IsKnownDatabase(const wchar_t* name)
{
    const std::wstring wanted = name ? name : L"";
    CLockGuard guard(m_settingsLock);
    for (const auto& known : m_databaseNames)
    {
        if (known && *known == wanted)
            return true;
    }
    return false;
}

bool CContentDatabase::IsBusy()
{
    CLockGuard guard(m_settingsLock);
    return m_busyTime != 0 && GetTickCount() - m_busyStart < m_busyTime;
}

bool CContentDatabase::IsStrictFetch()
{
    CLockGuard guard(m_settingsLock);
    return m_strictFetch;
}
