#include "contentdb/KdCdbMgr.h"

HRESULT CKdCdbMgr::FindItemByPath(LPCWSTR, ULONG, const LONG*, LONG, LONG*) { return E_NOTIMPL; }
HRESULT CKdCdbMgr::ListContainerGroups(std::vector<CKdCdbItemGroup>*) { return E_NOTIMPL; }
HRESULT CKdCdbMgr::GetItemFiles(LPCWSTR, std::vector<CString>*) { return E_NOTIMPL; }
HRESULT CKdCdbMgr::FindDerivedItems(LPCWSTR, std::vector<CString>*, std::vector<CString>*, std::vector<CString>*)
{
    return E_NOTIMPL;
}
HRESULT CKdCdbMgr::ListDerivationSources(std::vector<CString>*, std::vector<CString>*) { return E_NOTIMPL; }
HRESULT CKdCdbMgr::FindEmptyContainers(std::vector<CString>*, std::vector<CString>*) { return E_NOTIMPL; }
HRESULT CKdCdbMgr::FindEmptyContainersByKey(const std::vector<CString>*, std::vector<CString>*, std::vector<CString>*)
{
    return E_NOTIMPL;
}
HRESULT CKdCdbMgr::FindEmptyCollections(std::vector<CString>*, std::vector<CString>*) { return E_NOTIMPL; }
HRESULT CKdCdbMgr::RemoveFromCollections(LPCWSTR, std::vector<CString>*, std::vector<CString>*) { return E_NOTIMPL; }
HRESULT CKdCdbMgr::FindItemsWithMissingFile(std::vector<CString>*, LONG) { return E_NOTIMPL; }
HRESULT CKdCdbMgr::DeleteItemWithDependents(LPCWSTR, bool, bool) { return E_NOTIMPL; }
bool IsFilePresent(LPCWSTR) { return false; }
bool DeleteFileAsUser(LPCWSTR) { return false; }
