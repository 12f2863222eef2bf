// The update wizard: welcome, result, release notes, licence, components,
// download and end pages in one modal dialog that never waits on the network.
#include "WebUpdate.h"

#include "MessageBoxes.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

const QString TextWelcome =
    QStringLiteral("Press start to start checking for available application updates ...");
const QString TextNoConnect =
    QStringLiteral("Could not connect to update server or\nNo update found on server ...");
const QString TextNoNewVersion = QStringLiteral("No new version available.");
const QString TextNewVersionAvailable = QStringLiteral("New version available.");
const QString TextFailedDownload = QStringLiteral("Failed to download updates");
const QString TextNoFiles = QStringLiteral("No files found for update");
const QString TextCompleted = QStringLiteral("Update completed ...");
const QString TextPressRestart = QStringLiteral("Press restart to start the updated application.");
const QString TextShutdown = QStringLiteral("Shutdown application to update executable files ?");
const QString TextInstallFailed = QStringLiteral("The update could not be installed.");

QPixmap sidePicture() {
    QPixmap pm(120, 300);
    QPainter p(&pm);
    QLinearGradient g(0, 0, 0, pm.height());
    g.setColorAt(0, QColor(0x1f, 0x4e, 0x9c));
    g.setColorAt(1, QColor(0x6a, 0x3d, 0x9a));
    p.fillRect(pm.rect(), g);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::white, 6));
    const QRectF r(25, 95, 70, 70);
    p.drawArc(r, 30 * 16, 300 * 16);
    p.setBrush(Qt::white);
    const QPointF tip(r.center().x() + 35 * 0.866, r.center().y() - 35 * 0.5);
    p.drawPolygon(QPolygonF({tip + QPointF(-12, -4), tip + QPointF(8, -10), tip + QPointF(4, 10)}));
    return pm;
}

class WizardDialog : public QDialog {
public:
    WizardDialog(TWebUpdate* wu, const QFont& font);

    bool restartStarted() const { return m_restart; }

protected:
    void closeEvent(QCloseEvent* e) override {
        // The title-bar button ends the wizard on every page.
        e->accept();
        QDialog::closeEvent(e);
    }

private:
    enum class Step {
        Welcome,
        Checking,
        ResultExit,
        ResultGetUpdate,
        Notes,
        License,
        Components,
        Download,
        DoneRestart,
        DoneExit
    };

    QWidget* page(const char* name);
    QLabel* label(QWidget* parent, const char* name, const QString& text = {});
    void showPage(QWidget* p, Step step, const QString& button);
    void showResult(const QString& text, const QString& detail, Step step, const QString& button);
    void action();
    void onChecked(const TWebUpdate::CheckResult& r);
    void continueAfter(Step step);
    void onDownloaded(bool ok, const QString& reason);
    void restart(bool ask);
    void waitCursor(bool on);

    TWebUpdate* m_wu;
    Step m_step = Step::Welcome;
    bool m_restart = false;
    bool m_cursor = false;

    QStackedWidget* m_pages;
    QPushButton* m_action;
    QWidget* m_welcome;
    QWidget* m_result;
    QLabel* m_resultLabel;
    QLabel* m_detailLabel;
    QWidget* m_notes;
    QPlainTextEdit* m_notesText;
    QWidget* m_license;
    QPlainTextEdit* m_licenseText;
    QRadioButton* m_accept;
    QRadioButton* m_decline;
    QWidget* m_componentsPage;
    QListWidget* m_components;
    QWidget* m_download;
    QLabel* m_currentFile;
    QProgressBar* m_fileBar;
    QProgressBar* m_totalBar;
    QWidget* m_done;
    QLabel* m_doneLabel;
};

