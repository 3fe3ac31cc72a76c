// Automation types that interfaces pass: counted wide strings (BSTR) and one-dimensional safe arrays of
// interface pointers.
#pragma once

#include <unknwn.h>

typedef WCHAR OLECHAR;
typedef OLECHAR* BSTR;
typedef unsigned short VARTYPE;

#define VT_UNKNOWN 13

typedef struct tagSAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
} SAFEARRAYBOUND, *LPSAFEARRAYBOUND;

typedef struct tagSAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY, *LPSAFEARRAY;

extern "C" {

// The string's length is kept before its text, which is terminated; null for null text.
BSTR SysAllocString(const OLECHAR* psz);
void SysFreeString(BSTR bstrString);
UINT SysStringLen(BSTR pbstr);

// A one-dimensional array of VT_UNKNOWN elements, all null; other types are not offered (null).
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// E_INVALIDARG for a null array or out pointer, DISP_E_BADINDEX for a dimension other than 1.
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
// Copies element *rgIndices out; an interface pointer is copied with a reference taken (AddRef).
// DISP_E_BADINDEX outside the bounds.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
// Stores an interface pointer with a reference taken, releasing the one it replaces.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
// Releases every interface pointer in the array and frees it; a null array is S_OK.
HRESULT SafeArrayDestroy(SAFEARRAY* psa);

} // extern "C"
