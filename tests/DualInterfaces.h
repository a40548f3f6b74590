// The dual interfaces of the server's type library, with the build's IIDs: the DLL's merged proxy/stub
// marshals each of them, so each one's ProxyStubClsid32 names the proxy/stub's factory, whose CLSID is the
// IID of IKorvane. A class that joins the library adds its interface here.
#pragma once

#include "com/Korvane_i.h"

struct DualInterface {
    const char* name;
    const IID* iid;
};

inline const DualInterface kDualInterfaces[] = {
    {"IKorvane", &IID_IKorvane},
    {"IFtpDroper", &IID_IFtpDroper},
    {"IFtpPartition", &IID_IFtpPartition},
};

// The CLSID of the proxy/stub's factory.
inline const CLSID& ProxyStubFactoryClsid() { return IID_IKorvane; }
