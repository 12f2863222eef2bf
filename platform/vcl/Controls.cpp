#include "Controls.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QStyledItemDelegate>

namespace {
// In-place caption editor with a length cap: a caption is handed back to the
// Bluetooth library, so it must not grow without bound.
class CaptionDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override
    {
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (auto* line = qobject_cast<QLineEdit*>(editor))
            line->setMaxLength(TListView::MaxCaptionLength);
        return editor;
    }
};
} // namespace

TListView::TListView(QWidget* parent)
    : QTreeWidget(parent)
{
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    setItemDelegateForColumn(0, new CaptionDelegate(this));
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
}

QTreeWidgetItem* TListView::AddRow(const QString& caption)
{
    auto* row = new QTreeWidgetItem(this);
    row->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable);
    row->setText(0, caption);
    return row;
}

QTreeWidgetItem* TListView::Selected() const
{
    const auto items = selectedItems();
    return items.isEmpty() ? nullptr : items.first();
}

void TListView::SetSelected(QTreeWidgetItem* row)
{
    clearSelection();
    if (row) {
        row->setSelected(true);
        setCurrentItem(row, 0, QItemSelectionModel::NoUpdate);
    }
}

void TListView::SetCaption(QTreeWidgetItem* row, const QString& text)
{
    if (row)
        row->setText(0, text);
}

void TListView::SetSubItem(QTreeWidgetItem* row, int index, const QString& text)
{
    if (row && index >= 0)
        row->setText(index + 1, text);
}

TMemo::TMemo(QWidget* parent)
    : QPlainTextEdit(parent)
{
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_adding)
            m_emptyFirstLine = false; // the user edited the box
    });
}

void TMemo::LinesAdd(const QString& line)
{
    m_adding = true;
    // appendPlainText reuses the first block of an empty document, which would
    // swallow an empty first line added before.
    if (m_emptyFirstLine && document()->isEmpty())
        appendPlainText(QLatin1Char('\n') + line);
    else
        appendPlainText(line);
    m_emptyFirstLine = document()->isEmpty();
    m_adding = false;
}

TEdit::TEdit(QWidget* parent)
    : QLineEdit(parent)
{
}

TSaveDialog::TSaveDialog(QObject* parent)
    : QObject(parent)
{
}

std::optional<QString>& TSaveDialog::nextAnswer()
{
    static std::optional<QString> answer;
    return answer;
}

void TSaveDialog::setNextAnswer(std::optional<QString> fileName)
{
    nextAnswer() = std::move(fileName);
}

bool TSaveDialog::Execute(QWidget* owner)
{
    QString chosen;
    if (nextAnswer().has_value()) {
        chosen = *nextAnswer();
        nextAnswer().reset();
    } else {
        chosen = QFileDialog::getSaveFileName(owner, QString(), FileName);
    }
    if (chosen.isEmpty())
        return false;
    FileName = chosen;
    return true;
}

namespace Clipboard {
void SetText(const QString& text)
{
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}
QString Text()
{
    return QGuiApplication::clipboard()->text(QClipboard::Clipboard);
}
} // namespace Clipboard
