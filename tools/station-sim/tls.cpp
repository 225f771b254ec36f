// A throw-away certificate authority and a server certificate for 127.0.0.1, made at
// start-up so tests can trust the simulator's HTTPS through its CA file alone.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>

#include "station_sim.h"

namespace {

EVP_PKEY* MakeKey() { return EVP_EC_gen("P-256"); }

int AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return 0;
  const int ok = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  return ok;
}

X509* MakeCert(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, long serial, bool ca) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 60L * 60 * 24 * 30);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, (const unsigned char*)"Corvale station simulator", -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char*)commonName, -1, -1, 0);
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
  X509* iss = issuer ? issuer : cert;
  if (ca) {
    AddExtension(cert, iss, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert, iss, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(cert, iss, NID_subject_key_identifier, "hash");
  } else {
    AddExtension(cert, iss, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert, iss, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    AddExtension(cert, iss, NID_ext_key_usage, "serverAuth");
    AddExtension(cert, iss, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    AddExtension(cert, iss, NID_authority_key_identifier, "keyid:always");
  }
  if (!X509_sign(cert, issuerKey, EVP_sha256())) {
    X509_free(cert);
    return nullptr;
  }
  return cert;
}

int WritePem(const std::string& path, X509* cert) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return 0;
  const int ok = PEM_write_X509(f, cert);
  fclose(f);
  return ok;
}

}  // namespace

SSL_CTX* CreateTlsContext(const std::string& dir, std::string& caPath) {
  EVP_PKEY* caKey = MakeKey();
  EVP_PKEY* key = MakeKey();
  if (!caKey || !key) return nullptr;
  X509* ca = MakeCert(caKey, "Corvale Test CA", nullptr, caKey, 1, true);
  X509* cert = ca ? MakeCert(key, "127.0.0.1", ca, caKey, 2, false) : nullptr;
  SSL_CTX* ctx = nullptr;
  caPath = dir + "/ca.pem";
  if (cert && WritePem(caPath, ca) && WritePem(dir + "/server.pem", cert)) {
    ctx = SSL_CTX_new(TLS_server_method());
    if (ctx) {
      SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
      if (SSL_CTX_use_certificate(ctx, cert) != 1 || SSL_CTX_use_PrivateKey(ctx, key) != 1 ||
          SSL_CTX_add1_chain_cert(ctx, ca) != 1) {
        SSL_CTX_free(ctx);
        ctx = nullptr;
      }
    }
  }
  if (!ctx) ERR_print_errors_fp(stderr);
  X509_free(ca);
  X509_free(cert);
  EVP_PKEY_free(caKey);
  EVP_PKEY_free(key);
  return ctx;
}
