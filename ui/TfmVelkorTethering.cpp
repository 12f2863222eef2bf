// Tethering text exchange: the window's handlers for received and sent texts.
#include "TfmVelkor.h"

#include "Tethering.h"

void TfmVelkor::setupTethering() {}
void TfmVelkor::TAppProfile1ResourceReceived(QObject*, const TRemoteResource&) {}
void TfmVelkor::sendtextbtnClick(QObject*) {}
void TfmVelkor::AeroSpeedButton1Click(QObject*) {}
