// The server certificate of an HTTPS stream checked against the system's authorities
// and the host's name, as Windows checks it. Schannel checks it itself on Windows;
// Wine's Schannel takes any certificate, so without this a stream under Wine would be
// played from any server that answers in TLS.
#include <curl/curl.h>
// (curl.h first: it brings winsock2.h, which must come before windows.h.)
#include <windows.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <string>

#include "internal.h"

namespace audiolib {

namespace {

// The scheme and host of the request now running, the host without an address's brackets.
bool CurrentRequest(CURL* easy, std::string* scheme, std::string* host) {
  const char* url = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || !url) return false;
  CURLU* u = curl_url();
  if (!u) return false;
  char* part = nullptr;
  bool ok = curl_url_set(u, CURLUPART_URL, url, 0) == CURLUE_OK;
  if (ok && (ok = curl_url_get(u, CURLUPART_SCHEME, &part, 0) == CURLUE_OK)) *scheme = part;
  curl_free(part);
  part = nullptr;
  if (ok && (ok = curl_url_get(u, CURLUPART_HOST, &part, 0) == CURLUE_OK)) *host = part;
  curl_free(part);
  curl_url_cleanup(u);
  if (host->size() > 2 && host->front() == '[') *host = host->substr(1, host->size() - 2);
  return ok && !host->empty();
}

}  // namespace

bool ServerCertificateTrusted(void* handle) {
  CURL* easy = static_cast<CURL*>(handle);
  std::string scheme, hostName;
  if (!CurrentRequest(easy, &scheme, &hostName)) return false;
  if (scheme != "https") return true;
  curl_tlssessioninfo* session = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &session) != CURLE_OK || !session) return false;
  if (session->backend != CURLSSLBACKEND_SCHANNEL) return true;  // a library that checks for itself
  if (!session->internals) return false;
  const std::wstring host = Widen(hostName.c_str());
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesW(static_cast<CtxtHandle*>(session->internals), SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                              &certificate) != SEC_E_OK ||
      !certificate)
    return false;
  // The chain from the certificates the server sent up to a root the system trusts.
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  bool trusted =
      CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara, 0, nullptr, &chain);
  if (trusted) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = const_cast<wchar_t*>(host.c_str());
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    trusted = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status) && status.dwError == 0;
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(certificate);
  return trusted;
}

}  // namespace audiolib
