// The main window: the stored layout, start-up (FormCreate/FormShow) and shutdown.
#include "TfmVelkor.h"

#include "ui_TfmVelkor.h"

#include "Application.h"
#include "Controls.h"
#include "ExeInfo.h"
#include "TAdvOfficeStatusBar.h"
#include "TAdvPanel.h"
#include "TAdvSmoothWin8Marquee.h"
#include "TAeroSpeedButton.h"
#include "TGradientLabel.h"
#include "Tethering.h"
#include "WebUpdate.h"
#include "wclBluetooth.h"

#include <QHeaderView>
#include <QIcon>
#include <QLoggingCategory>
#include <QScreen>
#include <QShowEvent>

Q_LOGGING_CATEGORY(lcShell, "sarnavel.shell")

TfmVelkor* fmVelkor = nullptr;

namespace {
QFont pixelFont(const QString& family, int pixels, bool bold = false)
{
    QFont f(family);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

void setColumns(TListView* list, std::initializer_list<int> widths)
{
    int i = 0;
    for (int w : widths)
        list->header()->resizeSection(i++, w);
}
} // namespace

TfmVelkor::TfmVelkor(QWidget* parent)
    : TfmVelkor(Options{}, parent)
{
}

TfmVelkor::TfmVelkor(const Options& options, QWidget* parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::TfmVelkor>())
{
    createComponents();
    bindEvents();
    if (options.runFormCreate)
        vcl::Application::guard([this] { FormCreate(this); });
}

TfmVelkor::~TfmVelkor()
{
    // Components are children of the window: they still exist here and are freed afterwards.
    m_destroyed = true;
    vcl::Application::guard([this] { FormDestroy(this); });
    if (fmVelkor == this)
        fmVelkor = nullptr;
}

void TfmVelkor::createComponents()
{
    m_ui->setupUi(this);
    auto& u = *m_ui;

    // Declaration order of the components.
    AdvPanel1 = u.AdvPanel1;
    StatusBar1 = u.StatusBar1;
    Marquee1 = u.Marquee1;
    wclAPI = new TwclAPI(this);
    wclAPI->setObjectName(QStringLiteral("wclAPI"));
    wclBluetoothDiscovery = new TwclBluetoothDiscovery(this);
    wclBluetoothDiscovery->setObjectName(QStringLiteral("wclBluetoothDiscovery"));
    DiscoverBtn2 = u.DiscoverBtn2;
    PairBtn = u.PairBtn;
    UnPairBtn = u.UnPairBtn;
    AdvPanel2 = u.AdvPanel2;
    GradientLabel2 = u.GradientLabel2;
    GradientLabel4 = u.GradientLabel4;
    Slider1 = u.Slider1;
    Slider2 = u.Slider2;
    lvRadios = u.lvRadios;
    lvDevices2 = u.lvDevices2;
    AdvPanel3 = u.AdvPanel3;
    QuitBtn = u.QuitBtn;
    AdvPanel4 = u.AdvPanel4;
    TManager1 = new TTetheringManager(this);
    TManager1->setObjectName(QStringLiteral("TManager1"));
    TAppProfile1 = new TTetheringAppProfile(this);
    TAppProfile1->setObjectName(QStringLiteral("TAppProfile1"));
    Memo1 = u.Memo1;
    GradientLabel1 = u.GradientLabel1;
    SaveDialog1 = new TSaveDialog(this);
    SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
    AeroSpeedButton1 = u.AeroSpeedButton1;
    Edit1 = u.Edit1;
    GradientLabel3 = u.GradientLabel3;
    sendtextbtn = u.sendtextbtn;
    WebUpdate1 = new TWebUpdate(this);
    WebUpdate1->setObjectName(QStringLiteral("WebUpdate1"));
    WebUpdateWizard1 = new TWebUpdateWizard(this);
    WebUpdateWizard1->setObjectName(QStringLiteral("WebUpdateWizard1"));
    WebUpdateWizard1->WebUpdate = WebUpdate1;
    ExeInfo1 = new TExeInfo(this); // reads the version resource now, while the layout loads
    ExeInfo1->setObjectName(QStringLiteral("ExeInfo1"));

    // Window settings: fixed dialog border with a close button only.
    setWindowFlags(Qt::Window | Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(828, 482);
    setWindowIcon(QIcon(QStringLiteral(":/icons/sarnavel-server.png")));
    setFont(pixelFont(QStringLiteral("Tahoma"), 11));

    // Settings the layout format cannot say by itself: pixel fonts, columns, panels.
    for (TGradientLabel* l : {GradientLabel1, GradientLabel2, GradientLabel3, GradientLabel4})
        l->setFont(pixelFont(QStringLiteral("メイリオ"), 11));
    for (TAdvPanel* p : {AdvPanel1, AdvPanel2, AdvPanel3, AdvPanel4})
        p->setFont(pixelFont(QStringLiteral("Tahoma"), 11));
    setColumns(lvRadios, {120, 80, 80, 80, 120});
    setColumns(lvDevices2, {150, 100, 120, 80});
    StatusBar1->AddPanel(100);
    StatusBar1->AddPanel(100);
    Slider1->setState(ssOn);
    Slider2->setState(ssOn);

    // Each subsystem makes its controller and sets its components' stored settings.
    // The tethering server starts here, before FormCreate runs.
    setupUpdate();
    setupRadio();
    setupDevices();
    setupTethering();
}

void TfmVelkor::bindEvents()
{
    connect(QuitBtn, &QAbstractButton::clicked, this,
            [this] { vcl::Application::guard([this] { QuitBtnClick(QuitBtn); }); });
}

void TfmVelkor::FormCreate(QObject*)
{
    wclAPI->Load(); // the result is looked at by the radio enumeration, not here

    setWindowTitle(windowTitle() + QStringLiteral("   Ver.") + ExeInfo1->FileVersion() + QStringLiteral("   OS: ")
                   + ExeInfo1->GetOperatingSystem());

    // The indicator covers the status bar behind its first panel.
    Marquee1->resize(StatusBar1->width() - 100, Marquee1->height());

    WebUpdateWizard1->Execute(true);
}

void TfmVelkor::FormShow(QObject*)
{
    EnumBLDevice();
}

void TfmVelkor::FormDestroy(QObject*)
{
    wclAPI->Unload();
}

void TfmVelkor::QuitBtnClick(QObject*)
{
    close();
}

void TfmVelkor::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_shown || event->spontaneous())
        return;
    m_shown = true;
    // Centred on the desktop when first shown.
    if (const QScreen* s = screen())
        move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    vcl::Application::guard([this] { FormShow(this); });
}
