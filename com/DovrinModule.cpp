#include "com/DovrinModule.h"

CDovrinModule::CDovrinModule() : CAtlDllModuleT<CDovrinModule>(g_objectMap) { libid_ = LIBID_DovrinLib; }

HRESULT CDovrinModule::AddCommonRGSReplacements(CRegistrar& registrar) {
    return registrar.AddReplacement(L"APPID", GetAppId());
}

const wchar_t* CDovrinModule::GetAppId() {
#ifdef KORVANE_64BIT
    return L"{3A644A5F-BFC5-4BFC-812D-416606FF0599}";
#else
    return L"{F1B16B05-C5A0-4AB0-B7D3-C2B35278502F}";
#endif
}
