// Resource numbers of the server DLL.
#pragma once

#define IDS_PROJNAME 100
#define IDR_DOVRINMODULE 101
#define IDR_KORVANE 102
#define IDR_FTPDROPER 104

// The picker.
#define IDR_FTPPARTITION 105
