#pragma once
// Helpers shared by the update tests and the benchmark: the test release key,
// building and publishing signed control files.

#include "ControlFile.h"
#include "HttpTestServer.h"
#include "Signing.h"

#include <QCryptographicHash>
#include <QFile>
#include <QString>

namespace updatetest {

inline const QString ControlPath = QStringLiteral("/Quillmarsh/KelvornUp.inf");

inline QByteArray testKeyPem() {
    QFile f(QStringLiteral(SARNAVEL_TEST_KEY_PEM));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline QByteArray sign(const QByteArray& control, const QByteArray& pem = testKeyPem()) {
    QString err;
    return webupdate::signEd25519(pem, control, &err);
}

inline QString sha256Hex(const QByteArray& data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

// A [FileN] section for a body served at url.
inline QString fileSection(int n, const QString& name, const QByteArray& body, const QString& url,
                           const QString& extra = {}) {
    return QStringLiteral("[File%1]\nName=%2\nURL=%3\nSize=%4\nSHA256=%5\n%6\n")
        .arg(n)
        .arg(name, url)
        .arg(body.size())
        .arg(sha256Hex(body), extra);
}

// Serves the control file at the checker's path with a valid signature.
inline void publish(HttpTestServer& server, const QString& control) {
    const QByteArray bytes = control.toUtf8();
    server.setResponse(ControlPath, bytes);
    server.setResponse(ControlPath + QStringLiteral(".sig"), webupdate::encodeSignatureFile(sign(bytes)));
}

} // namespace updatetest
