#include "com/DovrinModule.h"

#include "com/KorvaneIdentity.h"

CDovrinModule::CDovrinModule() : CAtlDllModuleT<CDovrinModule>(g_objectMap) { libid_ = LIBID_DovrinLib; }

HRESULT CDovrinModule::AddCommonRGSReplacements(CRegistrar& registrar) {
    static const RegistryReplacement replacements[] = {KORVANE_MODULE_REPLACEMENTS};
    for (const RegistryReplacement& replacement : replacements)
        KORVANE_RETURN_IF_FAILED(registrar.AddReplacement(replacement.name, replacement.value));
    return S_OK;
}

const wchar_t* CDovrinModule::GetAppId() { return KORVANE_APPID_TEXT; }
