#pragma once
// Umbrella header of the tethering framework. (Skeleton.)

#include <QObject>
#include <QString>

class TRemoteResource;

class TTetheringManager : public QObject {
    Q_OBJECT
public:
    explicit TTetheringManager(QObject* parent = nullptr);
    ~TTetheringManager() override;
    QString Text;
    QString AllowedAdapters = QStringLiteral("Network");
    bool Enabled = true;
    QString Password;
};

class TTetheringAppProfile : public QObject {
    Q_OBJECT
public:
    explicit TTetheringAppProfile(QObject* parent = nullptr);
    ~TTetheringAppProfile() override;
    // Attaching the profile to a manager starts the manager's adapters.
    void SetManager(TTetheringManager* manager);
    TTetheringManager* Manager() const { return m_manager; }
    QString Text;
    QString Group;
    bool Visible = true;
    bool Enabled = true;

Q_SIGNALS:
    void OnResourceReceived(QObject* Sender, const TRemoteResource& Resource);

private:
    TTetheringManager* m_manager = nullptr;
};
