// The module of the server DLL: one per process, built at load. It serves the classes of the object map
// (ObjectMap.cpp) and adds the build's AppID to every registration script.
#pragma once

#include "classlib/ComModule.h"
#include "com/Korvane_i.h"
#include "com/resource.h"

class CDovrinModule : public CAtlDllModuleT<CDovrinModule> {
public:
    CDovrinModule();

    // Every script can use %APPID%.
    HRESULT AddCommonRGSReplacements(CRegistrar& registrar) override;

    static UINT GetAppIdResourceId() { return IDR_DOVRINMODULE; }
    // The build's AppID, braces included.
    static const wchar_t* GetAppId();
};

// The classes the module serves, in registration order; ends with an empty entry.
extern CAtlObjMapEntry g_objectMap[];

extern CDovrinModule _AtlModule;
