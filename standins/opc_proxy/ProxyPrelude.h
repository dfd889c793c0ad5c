/* Forced into every widl-generated proxy file: mingw-w64's unknwn.h declares the IUnknown
   proxy helpers only for C++, and the generated C code calls them. */
#pragma once
#include <objbase.h>
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown *This, REFIID riid, void **ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown *This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown *This);
