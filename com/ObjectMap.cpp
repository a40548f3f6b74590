// The classes the module serves. Registration and unregistration walk this array in order; the drop-area
// control and the picker go before Korvane when they are built (the control first), each with its own
// registration script and entry.
#include "com/DovrinModule.h"
#include "com/Korvane.h"

CAtlObjMapEntry g_objectMap[] = {
    ObjectMapEntryFor<CKorvane>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
