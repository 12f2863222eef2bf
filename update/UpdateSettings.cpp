#include "UpdateSettings.h"

#include "WebUpdate.h"

namespace update {

QString controlFileUrl(const QString& host) {
    return QStringLiteral("http://") + host + QLatin1String(ControlFilePath);
}

QFont wizardFont() {
    QFont f(QStringLiteral("Verdana"));
    f.setFamilies({QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans"),
                   QStringLiteral("Bitstream Vera Sans"), QStringLiteral("Liberation Sans"),
                   QStringLiteral("Arial")});
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(12);
    f.setBold(true);
    return f;
}

void configureWebUpdate(TWebUpdate* w) {
    w->URL = controlFileUrl(TWebUpdate::DefaultHost());
    w->Agent = QStringLiteral("TWebUpdate");
    w->DateFormat = QStringLiteral("dd/mm/yyyy");
    w->DateSeparator = u'/';
    w->TimeFormat = QStringLiteral("hh:nn");
    w->TimeSeparator = u':';
    w->Signature = QStringLiteral("WebUpdate");
    w->LogFileName = QStringLiteral("WUPDATE.LOG");
    w->TempDirectory = QStringLiteral(".");
    w->PostUpdateInfo = false;
    // Left at the checker's initial values.
    w->UpdateType = TWebUpdate::TUpdateType::HTTP;
    w->UseWinTempDir = true;
    w->ConnectionHandling = TWebUpdate::TConnectionHandling::Never;
    w->Authenticate = TWebUpdate::TAuthenticate::Never;
    w->SignatureCheck = false;
    w->Logging = false;
}

void configureWizard(TWebUpdateWizard* wizard, TWebUpdate* webUpdate) {
    wizard->WebUpdate = webUpdate;
    wizard->Font = wizardFont();
}

} // namespace update
