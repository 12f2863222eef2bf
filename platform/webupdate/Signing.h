#pragma once
// Ed25519 signatures of the control file. The control file is signed as a whole;
// the signature sits next to it on the server as "<name>.sig" (base64 text).

#include <QByteArray>
#include <QString>

namespace webupdate {

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
