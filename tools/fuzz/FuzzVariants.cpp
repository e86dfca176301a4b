#include "tools/fuzz/FuzzVariants.h"

#include <cstring>

namespace
{
constexpr size_t kHugeText = 100000;

const VARTYPE kTypes[] = {VT_EMPTY, VT_NULL, VT_I2,    VT_I4,  VT_R4,  VT_R8,  VT_CY,  VT_DATE, VT_BSTR,
                          VT_DISPATCH, VT_ERROR, VT_BOOL, VT_VARIANT, VT_UNKNOWN, VT_DECIMAL, VT_I1, VT_UI1,
                          VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT};
const VARTYPE kElementTypes[] = {VT_I4, VT_UI4, VT_BSTR, VT_VARIANT, VT_UI1, VT_R8, VT_BOOL};
}  // namespace

CFuzzVariants::~CFuzzVariants()
{
    for (VARIANT& value : m_referenced)
        VariantClear(&value);
    for (SAFEARRAY* array : m_arrays)
        SafeArrayDestroy(array);
    for (BSTR text : m_bstrs)
        SysFreeString(text);
}

BSTR CFuzzVariants::MakeBstr(CFuzzInput& in)
{
    std::wstring text;
    switch (in.Below(6))
    {
    case 0:
        return nullptr;
    case 1:
        break;
    case 2:
        text = L"C:\\media\\clip.mpg";
        text.push_back(L'\0');
        text += L"C:\\windows\\win.ini";
        break;
    case 3:
        text.assign(kHugeText, static_cast<wchar_t>(L'a' + in.Below(26)));
        break;
    default:
        text = in.Text(kHugeText);
        break;
    }
    BSTR bstr = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (bstr)
        m_bstrs.push_back(bstr);
    return bstr;
}

VARIANT CFuzzVariants::Make(CFuzzInput& in, IUnknown* object)
{
    VARIANT value;
    VariantInit(&value);
    const uint8_t shape = in.Byte();
    VARTYPE type = kTypes[in.Below(sizeof(kTypes) / sizeof(kTypes[0]))];
    if (shape < 16)
    {
        // Any type number with nothing behind it: an unknown type, or a known one with a zero payload.
        value.vt = in.Word() & static_cast<VARTYPE>(~(VT_BYREF | VT_ARRAY));
        return value;
    }
    if (shape < 48)
    {
        // An array of several element types, or the array flag without an array.
        const VARTYPE element = kElementTypes[in.Below(sizeof(kElementTypes) / sizeof(kElementTypes[0]))];
        value.vt = static_cast<VARTYPE>(VT_ARRAY | element);
        if (in.Below(8) == 0)
            return value;  // parray null
        const ULONG count = in.Below(8) == 0 ? 100000 : in.Below(16);
        SAFEARRAY* array = SafeArrayCreateVector(element, 0, count);
        if (!array)
            return VARIANT{};
        m_arrays.push_back(array);
        if (element == VT_BSTR)
        {
            for (LONG i = 0; i < static_cast<LONG>(count) && i < 16; ++i)
                SafeArrayPutElement(array, &i, MakeBstr(in));
        }
        value.parray = array;
        return value;
    }
    if (shape < 96)
    {
        // By reference, to storage of the right size, or to nothing.
        value.vt = static_cast<VARTYPE>(VT_BYREF | type);
        if (in.Below(4) == 0)
            return value;  // byref null
        switch (type)
        {
        case VT_VARIANT:
            m_referenced.push_back(Make(in, object));
            // What it points at is cleared here, not by the callee: copy it so that the list owns it.
            {
                VARIANT copy;
                VariantInit(&copy);
                VariantCopy(&copy, &m_referenced.back());
                m_referenced.back() = copy;
            }
            value.pvarVal = &m_referenced.back();
            break;
        case VT_BSTR:
            // MakeBstr's list owns the text; this one only holds the pointer the value points at.
            m_bstrSlots.push_back(MakeBstr(in));
            value.pbstrVal = &m_bstrSlots.back();
            break;
        case VT_DECIMAL:
            m_decimals.push_back(DECIMAL{});
            value.pdecVal = &m_decimals.back();
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            value.vt = static_cast<VARTYPE>(VT_BYREF | VT_UNKNOWN);
            m_numbers.push_back(0);
            value.ppunkVal = reinterpret_cast<IUnknown**>(&m_numbers.back());
            break;
        default:
            m_numbers.push_back(static_cast<LONGLONG>(in.Qword()));
            value.byref = &m_numbers.back();
            break;
        }
        return value;
    }
    value.vt = type;
    switch (type)
    {
    case VT_BSTR:
        value.bstrVal = MakeBstr(in);
        break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
        // Only the object the target owns: a manager cannot hand over a pointer to nothing.
        value.vt = VT_UNKNOWN;
        value.punkVal = in.Flag() ? object : nullptr;
        break;
    case VT_DECIMAL:
        std::memset(&value.decVal, 0, sizeof(value.decVal));
        value.decVal.Lo64 = in.Qword();
        value.decVal.scale = static_cast<BYTE>(in.Below(40));  // beyond 28 is malformed
        value.vt = VT_DECIMAL;
        break;
    case VT_VARIANT:
        value.vt = VT_EMPTY;
        break;
    default:
    {
        const uint64_t payload = in.Qword();
        std::memcpy(&value.llVal, &payload, sizeof(payload));
        break;
    }
    }
    return value;
}
