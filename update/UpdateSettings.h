#pragma once
// The configuration of the window's update checker WebUpdate1 and its wizard
// WebUpdateWizard1, as the stored layout sets them.

#include <QFont>
#include <QString>

class TWebUpdate;
class TWebUpdateWizard;

namespace update {

inline constexpr const char* ControlFilePath = "/Quillmarsh/KelvornUp.inf";

// Address of the update control file on the given host.
QString controlFileUrl(const QString& host);

// Verdana, 12 pixels, bold; the nearest face where Verdana is not installed.
QFont wizardFont();

void configureWebUpdate(TWebUpdate* webUpdate);
void configureWizard(TWebUpdateWizard* wizard, TWebUpdate* webUpdate);

} // namespace update
