#include "WebUpdate.h"

#include <QCoreApplication>
#include <QDir>

TWebUpdate::TWebUpdate(QObject* parent)
    : QObject(parent)
{
}
TWebUpdate::~TWebUpdate() = default;

TWebUpdateWizard::TWebUpdateWizard(QObject* parent)
    : QObject(parent)
{
}
TWebUpdateWizard::~TWebUpdateWizard() = default;

void TWebUpdateWizard::Execute(bool InitPath)
{
    if (InitPath)
        QDir::setCurrent(QCoreApplication::applicationDirPath());
}
