// Update check at start-up: the settings of the checker and its wizard.
#include "TfmVelkor.h"

#include "UpdateSettings.h"
#include "WebUpdate.h"

void TfmVelkor::setupUpdate() {
    if (WebUpdate1)
        update::configureWebUpdate(WebUpdate1);
    if (WebUpdateWizard1)
        update::configureWizard(WebUpdateWizard1, WebUpdate1);
}
