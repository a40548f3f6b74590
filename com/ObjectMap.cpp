// The classes the module serves. Registration and unregistration walk this array in order: the drop-area
// control first, then the picker, then the upload object, each with its own registration script.
#include "com/DovrinModule.h"
#include "com/FtpDroper.h"
#include "com/FtpPartition.h"
#include "com/Korvane.h"

CAtlObjMapEntry g_objectMap[] = {
    ObjectMapEntryFor<CFtpDroper>(),
    ObjectMapEntryFor<CFtpPartition>(),
    ObjectMapEntryFor<CKorvane>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
