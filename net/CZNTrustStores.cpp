#include "net/CZNTrustStores.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "base/znplatform.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a loaded store is handed out before its source is read again.
constexpr std::chrono::hours kStoreLifetime(24);

struct CachedStore {
  X509_STORE* pStore;        // the cache's own reference
  Clock::time_point loaded;  // when it was read from its source
};

// Guards g_pStores, and every load, so that each source is read once.
std::mutex g_lock;
// Source path ("" for the system's store) -> store. Made on first use and
// kept for the process's life, as the stores are meant to be.
std::map<std::string, CachedStore>* g_pStores = nullptr;

// Adds one DER-encoded trust anchor of the system's store to an X509_STORE.
void AddToStore(const unsigned char* der, uint32_t len, void* store) {
  const unsigned char* p = der;
  X509* pCert = d2i_X509(nullptr, &p, static_cast<long>(len));
  if (!pCert) return;
  X509_STORE_add_cert(static_cast<X509_STORE*>(store), pCert);
  X509_free(pCert);
}

X509_STORE* Load(const std::string& strPath) {
  X509_STORE* pStore = X509_STORE_new();
  if (!pStore) return nullptr;
  bool bLoaded = false;
  if (strPath.empty()) {
    // The system's own store where it keeps one, else OpenSSL's default paths.
    bLoaded = zn_enumsystemrootcerts(&AddToStore, pStore) >= 0 || X509_STORE_set_default_paths(pStore) == 1;
  } else {
    // A PEM file of trust anchors, or else a folder of hashed ones.
    bLoaded = X509_STORE_load_locations(pStore, strPath.c_str(), nullptr) == 1 ||
              X509_STORE_load_locations(pStore, nullptr, strPath.c_str()) == 1;
  }
  if (!bLoaded) {
    X509_STORE_free(pStore);
    return nullptr;
  }
  // A file that was not a bundle left its reason behind before the folder took.
  ERR_clear_error();
  return pStore;
}

}  // namespace

X509_STORE* CZNTrustStores::Get(const zn::strutf8& strCAPath) {
  const std::string strPath(strCAPath.c_str(), strCAPath.length());
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_pStores) g_pStores = new std::map<std::string, CachedStore>();
  const Clock::time_point now = Clock::now();
  auto found = g_pStores->find(strPath);
  if (found != g_pStores->end() && now - found->second.loaded > kStoreLifetime) {
    X509_STORE_free(found->second.pStore);  // connections that use it keep theirs
    g_pStores->erase(found);
    found = g_pStores->end();
  }
  if (found == g_pStores->end()) {
    X509_STORE* pStore = Load(strPath);
    if (!pStore) return nullptr;
    found = g_pStores->emplace(strPath, CachedStore{pStore, now}).first;
  }
  X509_STORE_up_ref(found->second.pStore);
  return found->second.pStore;
}
