#pragma once
// Umbrella header of the update framework. (Skeleton.)

#include <QFont>
#include <QObject>
#include <QString>

class TWebUpdate : public QObject {
    Q_OBJECT
public:
    explicit TWebUpdate(QObject* parent = nullptr);
    ~TWebUpdate() override;
};

class TWebUpdateWizard : public QObject {
    Q_OBJECT
public:
    explicit TWebUpdateWizard(QObject* parent = nullptr);
    ~TWebUpdateWizard() override;
    TWebUpdate* WebUpdate = nullptr;
    QFont Font;
    // Makes the executable's folder the current directory when InitPath is true,
    // then runs the wizard as a modal dialog; returns when it has closed.
    void Execute(bool InitPath);
};
