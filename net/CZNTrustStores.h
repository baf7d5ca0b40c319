// The trust stores of verified TLS, shared by every connection of the
// process. Loading one is costly (the system's store is a bundle of some
// hundred certificates to parse, or on Windows the whole "ROOT" store to
// enumerate), so each source is loaded once and handed out by reference:
// the system's store, and each CA file or folder by its path. A store is
// loaded again after a day, so that a host that runs for weeks sees a
// renewed bundle, as curl's CA cache does.
//
// Thread: any; the cache is guarded by one lock, held while a store loads so
// that two workers never load the same source at once. The stores themselves
// are used by OpenSSL from many threads at once, which it allows.
#pragma once

#include <openssl/ossl_typ.h>

#include "base/znstring.h"

class CZNTrustStores final {
 public:
  CZNTrustStores() = delete;

  // The store of strCAPath (a PEM file, else a folder of hashed
  // certificates; empty: the system's store), as a counted reference that
  // the caller releases with X509_STORE_free. Null when the source gives
  // no store; OpenSSL's error queue then holds the reason, and a later call
  // tries again.
  static X509_STORE* Get(const zn::strutf8& strCAPath);
};
