// How a TLS connection checks its server beyond the common-name comparison:
// off by default, in which case nothing on the wire or in the log differs
// from a client that never heard of it. On, the handshake sends the host name
// as server name indication (not for an address literal), the chain is
// verified against a trust store (the system's, or the CA file or folder
// given), and the required name is checked by OpenSSL's own host check (the
// subjectAltName entries; the common name only when there is no DNS entry).
//
// A plain value, copied into every connector and sub-connector of a request.
#pragma once

#include "base/znstring.h"

struct CZNTlsVerify final {
  bool m_bVerify = false;     // verification on
  zn::strutf8 m_strCAPath;    // PEM file or hashed folder of trust anchors; empty: the system's store
  zn::strutf8 m_strHostName;  // the request's host, sent as server name indication
};
