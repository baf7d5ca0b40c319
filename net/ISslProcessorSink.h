// How a TLS processor reports the end of its handshake to its owner (the
// sub-connector). Called on the processor's task.
#pragma once

class ISslProcessorSink {
 public:
  virtual ~ISslProcessorSink() = default;
  // 0: handshake complete and the certificate name accepted; 1: SSL_connect
  // failed; 2: the socket closed; 3: the socket took no handshake bytes; 4:
  // receiving failed; 5: feeding the TLS input failed; 6: certificate check
  // failed.
  virtual void OnSslConnected(int result) = 0;
};
