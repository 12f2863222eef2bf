// sarnavel-release: the release side of updates.
//   genkey <private.pem>            make a new Ed25519 release key
//   pubkey <private.pem>            print its public key (hex) for SARNAVEL_RELEASE_PUBKEY
//   hash <file>...                  print Size= and SHA256= lines for the control file
//   sign <private.pem> <control>    write <control>.sig
//   verify <control> [public-hex]   check <control>.sig (built-in key by default)
#include "ControlFile.h"
#include "Signing.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

namespace {

int usage() {
    std::fprintf(stderr, "usage: sarnavel-release genkey <private.pem>\n"
                         "       sarnavel-release pubkey <private.pem>\n"
                         "       sarnavel-release hash <file>...\n"
                         "       sarnavel-release sign <private.pem> <control-file>\n"
                         "       sarnavel-release verify <control-file> [public-key-hex]\n");
    return 2;
}

bool readFile(const QString& path, QByteArray* out, qint64 cap = webupdate::MaxControlFileSize) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() > cap) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return false;
    }
    *out = f.readAll();
    return true;
}

bool writeFile(const QString& path, const QByteArray& data, QFileDevice::Permissions perms = {}) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    if (perms)
        f.setPermissions(perms);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage();
    const QString cmd = args.first();
    if (cmd == u"genkey" && args.size() == 2) {
        if (QFileInfo::exists(args[1])) {
            std::fprintf(stderr, "%s exists; not overwritten\n", qPrintable(args[1]));
            return 1;
        }
        const QByteArray pem = webupdate::generatePrivateKeyPem();
        return !pem.isEmpty() && writeFile(args[1], pem, QFile::ReadOwner | QFile::WriteOwner) ? 0 : 1;
    }
    if (cmd == u"pubkey" && args.size() == 2) {
        QByteArray pem;
        if (!readFile(args[1], &pem))
            return 1;
        const QByteArray pub = webupdate::publicKeyOfPrivatePem(pem);
        if (pub.isEmpty()) {
            std::fprintf(stderr, "%s is not an Ed25519 private key\n", qPrintable(args[1]));
            return 1;
        }
        std::printf("%s\n", pub.toHex().constData());
        return 0;
    }
    if (cmd == u"hash" && args.size() >= 2) {
        for (const QString& path : args.mid(1)) {
            qint64 size = 0;
            const QByteArray sha = webupdate::sha256OfFile(path, &size);
            if (sha.isEmpty()) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
                return 1;
            }
            std::printf("; %s\nSize=%lld\nSHA256=%s\n", qPrintable(path), static_cast<long long>(size),
                        sha.toHex().constData());
        }
        return 0;
    }
    if (cmd == u"sign" && args.size() == 3) {
        QByteArray pem, control;
        if (!readFile(args[1], &pem) || !readFile(args[2], &control))
            return 1;
        QString err;
        if (!webupdate::ControlFile::parse(control, QUrl(QStringLiteral("http://localhost/")), {}, &err)) {
            std::fprintf(stderr, "%s is not a valid control file: %s\n", qPrintable(args[2]),
                         qPrintable(err));
            return 1;
        }
        const QByteArray sig = webupdate::signEd25519(pem, control, &err);
        if (sig.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(err));
            return 1;
        }
        return writeFile(args[2] + QStringLiteral(".sig"), webupdate::encodeSignatureFile(sig)) ? 0 : 1;
    }
    if (cmd == u"verify" && (args.size() == 2 || args.size() == 3)) {
        QByteArray control, sigText;
        if (!readFile(args[1], &control) || !readFile(args[1] + QStringLiteral(".sig"), &sigText, 1024))
            return 1;
        const QByteArray key =
            args.size() == 3 ? QByteArray::fromHex(args[2].toLatin1()) : webupdate::releasePublicKey();
        const bool ok = webupdate::verifyEd25519(key, control, webupdate::decodeSignatureFile(sigText));
        std::printf("%s\n", ok ? "signature OK" : "signature does NOT verify");
        return ok ? 0 : 1;
    }
    return usage();
}
