// The verified-TLS settings of the HTTP library's clients, keyed by client.
// The HTTP library exports only its factory and its clock, so the setting a
// host makes through znhttpclienttls.h lands here and the client reads it
// back when it connects.
#include <map>
#include <mutex>
#include <string>

#include "base/znplatform.h"

namespace {

// The clients with verification on, each with its CA path (empty: the
// system's store). Guarded by g_lock: hosts write from their threads, clients
// read from their workers.
std::mutex g_lock;
std::map<const void*, std::string>* g_pSettings = nullptr;  // client -> CA path; made on first use, never freed

}  // namespace

void zn_tlsverify_set(const void* pClient, bool bVerify, const char* pszCAPath) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!bVerify) {
    if (g_pSettings) g_pSettings->erase(pClient);
    return;
  }
  if (!g_pSettings) g_pSettings = new std::map<const void*, std::string>();
  (*g_pSettings)[pClient] = pszCAPath ? pszCAPath : "";
}

bool zn_tlsverify_get(const void* pClient, zn::strutf8& strCAPath) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_pSettings) return false;
  const auto found = g_pSettings->find(pClient);
  if (found == g_pSettings->end()) return false;
  strCAPath = found->second.c_str();
  return true;
}
