// Update check at start-up: the settings of the checker and its wizard.
#include "TfmVelkor.h"

#include "WebUpdate.h"

void TfmVelkor::setupUpdate() {}