WizardDialog::WizardDialog(TWebUpdate* wu, const QFont& font)
    : m_wu(wu) {
    setObjectName(QStringLiteral("WebUpdateWizardDialog"));
    setWindowTitle(QString());
    setFont(font);
    setModal(true);
    auto* top = new QHBoxLayout(this);
    auto* side = new QLabel(this);
    side->setObjectName(QStringLiteral("SidePicture"));
    side->setPixmap(sidePicture());
    top->addWidget(side);
    auto* right = new QVBoxLayout;
    top->addLayout(right, 1);
    m_pages = new QStackedWidget(this);
    m_pages->setObjectName(QStringLiteral("Pages"));
    right->addWidget(m_pages, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_action = new QPushButton(QStringLiteral("Start"), this);
    m_action->setObjectName(QStringLiteral("ActionButton"));
    m_action->setDefault(true);
    buttons->addWidget(m_action);
    right->addLayout(buttons);

    m_welcome = page("WelcomePage");
    label(m_welcome, "WelcomeLabel", TextWelcome);

    m_result = page("ResultPage");
    m_resultLabel = label(m_result, "ResultLabel");
    m_detailLabel = label(m_result, "DetailLabel");
    QFont detailFont = font;
    detailFont.setBold(false);
    m_detailLabel->setFont(detailFont);

    m_notes = page("NotesPage");
    label(m_notes, "NotesTitle", QStringLiteral("What's new"));
    m_notesText = new QPlainTextEdit(m_notes);
    m_notesText->setObjectName(QStringLiteral("NotesText"));
    m_notesText->setReadOnly(true);
    m_notes->layout()->addWidget(m_notesText);

    m_license = page("LicensePage");
    label(m_license, "LicenseTitle", QStringLiteral("License agreement"));
    m_licenseText = new QPlainTextEdit(m_license);
    m_licenseText->setObjectName(QStringLiteral("LicenseText"));
    m_licenseText->setReadOnly(true);
    m_license->layout()->addWidget(m_licenseText);
    m_accept = new QRadioButton(QStringLiteral("I accept"), m_license);
    m_accept->setObjectName(QStringLiteral("AcceptRadio"));
    m_decline = new QRadioButton(QStringLiteral("I do not accept"), m_license);
    m_decline->setObjectName(QStringLiteral("DeclineRadio"));
    m_decline->setChecked(true);
    m_license->layout()->addWidget(m_accept);
    m_license->layout()->addWidget(m_decline);
    connect(m_accept, &QRadioButton::toggled, this, [this](bool on) {
        if (m_step == Step::License)
            m_action->setEnabled(on);
    });

    m_componentsPage = page("ComponentsPage");
    label(m_componentsPage, "ComponentsTitle", QStringLiteral("Available application components"));
    m_components = new QListWidget(m_componentsPage);
    m_components->setObjectName(QStringLiteral("ComponentsList"));
    m_componentsPage->layout()->addWidget(m_components);

    m_download = page("DownloadPage");
    label(m_download, "DownloadTitle", QStringLiteral("Downloading files"));
    m_currentFile = label(m_download, "CurrentFileLabel");
    label(m_download, "CurrentFileProgressLabel", QStringLiteral("Current file progress"));
    m_fileBar = new QProgressBar(m_download);
    m_fileBar->setObjectName(QStringLiteral("CurrentFileProgress"));
    m_download->layout()->addWidget(m_fileBar);
    label(m_download, "TotalFileProgressLabel", QStringLiteral("Total file progress"));
    m_totalBar = new QProgressBar(m_download);
    m_totalBar->setObjectName(QStringLiteral("TotalFileProgress"));
    m_download->layout()->addWidget(m_totalBar);

    m_done = page("DonePage");
    m_doneLabel = label(m_done, "DoneLabel");

    for (QWidget* p : {m_welcome, m_result, m_notes, m_license, m_componentsPage, m_download, m_done})
        static_cast<QVBoxLayout*>(p->layout())->addStretch(1);

    connect(m_action, &QPushButton::clicked, this, &WizardDialog::action);
    if (m_wu) {
        connect(m_wu, &TWebUpdate::checkFinished, this, &WizardDialog::onChecked);
        connect(m_wu, &TWebUpdate::downloadFinished, this, &WizardDialog::onDownloaded);
        connect(m_wu, &TWebUpdate::fileProgress, this, [this](const QString& name, qint64 got, qint64 total) {
            m_currentFile->setText(name);
            m_fileBar->setValue(total > 0 ? int(got * 100 / total) : 100);
        });
        connect(m_wu, &TWebUpdate::totalProgress, this, [this](qint64 got, qint64 total) {
            m_totalBar->setValue(total > 0 ? int(got * 100 / total) : 100);
        });
    }
    connect(this, &QDialog::finished, this, [this] { waitCursor(false); });
    resize(600, 340);
    showPage(m_welcome, Step::Welcome, QStringLiteral("Start"));
}

QWidget* WizardDialog::page(const char* name) {
    auto* p = new QWidget(m_pages);
    p->setObjectName(QLatin1String(name));
    new QVBoxLayout(p);
    m_pages->addWidget(p);
    return p;
}

QLabel* WizardDialog::label(QWidget* parent, const char* name, const QString& text) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setWordWrap(true);
    l->setTextFormat(Qt::PlainText);
    parent->layout()->addWidget(l);
    return l;
}

