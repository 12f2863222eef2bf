#pragma once
// Ed25519 signatures of the control file. The control file is signed as a whole;
// the signature sits next to it on the server as "<name>.sig" (base64 text).

#include <QByteArray>
#include <QString>

namespace webupdate {

// Streaming SHA-256 (OpenSSL's, several times faster than QCryptographicHash here).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void addData(const char* data, qint64 size);
    void addData(const QByteArray& data) { addData(data.constData(), data.size()); }
    QByteArray result(); // 32 raw bytes; ends the hash
    static QByteArray hash(const QByteArray& data);

private:
    void* m_ctx;
};

// The release public key built into the program (32 raw bytes).
QByteArray releasePublicKey();

// True when sig (64 raw bytes) is a valid Ed25519 signature of message under publicKey.
bool verifyEd25519(const QByteArray& publicKey, const QByteArray& message, const QByteArray& signature);

// Reads a ".sig" file: base64 text, surrounding whitespace allowed; empty when malformed.
QByteArray decodeSignatureFile(const QByteArray& text);
QByteArray encodeSignatureFile(const QByteArray& signature);

// Signs with a PEM private key (release tool, tests); empty with *error on failure.
QByteArray signEd25519(const QByteArray& privateKeyPem, const QByteArray& message, QString* error);
// The raw public key of a PEM private key; empty on failure.
QByteArray publicKeyOfPrivatePem(const QByteArray& privateKeyPem);
// A fresh private key in PEM form.
QByteArray generatePrivateKeyPem();

} // namespace webupdate
