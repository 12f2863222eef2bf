#pragma once
// The tethering text exchange behind the window: received resources go to the
// received-text box, the typed text goes to the companion app's profile, and
// the box can be copied to the clipboard.

#include <QObject>
#include <QString>
#include <QStringList>

class QWidget;
class TEdit;
class TMemo;
class TRemoteResource;
class TSaveDialog;
class TTetheringAppProfile;
class TTetheringManager;

class TetheringControl : public QObject {
    Q_OBJECT
public:
    struct Components {
        TTetheringManager* manager = nullptr;
        TTetheringAppProfile* profile = nullptr;
        TMemo* memo = nullptr;
        TEdit* edit = nullptr;
        TSaveDialog* saveDialog = nullptr;
        QWidget* window = nullptr; // owner of the save dialog
    };

    // The companion app's profile text and the description of every sent text.
    static inline const QString ClientProfileText = QStringLiteral("TorvaneClient");
    static inline const QString ChatString = QStringLiteral("Chat String");

    TetheringControl(const Components& components, QObject* parent = nullptr);

    // A data resource becomes one new line (its text; empty for non-text values);
    // a stream is offered to the save dialog and written to the chosen file.
    void TAppProfile1ResourceReceived(QObject* Sender, const TRemoteResource& Resource);
    // Sends the edit box's text to the last remote profile named "TorvaneClient"
    // (else the first remote profile). An empty list raises EListError.
    void sendtextbtnClick(QObject* Sender);
    // The whole received-text box to the clipboard.
    void AeroSpeedButton1Click(QObject* Sender);

    // Received lines still on their way into the box; they go in together once
    // the pending resources are handled (one layout pass instead of one per line).
    void flushLines();

private:
    void saveStream(const TRemoteResource& resource);

    Components m_c;
    QStringList m_pendingLines;
    bool m_flushQueued = false;
};
