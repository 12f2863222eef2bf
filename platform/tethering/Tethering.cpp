#include "Tethering.h"

TTetheringManager::TTetheringManager(QObject* parent)
    : QObject(parent)
{
}
TTetheringManager::~TTetheringManager() = default;

TTetheringAppProfile::TTetheringAppProfile(QObject* parent)
    : QObject(parent)
{
}
TTetheringAppProfile::~TTetheringAppProfile() = default;

void TTetheringAppProfile::SetManager(TTetheringManager* manager)
{
    m_manager = manager;
}
