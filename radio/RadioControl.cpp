#include "RadioControl.h"

#include "Controls.h"
#include "MessageBoxes.h"
#include "wclBluetooth.h"

#include <QLoggingCategory>
#include <QTreeWidgetItem>

// Debug output only on request (QT_LOGGING_RULES): the program reports to the user through boxes.
Q_LOGGING_CATEGORY(lcRadio, "sarnavel.radio", QtInfoMsg)

namespace {
// Sub-items of a radio row.
constexpr int ApiCell = 0;
constexpr int ConnectableCell = 1;
constexpr int DiscoverableCell = 2;
constexpr int NameCell = 3;

QString yesNo(bool flag) {
    return flag ? QStringLiteral("Yes") : QStringLiteral("No");
}
} // namespace

RadioControl::RadioControl(const Components& components, QObject* parent)
    : QObject(parent)
    , m_discovery(components.discovery)
    , m_radios(components.radios)
    , m_discoverable(components.discoverable)
    , m_connectable(components.connectable) {}

QString RadioControl::stackName(int api) {
    switch (api) {
    case baBlueSoleil:
        return QStringLiteral("BlueSoleil");
    case baMicrosoft:
        return QStringLiteral("Microsoft");
    case baToshiba:
        return QStringLiteral("Toshiba");
    case baWidComm:
        return QStringLiteral("WidComm");
    case baBlueZ:
        return QStringLiteral("BlueZ");
    default:
        return QStringLiteral("Unknown");
    }
}

QString RadioControl::errorCell(int code) {
    return QStringLiteral("Error: %1").arg(code);
}

std::unique_ptr<TwclBluetoothRadio> RadioControl::GetSelectedRadio() {
    std::unique_ptr<TwclBluetoothRadio> radio;
    if (m_discovery) {
        // The enumeration is released at the end of this block; the copy stays usable.
        TwclBluetoothRadios radios;
        const int code = m_discovery->EnumRadios(&radios);
        if (!wclShowError(code) && radios.Count() > 0) {
            radio = std::make_unique<TwclBluetoothRadio>();
            radio->Assign(*radios.Items(0));
        }
        qCDebug(lcRadio) << "enumeration" << code << "radios" << radios.Count();
    }
    if (!radio)
        vcl::MessageBoxes::warning(QStringLiteral("No Bluetooth API was found."));
    return radio;
}

void RadioControl::EnumBLDevice() {
    ClearRadios();
    if (!m_discovery || !m_radios)
        return;
    TwclBluetoothRadios radios;
    if (wclShowError(m_discovery->EnumRadios(&radios)))
        return;
    for (int i = 0; i < radios.Count(); ++i) {
        QTreeWidgetItem* row = m_radios->AddRow(QString());
        TListView::SetSubItem(row, ApiCell, stackName(radios.Items(i)->Api()));
        for (int cell : {ConnectableCell, DiscoverableCell, NameCell})
            TListView::SetSubItem(row, cell, QString());
        // The row remembers which stack it was made for; nothing reads it back.
        row->setData(0, Qt::UserRole, int(radios.Items(i)->Api()));
        m_radios->SetSelected(row);

        // Setting a slider from code raises no event, so the fill writes nothing to the radio.
        const bool discoverable = getDiscoverable();
        if (m_discoverable) {
            m_discoverable->setEnabled(true);
            m_discoverable->setState(discoverable ? ssOn : ssOff);
        }
        const bool connectable = getConnectable();
        if (m_connectable) {
            m_connectable->setEnabled(true);
            m_connectable->setState(connectable ? ssOn : ssOff);
        }
        RefreshRadio();
    }
}

void RadioControl::ClearRadios() {
    if (m_radios)
        m_radios->Clear();
}

void RadioControl::RefreshRadio() {
    const std::unique_ptr<TwclBluetoothRadio> radio = GetSelectedRadio();
    if (!radio)
        return;
    // No selected row (the user cleared the selection): no row is named to take the
    // texts, so nothing is read or written.
    QTreeWidgetItem* row = m_radios ? m_radios->Selected() : nullptr;
    if (!row)
        return;

    QString address;
    int code = radio->GetAddress(address);
    TListView::SetCaption(row, code == 0 ? address : errorCell(code));

    bool flag = false;
    code = radio->GetConnectable(flag);
    TListView::SetSubItem(row, ConnectableCell, code == 0 ? yesNo(flag) : errorCell(code));

    flag = false;
    code = radio->GetDiscoverable(flag);
    TListView::SetSubItem(row, DiscoverableCell, code == 0 ? yesNo(flag) : errorCell(code));

    QString name;
    code = radio->GetName(name);
    TListView::SetSubItem(row, NameCell, code == 0 ? name : errorCell(code));
}

bool RadioControl::readFlag(FlagKind which) {
    const std::unique_ptr<TwclBluetoothRadio> radio = GetSelectedRadio();
    if (!radio)
        return false;
    bool flag = false;
    const int code =
        which == FlagKind::Discoverable ? radio->GetDiscoverable(flag) : radio->GetConnectable(flag);
    wclShowError(code);
    RefreshRadio();
    return code == 0 && flag;
}

void RadioControl::writeFlag(FlagKind which, bool value) {
    const std::unique_ptr<TwclBluetoothRadio> radio = GetSelectedRadio();
    if (!radio)
        return;
    // A refusal is shown, then the row is re-read either way: it shows what the radio
    // really holds, while the slider stays where the user put it.
    wclShowError(which == FlagKind::Discoverable ? radio->SetDiscoverable(value)
                                                 : radio->SetConnectable(value));
    RefreshRadio();
}

bool RadioControl::getConnectable() {
    return readFlag(FlagKind::Connectable);
}

bool RadioControl::getDiscoverable() {
    return readFlag(FlagKind::Discoverable);
}

void RadioControl::SetConnectable(bool Flag) {
    writeFlag(FlagKind::Connectable, Flag);
}

void RadioControl::SetDiscoverable(bool Flag) {
    writeFlag(FlagKind::Discoverable, Flag);
}

void RadioControl::Slider1StateChanged(QObject*, TAdvSmoothSliderState State, double) {
    if (State == ssOn)
        SetDiscoverable(true);
    else if (State == ssOff)
        SetDiscoverable(false);
}

void RadioControl::Slider2StateChanged(QObject*, TAdvSmoothSliderState State, double) {
    if (State == ssOn)
        SetConnectable(true);
    else if (State == ssOff)
        SetConnectable(false);
}
