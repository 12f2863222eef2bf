#include "Signing.h"

#include "ReleaseKey.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace webupdate {

namespace {
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey readPrivate(const QByteArray& pem) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    if (!bio)
        return {};
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return {};
    return key;
}
} // namespace

Sha256::Sha256()
    : m_ctx(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(m_ctx), EVP_sha256(), nullptr);
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_ctx));
}

void Sha256::addData(const char* data, qint64 size) {
    if (size > 0)
        EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(m_ctx), data, size_t(size));
}

QByteArray Sha256::result() {
    QByteArray out(32, Qt::Uninitialized);
    unsigned int len = 32;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(m_ctx), reinterpret_cast<unsigned char*>(out.data()), &len);
    return out;
}

QByteArray Sha256::hash(const QByteArray& data) {
    Sha256 h;
    h.addData(data);
    return h.result();
}

QByteArray releasePublicKey() {
    return QByteArray::fromHex(QByteArrayLiteral(SARNAVEL_RELEASE_PUBKEY_HEX));
}

bool verifyEd25519(const QByteArray& publicKey, const QByteArray& message, const QByteArray& signature) {
    if (publicKey.size() != 32 || signature.size() != 64)
        return false;
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                         reinterpret_cast<const unsigned char*>(publicKey.constData()), 32));
    if (!key)
        return false;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.constData()), 64,
                            reinterpret_cast<const unsigned char*>(message.constData()),
                            size_t(message.size())) == 1;
}

QByteArray decodeSignatureFile(const QByteArray& text) {
    if (text.size() > 1024)
        return {};
    const auto r = QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!r || r.decoded.size() != 64)
        return {};
    return r.decoded;
}

QByteArray encodeSignatureFile(const QByteArray& signature) {
    return signature.toBase64() + '\n';
}

QByteArray signEd25519(const QByteArray& privateKeyPem, const QByteArray& message, QString* error) {
    Pkey key = readPrivate(privateKeyPem);
    if (!key) {
        if (error)
            *error = QStringLiteral("not an Ed25519 private key in PEM form");
        return {};
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    size_t len = 64;
    QByteArray sig(64, Qt::Uninitialized);
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                       reinterpret_cast<const unsigned char*>(message.constData()),
                       size_t(message.size())) != 1 ||
        len != 64) {
        if (error)
            *error = QStringLiteral("signing failed");
        return {};
    }
    return sig;
}

QByteArray publicKeyOfPrivatePem(const QByteArray& privateKeyPem) {
    Pkey key = readPrivate(privateKeyPem);
    if (!key)
        return {};
    QByteArray pub(32, Qt::Uninitialized);
    size_t len = 32;
    if (EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char*>(pub.data()), &len) != 1 ||
        len != 32)
        return {};
    return pub;
}

QByteArray generatePrivateKeyPem() {
    EVP_PKEY* raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!raw)
        return {};
    Pkey key(raw);
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, int(n));
}

} // namespace webupdate
