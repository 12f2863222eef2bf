#include "TetheringControl.h"

#include "Controls.h"
#include "Exception.h"
#include "Tethering.h"

#include <QIODevice>
#include <QLoggingCategory>
#include <QSaveFile>

Q_LOGGING_CATEGORY(lcTetheringUi, "sarnavel.tethering.ui")

namespace {
constexpr qsizetype MaxPendingLines = 500;
}

TetheringControl::TetheringControl(const Components& components, QObject* parent)
    : QObject(parent)
    , m_c(components) {}

void TetheringControl::TAppProfile1ResourceReceived(QObject*, const TRemoteResource& Resource) {
    if (Resource.ResType == TRemoteResourceType::Data) {
        // Only a String value carries text; the other types give an empty line.
        m_pendingLines.append(Resource.Value.AsString());
        if (m_pendingLines.size() >= MaxPendingLines) {
            flushLines(); // keeps each append short while texts pour in
            return;
        }
        if (!m_flushQueued) {
            m_flushQueued = true;
            QMetaObject::invokeMethod(this, &TetheringControl::flushLines, Qt::QueuedConnection);
        }
        return;
    }
    flushLines(); // the lines before the stream are in the box while the dialog is open
    saveStream(Resource);
}

void TetheringControl::flushLines() {
    m_flushQueued = false;
    if (m_pendingLines.isEmpty())
        return;
    // The same lines as one Lines.Add per text, in a single append.
    const QString lines = m_pendingLines.join(QLatin1Char('\n'));
    m_pendingLines.clear();
    m_c.memo->LinesAdd(lines);
}

void TetheringControl::saveStream(const TRemoteResource& resource) {
    if (!m_c.saveDialog->Execute(m_c.window))
        return; // cancelled: nothing is written
    QIODevice* stream = resource.Value.AsStream();
    if (!stream)
        return;
    const QString fileName = m_c.saveDialog->FileName;
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        throw Exception(QStringLiteral("Cannot save the received stream to \"%1\": %2")
                            .arg(fileName, file.errorString()));
    stream->seek(0);
    const QByteArray bytes = stream->readAll();
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw Exception(QStringLiteral("Cannot save the received stream to \"%1\": %2")
                            .arg(fileName, file.errorString()));
    qCInfo(lcTetheringUi) << "saved a stream of" << bytes.size() << "bytes to" << fileName;
}

void TetheringControl::sendtextbtnClick(QObject*) {
    const TTetheringProfileInfoList& profiles = m_c.manager->RemoteProfiles();
    const int count = profiles.Count();
    int chosen = 0;
    for (int i = 0; i < count; ++i) {
        if (profiles.Items(i).ProfileText == ClientProfileText)
            chosen = i;
    }
    const QString text = m_c.edit->Text();
    const TTetheringProfileInfo target = profiles.Items(chosen); // empty list: EListError
    m_c.profile->SendString(target, ChatString, text);
}

void TetheringControl::AeroSpeedButton1Click(QObject*) {
    flushLines();
    Clipboard::SetText(m_c.memo->Text());
}