void WizardDialog::showPage(QWidget* p, Step step, const QString& button) {
    m_step = step;
    m_pages->setCurrentWidget(p);
    m_action->setText(button);
    m_action->setEnabled(step != Step::License || m_accept->isChecked());
    m_action->setFocus();
}

void WizardDialog::showResult(const QString& text, const QString& detail, Step step, const QString& button) {
    m_resultLabel->setText(text);
    m_detailLabel->setText(detail);
    m_detailLabel->setVisible(!detail.isEmpty());
    showPage(m_result, step, button);
}

void WizardDialog::waitCursor(bool on) {
    if (on == m_cursor)
        return;
    m_cursor = on;
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void WizardDialog::action() {
    switch (m_step) {
    case Step::Welcome:
        if (!m_wu) {
            done(QDialog::Rejected);
            return;
        }
        m_step = Step::Checking;
        m_action->setEnabled(false);
        waitCursor(true);
        m_wu->StartCheck();
        return;
    case Step::Checking:
        return;
    case Step::ResultExit:
    case Step::DoneExit:
        done(QDialog::Accepted);
        return;
    case Step::ResultGetUpdate:
    case Step::Notes:
    case Step::License:
    case Step::Components:
        continueAfter(m_step);
        return;
    case Step::Download:
        // Cancel ends the wizard; closing aborts the transfer and drops what came.
        done(QDialog::Rejected);
        return;
    case Step::DoneRestart:
        restart(true);
        return;
    }
}

void WizardDialog::onChecked(const TWebUpdate::CheckResult& r) {
    waitCursor(false);
    using O = TWebUpdate::CheckOutcome;
    switch (r.outcome) {
    case O::NoConnection:
        done(QDialog::Rejected);
        return;
    case O::Failed:
        showResult(TextNoConnect, r.reason, Step::ResultExit, QStringLiteral("Exit"));
        return;
    case O::Refused:
        showResult(r.reason, {}, Step::ResultExit, QStringLiteral("Exit"));
        return;
    case O::NotNewer:
        showResult(TextNoNewVersion, {}, Step::ResultExit, QStringLiteral("Exit"));
        return;
    case O::NewerByDate:
    case O::NewerByVersion: {
        QString text = QStringLiteral("New version found :\n");
        if (!r.currentText.isEmpty())
            text += QStringLiteral("Current version : ") + r.currentText + u'\n';
        text += QStringLiteral("New version : ") + r.newText + QStringLiteral("\n\n");
        if (const auto* c = m_wu->Control())
            text += c->description;
        showResult(text, {}, Step::ResultGetUpdate, QStringLiteral("Get update"));
        return;
    }
    case O::NewerOther:
        showResult(TextNewVersionAvailable, {}, Step::ResultGetUpdate, QStringLiteral("Get update"));
        return;
    }
}

void WizardDialog::continueAfter(Step step) {
    const webupdate::ControlFile* c = m_wu->Control();
    if (!c) {
        done(QDialog::Rejected);
        return;
    }
    if (step == Step::ResultGetUpdate && c->releaseNotes) {
        m_notesText->setPlainText(*c->releaseNotes);
        showPage(m_notes, Step::Notes, QStringLiteral("Next"));
        return;
    }
    if ((step == Step::ResultGetUpdate || step == Step::Notes) && c->license) {
        m_licenseText->setPlainText(*c->license);
        showPage(m_license, Step::License, QStringLiteral("Next"));
        return;
    }
    if (step == Step::License && !m_accept->isChecked())
        return;
    if (step != Step::Components && !c->components.isEmpty()) {
        m_components->clear();
        for (const webupdate::Component& comp : c->components) {
            auto* item = new QListWidgetItem(comp.caption, m_components);
            item->setData(Qt::UserRole, comp.id);
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Checked);
        }
        showPage(m_componentsPage, Step::Components, QStringLiteral("Next"));
        return;
    }
    QStringList chosen;
    for (int i = 0; i < m_components->count(); ++i)
        if (m_components->item(i)->checkState() == Qt::Checked)
            chosen << m_components->item(i)->data(Qt::UserRole).toString();
    const QList<webupdate::FileEntry> files = m_wu->FilesFor(chosen);
    if (files.isEmpty()) {
        vcl::MessageBoxes::show(vcl::MsgType::Information, TextNoFiles);
        done(QDialog::Accepted);
        return;
    }
    m_fileBar->setValue(0);
    m_totalBar->setValue(0);
    m_currentFile->clear();
    showPage(m_download, Step::Download, QStringLiteral("Cancel"));
    m_wu->StartDownload(files);
}

