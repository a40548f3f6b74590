// The classes the module serves. Registration and unregistration walk this array in order: the drop-area
// control first, the picker after it when it is built, the upload object last, each with its own
// registration script.
#include "com/DovrinModule.h"
#include "com/FtpDroper.h"
#include "com/Korvane.h"

CAtlObjMapEntry g_objectMap[] = {
    ObjectMapEntryFor<CFtpDroper>(),
    ObjectMapEntryFor<CKorvane>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
