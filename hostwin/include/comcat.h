// The component categories manager: registers the categories a class implements or requires.
#pragma once

#include "objbase.h"

typedef GUID CATID;

extern "C" {
extern const CLSID CLSID_StdComponentCategoriesMgr;
extern const IID IID_ICatRegister;
}

// The class-level members, the only ones the system calls.
struct ICatRegister : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RegisterClassImplCategories(REFCLSID rclsid,
                                                                  ULONG cCategories,
                                                                  CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnRegisterClassImplCategories(REFCLSID rclsid,
                                                                    ULONG cCategories,
                                                                    CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                                 CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnRegisterClassReqCategories(REFCLSID rclsid,
                                                                   ULONG cCategories,
                                                                   CATID rgcatid[]) = 0;
};
