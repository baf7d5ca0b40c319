// Verified TLS for the clients of zn_create_httpclient_ex, as an opt-in.
//
// By default an HTTPS connection checks its server only by comparing the
// certificate's common name with the required name (the URL's host, or the
// name given to Download/Upload). With verification on, the client instead
// - sends the request's host name as server name indication (not for an
//   address literal),
// - verifies the certificate chain against the system's trust store, or
//   against the trust anchors of pszCAPath (a PEM file, or a folder of hashed
//   certificates) when it is not null or empty,
// - checks the required name by OpenSSL's own host check: a host name against
//   the certificate's subjectAltName DNS entries, or against its common name
//   only when the certificate has no DNS entry at all; an address against
//   the IP entries.
// A failed verification ends the connection attempt as a name mismatch does
// (the same retries and result code), after a level-1 log line that names
// OpenSSL's verify error and the names compared.
//
// Call it while the client is idle, as the other settings; it holds for every
// later transfer of the client until changed.
#pragma once

#include "base/znplatform.h"
#include "znhttpclient.h"

// False when pClient is null. pClient must come from zn_create_httpclient_ex.
// The setting is kept by the platform library (znbase), so the HTTP library
// exports nothing beyond its factory and its clock.
inline bool zn_httpclient_set_tls_verify(zn::IHttpClient* pClient, bool bVerify, const char* pszCAPath) {
  if (!pClient) return false;
  zn_tlsverify_set(pClient, bVerify, pszCAPath);
  return true;
}
