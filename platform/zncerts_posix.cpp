// The system's trust anchors on POSIX systems: there is no certificate store
// to enumerate; OpenSSL's default paths (the distribution's CA folder and
// bundle) are the system's store, and the TLS code loads them itself.
#include "base/znplatform.h"

int zn_enumsystemrootcerts(zn_certsink_t /*sink*/, void* /*ctx*/) { return -1; }
