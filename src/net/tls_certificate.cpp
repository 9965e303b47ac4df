// Certificates without set-up: the self-signed certificate and key a server makes on its first
// start, and the SHA-256 fingerprint texts shown to operators and compared by clients.
#include <cctype>
#include <ctime>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "framework/error.h"
#include "framework/file_util.h"
#include "net/tls_context.h"

namespace kx::UTlsCertificate {

namespace {

constexpr long kValiditySecs = 10L * 366 * 24 * 3600;

std::string DirOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The PEM text a writer puts into a memory buffer.
template <typename F>
std::string Pem(F write) {
    BIO* bio = BIO_new(BIO_s_mem());
    std::string out;
    if (bio != nullptr && write(bio) == 1) {
        char* data = nullptr;
        const long n = BIO_get_mem_data(bio, &data);
        if (n > 0) out.assign(data, static_cast<std::size_t>(n));
    }
    BIO_free(bio);
    return out;
}

bool AddName(X509_NAME* name, const char* field, const std::string& value) {
    if (value.empty()) return true;
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.data()),
                                      static_cast<int>(std::min<std::size_t>(value.size(), 64)), -1, 0) == 1;
}

bool AddAltName(X509* cert, const std::string& host) {
    const std::string value = "DNS:" + host;
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, value.c_str());
    if (ext == nullptr) return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

}  // namespace

std::string LastError() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(code);
        if (!text.empty()) text += "; ";
        text += reason != nullptr ? reason : "error " + std::to_string(code);
    }
    return text.empty() ? "unknown error" : text;
}

std::string Fingerprint(X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (cert == nullptr || X509_digest(cert, EVP_sha256(), md, &len) != 1) return {};
    static const char kHex[] = "0123456789ABCDEF";
    std::string out = "SHA256:";
    for (unsigned int i = 0; i < len; ++i) {
        if (i != 0) out += ':';
        out += kHex[md[i] >> 4];
        out += kHex[md[i] & 15];
    }
    return out;
}

std::string NormalizeFingerprint(const std::string& text) {
    std::string hex;
    std::string_view v = text;
    if (v.size() >= 7 && (v.substr(0, 7) == "SHA256:" || v.substr(0, 7) == "sha256:")) v.remove_prefix(7);
    for (char c : v) {
        if (c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 64) return {};
    std::string out = "SHA256:";
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (i != 0) out += ':';
        out += hex.substr(i, 2);
    }
    return out;
}

bool CreateSelfSigned(const std::string& certPath, const std::string& keyPath, const std::string& serverName,
                      const std::string& hostName, std::string& error) {
    ERR_clear_error();
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    bool ok = key != nullptr && cert != nullptr;
    if (ok) {
        unsigned char serial[16];
        RAND_bytes(serial, sizeof serial);
        serial[0] &= 0x7F;  // a positive serial number
        BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
        ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr;
        BN_free(bn);
        X509_NAME* name = X509_get_subject_name(cert);
        const std::string common = hostName.empty() ? serverName : hostName;
        ok = ok && X509_set_version(cert, 2) == 1 && X509_gmtime_adj(X509_getm_notBefore(cert), -24 * 3600) != nullptr &&
             X509_gmtime_adj(X509_getm_notAfter(cert), kValiditySecs) != nullptr &&
             AddName(name, "CN", common.empty() ? "kestrix" : common) && AddName(name, "O", serverName) &&
             X509_set_issuer_name(cert, name) == 1 && X509_set_pubkey(cert, key) == 1 &&
             (hostName.empty() || AddAltName(cert, hostName)) && X509_sign(cert, key, EVP_sha256()) > 0;
    }
    std::string keyPem, certPem;
    if (ok) {
        keyPem = Pem([key](BIO* b) { return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
        certPem = Pem([cert](BIO* b) { return PEM_write_bio_X509(b, cert); });
        ok = !keyPem.empty() && !certPem.empty();
    }
    if (!ok) error = "cannot make a certificate: " + LastError();
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok) return false;
    try {
        UFileUtil::EnsureDirectory(DirOf(keyPath));
        UFileUtil::EnsureDirectory(DirOf(certPath));
        UFileUtil::WriteFileAtomic(keyPath, keyPem.data(), keyPem.size(), 0600);
        UFileUtil::WriteFileAtomic(certPath, certPem.data(), certPem.size());
    } catch (const SError& err) {
        error = "cannot write \"" + certPath + "\" or \"" + keyPath + "\": " + UError::GetMessage(err);
        return false;
    }
    return true;
}

}  // namespace kx::UTlsCertificate
