// Tethering text exchange: the window's handlers for received and sent texts.
#include "TfmVelkor.h"

#include "Application.h"
#include "Controls.h"
#include "TAeroSpeedButton.h"
#include "Tethering.h"
#include "TetheringControl.h"

void TfmVelkor::setupTethering() {
    // Stored settings of the manager and the server profile.
    TManager1->Text = QStringLiteral("TManager1");
    TManager1->AllowedAdapters = QStringLiteral("Bluetooth");
    TAppProfile1->Text = QStringLiteral("Quenlith Server");
    TAppProfile1->Group = QStringLiteral("quillmarsh");

    m_tethering = new TetheringControl({TManager1, TAppProfile1, Memo1, Edit1, SaveDialog1, this}, this);
    // The controller is the context: a resource still queued when the window goes is dropped.
    connect(TAppProfile1, &TTetheringAppProfile::OnResourceReceived, m_tethering,
            [this](QObject* Sender, const TRemoteResource& Resource) {
                vcl::Application::guard([&] { TAppProfile1ResourceReceived(Sender, Resource); });
            });
    connect(sendtextbtn, &QAbstractButton::clicked, m_tethering,
            [this] { vcl::Application::guard([this] { sendtextbtnClick(sendtextbtn); }); });
    connect(AeroSpeedButton1, &QAbstractButton::clicked, m_tethering,
            [this] { vcl::Application::guard([this] { AeroSpeedButton1Click(AeroSpeedButton1); }); });

    // Attaching starts the server; it waits (bounded) for the Bluetooth adapter.
    TAppProfile1->SetManager(TManager1);
}

void TfmVelkor::TAppProfile1ResourceReceived(QObject* Sender, const TRemoteResource& Resource) {
    m_tethering->TAppProfile1ResourceReceived(Sender, Resource);
}

void TfmVelkor::sendtextbtnClick(QObject* Sender) {
    m_tethering->sendtextbtnClick(Sender);
}

void TfmVelkor::AeroSpeedButton1Click(QObject* Sender) {
    m_tethering->AeroSpeedButton1Click(Sender);
}