void WizardDialog::onDownloaded(bool ok, const QString& reason) {
    if (m_step != Step::Download)
        return;
    if (!ok) {
        showResult(TextFailedDownload, reason, Step::ResultExit, QStringLiteral("Exit"));
        return;
    }
    if (m_wu->NeedsRestart()) {
        if (m_wu->Control() && m_wu->Control()->silentRestart) {
            restart(false);
            return;
        }
        m_doneLabel->setText(TextCompleted + u'\n' + TextPressRestart);
        showPage(m_done, Step::DoneRestart, QStringLiteral("Restart"));
        return;
    }
    QString err;
    if (!m_wu->InstallNow(&err)) {
        showResult(TextInstallFailed, err, Step::ResultExit, QStringLiteral("Exit"));
        return;
    }
    m_doneLabel->setText(TextCompleted);
    showPage(m_done, Step::DoneExit, QStringLiteral("Exit"));
}

void WizardDialog::restart(bool ask) {
    if (ask && vcl::MessageBoxes::show(vcl::MsgType::Confirmation, TextShutdown,
                                       {vcl::MsgButton::Yes, vcl::MsgButton::No}) != vcl::MsgButton::Yes)
        return;
    QString err;
    if (!m_wu->Restart(&err)) {
        showResult(TextInstallFailed, err, Step::ResultExit, QStringLiteral("Exit"));
        return;
    }
    m_restart = true;
    done(QDialog::Accepted);
}

} // namespace

TWebUpdateWizard::TWebUpdateWizard(QObject* parent)
    : QObject(parent) {}

TWebUpdateWizard::~TWebUpdateWizard() {
    delete m_dialog;
}

QDialog* TWebUpdateWizard::Open(bool InitPath) {
    if (InitPath)
        QDir::setCurrent(QCoreApplication::applicationDirPath());
    if (m_dialog)
        return m_dialog;
    auto* d = new WizardDialog(WebUpdate, Font);
    m_dialog = d;
    connect(d, &QDialog::finished, this, [this, d] {
        const bool restart = d->restartStarted();
        if (WebUpdate)
            WebUpdate->Abort();
        d->deleteLater();
        m_dialog = nullptr;
        emit closed();
        if (restart && WebUpdate && WebUpdate->Terminate)
            WebUpdate->Terminate();
    });
    if (const QScreen* s = QGuiApplication::primaryScreen())
        d->move(s->availableGeometry().center() - d->rect().center());
    d->setWindowModality(Qt::ApplicationModal);
    d->QDialog::show();
    return d;
}

void TWebUpdateWizard::Execute(bool InitPath) {
    QDialog* d = Open(InitPath);
    if (!d)
        return;
    QEventLoop loop;
    connect(this, &TWebUpdateWizard::closed, &loop, &QEventLoop::quit);
    if (m_dialog)
        loop.exec(QEventLoop::DialogExec);
}
