#include "service/core/tls_files.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace service {
namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct InfoStackFree {
    void operator()(STACK_OF(X509_INFO) * infos) const {
        sk_X509_INFO_pop_free(infos, X509_INFO_free);
    }
};
struct Asn1TimeFree {
    void operator()(ASN1_TIME* time) const { ASN1_TIME_free(time); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Certificate = std::unique_ptr<X509, X509Free>;

std::string Named(const NamedFile& file) {
    return file.key + ": " + file.path;
}

// The file opened for reading, or null with `why` set: missing, not a plain file, unreadable.
Bio OpenFile(const NamedFile& file, std::string& why) {
    struct stat info {};
    if (file.path.empty()) {
        why = file.key + ": expected a file name";
        return nullptr;
    }
    if (::stat(file.path.c_str(), &info) != 0) {
        why = Named(file) + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        why = Named(file) + ": not a plain file";
        return nullptr;
    }
    // Opened with stdio first so that errno says why (BIO_new_file's own errors do not).
    std::FILE* opened = std::fopen(file.path.c_str(), "rb");
    if (opened == nullptr) {
        why = Named(file) + ": " + std::strerror(errno);
        return nullptr;
    }
    Bio bio(BIO_new_fp(opened, BIO_CLOSE));
    if (bio == nullptr) {
        std::fclose(opened);
        why = Named(file) + ": cannot be read";
    }
    return bio;
}

// A passphrase is never asked for: the service runs without a terminal.
int NoPassphrase(char*, int, int, void*) {
    return 0;
}

Certificate ReadCertificate(const NamedFile& file, std::string& why) {
    Bio bio = OpenFile(file, why);
    if (bio == nullptr) return nullptr;
    Certificate cert(PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr));
    ERR_clear_error();
    if (cert == nullptr) why = Named(file) + ": no PEM certificate in it";
    return cert;
}

std::string ValidityProblem(const NamedFile& file, X509* cert,
                            std::chrono::system_clock::time_point now) {
    std::time_t at = std::chrono::system_clock::to_time_t(now);
    if (X509_cmp_time(X509_get0_notAfter(cert), &at) <= 0) {
        return Named(file) + ": the certificate has expired";
    }
    if (X509_cmp_time(X509_get0_notBefore(cert), &at) >= 0) {
        return Named(file) + ": the certificate is not valid yet";
    }
    return {};
}

}  // namespace

std::string CertificatePairProblem(const NamedFile& certificate, const NamedFile& key,
                                   std::chrono::system_clock::time_point now) {
    std::string why;
    Certificate cert = ReadCertificate(certificate, why);
    if (cert == nullptr) return why;
    if (why = ValidityProblem(certificate, cert.get(), now); !why.empty()) return why;
    Bio bio = OpenFile(key, why);
    if (bio == nullptr) return why;
    std::unique_ptr<EVP_PKEY, KeyFree> pkey(
        PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
    ERR_clear_error();
    if (pkey == nullptr) {
        return Named(key) +
               ": no PEM private key in it (an encrypted key cannot be used: the "
               "service has nobody to ask for its passphrase)";
    }
    if (X509_check_private_key(cert.get(), pkey.get()) != 1) {
        ERR_clear_error();
        return Named(key) + ": the key does not belong to the certificate " + certificate.path;
    }
    return {};
}

std::string CaFileProblem(const NamedFile& ca, std::chrono::system_clock::time_point now) {
    std::string why;
    Bio bio = OpenFile(ca, why);
    if (bio == nullptr) return why;
    std::unique_ptr<STACK_OF(X509_INFO), InfoStackFree> infos(
        PEM_X509_INFO_read_bio(bio.get(), nullptr, NoPassphrase, nullptr));
    ERR_clear_error();
    int certificates = 0;
    bool anyValid = false;
    for (int i = 0; infos != nullptr && i < sk_X509_INFO_num(infos.get()); ++i) {
        X509* cert = sk_X509_INFO_value(infos.get(), i)->x509;
        if (cert == nullptr) continue;
        ++certificates;
        anyValid = anyValid || ValidityProblem(ca, cert, now).empty();
    }
    if (certificates == 0) return Named(ca) + ": no PEM certificate in it";
    if (!anyValid) return Named(ca) + ": every certificate in it has expired or is not valid yet";
    return {};
}

std::string ExpiryWarning(const NamedFile& certificate, std::chrono::system_clock::time_point now,
                          std::chrono::hours within) {
    std::string why;
    Certificate cert = ReadCertificate(certificate, why);
    if (cert == nullptr) return {};
    const ASN1_TIME* notAfter = X509_get0_notAfter(cert.get());
    std::unique_ptr<ASN1_TIME, Asn1TimeFree> from(
        ASN1_TIME_set(nullptr, std::chrono::system_clock::to_time_t(now)));
    int days = 0;
    int seconds = 0;
    if (from == nullptr || ASN1_TIME_diff(&days, &seconds, from.get(), notAfter) != 1) return {};
    const auto left = std::chrono::hours(24) * days + std::chrono::seconds(seconds);
    if (left > within || left <= std::chrono::seconds(0)) return {};
    Bio text(BIO_new(BIO_s_mem()));
    std::string date;
    if (text != nullptr && ASN1_TIME_print(text.get(), notAfter) == 1) {
        char* data = nullptr;
        const long size = BIO_get_mem_data(text.get(), &data);
        if (size > 0) date.assign(data, static_cast<std::size_t>(size));
    }
    return Named(certificate) + ": the certificate expires in " + std::to_string(days) +
           (days == 1 ? " day" : " days") + (date.empty() ? "" : " (" + date + ")") +
           "; renew it before then";
}

}  // namespace service
