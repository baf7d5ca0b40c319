// The system's trust anchors on Windows: the certificates of the current
// user's and the machine's "ROOT" store (CryptoAPI), handed out in their DER
// encoding. OpenSSL's default paths mean nothing there.
#include <windows.h>
#include <wincrypt.h>

#include "base/znplatform.h"

int zn_enumsystemrootcerts(zn_certsink_t sink, void* ctx) {
  HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
  if (!store) return -1;
  int count = 0;
  for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr); cert;
       cert = CertEnumCertificatesInStore(store, cert)) {
    if (!(cert->dwCertEncodingType & X509_ASN_ENCODING)) continue;
    if (sink) sink(cert->pbCertEncoded, cert->cbCertEncoded, ctx);
    ++count;
  }
  CertCloseStore(store, 0);
  return count;
}
