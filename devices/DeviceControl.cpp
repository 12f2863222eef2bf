#include "DeviceControl.h"

#include "Controls.h"
#include "MessageBoxes.h"
#include "RadioControl.h"
#include "TAdvOfficeStatusBar.h"
#include "TAdvSmoothWin8Marquee.h"
#include "wclBluetooth.h"

#include <QLoggingCategory>
#include <QTreeWidgetItem>

// Debug output only on request (QT_LOGGING_RULES): the program reports to the user through boxes.
Q_LOGGING_CATEGORY(lcDevices, "sarnavel.devices", QtInfoMsg)

namespace {
// Sub-items of a device row.
constexpr int ClassCell = 0;
constexpr int NameCell = 1;
constexpr int PairedCell = 2;
// Code of a search request refused because one is already running.
constexpr int DiscoveryActive = 21;
} // namespace

DeviceControl::DeviceControl(const Components& components, RadioControl* radio, QObject* parent)
    : QObject(parent)
    , m_discovery(components.discovery)
    , m_devices(components.devices)
    , m_indicator(components.indicator)
    , m_statusBar(components.statusBar)
    , m_radio(radio) {}

void DeviceControl::showIndicator(bool on) {
    if (m_indicator)
        m_indicator->setVisible(on);
    if (m_statusBar && m_statusBar->PanelCount() > 0)
        m_statusBar->SetPanelText(0, on ? SearchingText : QString());
}

QTreeWidgetItem* DeviceControl::selectedRow() const {
    return m_devices ? m_devices->Selected() : nullptr;
}

void DeviceControl::DiscoverBtn2Click(QObject*) {
    if (!m_radio || !m_discovery)
        return;
    const std::unique_ptr<TwclBluetoothRadio> radio = m_radio->GetSelectedRadio();
    if (!radio)
        return;
    const quint64 completionsBefore = m_completions;
    const int code = m_discovery->Discovery(radio.get(), SearchTimeout, false);
    // A completion may already have been handled inside Discovery; then nothing is pending.
    searchRequested(code, code == 0 && m_completions == completionsBefore);
}

void DeviceControl::searchRequested(int code, bool accepted) {
    qCDebug(lcDevices) << "search request" << code;
    if (accepted)
        m_searchPending = true;
    wclShowError(code);
    // The indicator claims a running search whose completion will turn it off again, so
    // it goes on only while one of ours is pending: accepted now, or already running when
    // the answer is 21. After any other refusal no completion would follow.
    if (m_searchPending && (code == 0 || code == DiscoveryActive))
        showIndicator(true);
}

void DeviceControl::wclBluetoothDiscoveryDiscoveryStarted(QObject*, TwclBluetoothRadio*) {
    if (m_devices)
        m_devices->Clear();
}

void DeviceControl::wclBluetoothDiscoveryDiscoveryComplete(QObject*, TwclBluetoothRadio*,
                                                           TwclBluetoothDevices* Devices) {
    m_searchPending = false;
    ++m_completions;
    qCDebug(lcDevices) << "search complete" << (Devices ? Devices->Count() : -1);
    if (!Devices) {
        // The box comes first; the indicator stays on until the user has closed it.
        vcl::MessageBoxes::error(QStringLiteral("Discovery complete with error"));
        showIndicator(false);
        return;
    }
    if (Devices->Count() == 0) {
        vcl::MessageBoxes::information(QStringLiteral("Nothing found"));
        showIndicator(false);
        return;
    }
    for (int i = 0; i < Devices->Count(); ++i) {
        if (!m_devices)
            return;
        QTreeWidgetItem* row = m_devices->AddRow(Devices->Items(i)->Address());
        for (int cell : {ClassCell, NameCell, PairedCell})
            TListView::SetSubItem(row, cell, QString());
        m_devices->SetSelected(row);
        RefreshDevice();
        showIndicator(false);
    }
}

void DeviceControl::RefreshDevice() {
    if (!m_radio)
        return;
    const std::unique_ptr<TwclBluetoothRadio> radio = m_radio->GetSelectedRadio();
    if (!radio)
        return;
    const std::unique_ptr<TwclBluetoothDevice> device = GetSelectedDevice();
    if (!device)
        return;

    // Each cell goes to the row selected at the moment it is written.
    quint32 cod = 0;
    int code = device->GetClassOfDevice(radio.get(), cod);
    TListView::SetSubItem(selectedRow(), ClassCell,
                          code == 0 ? QString::number(cod) : RadioControl::errorCell(code));

    QString name;
    code = device->GetName(radio.get(), name);
    TListView::SetSubItem(selectedRow(), NameCell, code == 0 ? name : RadioControl::errorCell(code));

    bool paired = false;
    code = device->GetPaired(radio.get(), paired);
    TListView::SetSubItem(selectedRow(), PairedCell,
                          code == 0 ? (paired ? QStringLiteral("YES") : QStringLiteral("NO"))
                                    : RadioControl::errorCell(code));
}

std::unique_ptr<TwclBluetoothDevice> DeviceControl::GetSelectedDevice() {
    QTreeWidgetItem* row = selectedRow();
    if (!row) {
        vcl::MessageBoxes::warning(QStringLiteral("Select device"));
        return nullptr;
    }
    auto device = std::make_unique<TwclBluetoothDevice>();
    // Refuses anything but an address text (the caption may have been edited) by throwing.
    device->SetAddress(TListView::Caption(row));
    return device;
}

void DeviceControl::PairBtnClick(QObject*) {
    if (!m_radio)
        return;
    std::unique_ptr<TwclBluetoothRadio> radio = m_radio->GetSelectedRadio();
    if (!radio)
        return;
    std::unique_ptr<TwclBluetoothDevice> device = GetSelectedDevice();
    if (!device)
        return;
    device->OnNumericComparison = &DeviceControl::DeviceNumericComparison;
    // Pair may serve D-Bus while it waits; from here on only locals are touched.
    wclShowError(device->Pair(radio.get()));
    device.reset();
    radio.reset();
}

void DeviceControl::UnPairBtnClick(QObject*) {
    UnPair();
}

void DeviceControl::UnPair() {
    if (!m_radio)
        return;
    std::unique_ptr<TwclBluetoothRadio> radio = m_radio->GetSelectedRadio();
    if (!radio)
        return;
    std::unique_ptr<TwclBluetoothDevice> device = GetSelectedDevice();
    if (!device)
        return;
    wclShowError(device->Unpair(radio.get()));
    device.reset();
    radio.reset();
}

void DeviceControl::DeviceNumericComparison(QObject*, quint32, bool& Confirm) {
    Confirm = true;
}
