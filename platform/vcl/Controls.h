#pragma once

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QString>
#include <QTreeWidget>
#include <functional>
#include <optional>

// Report-style list view: a row is a caption (column 0) and sub-items (the
// further columns, numbered from 0). The user may edit a selected row's caption
// in place.
class TListView : public QTreeWidget {
    Q_OBJECT
public:
    // Longest caption the in-place editor takes.
    static constexpr int MaxCaptionLength = 256;

    explicit TListView(QWidget* parent = nullptr);

    // Appends a row with the given caption and empty sub-items; returns it.
    QTreeWidgetItem* AddRow(const QString& caption = {});
    // The selected row, or nullptr.
    QTreeWidgetItem* Selected() const;
    void SetSelected(QTreeWidgetItem* row);
    int RowCount() const { return topLevelItemCount(); }
    QTreeWidgetItem* Row(int index) const { return topLevelItem(index); }
    void Clear() { clear(); }

    static QString Caption(const QTreeWidgetItem* row) { return row ? row->text(0) : QString(); }
    static void SetCaption(QTreeWidgetItem* row, const QString& text);
    static QString SubItem(const QTreeWidgetItem* row, int index) { return row ? row->text(index + 1) : QString(); }
    static void SetSubItem(QTreeWidgetItem* row, int index, const QString& text);
};

// Multi-line text box.
class TMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TMemo(QWidget* parent = nullptr);
    // Lines.Add: the text becomes the box's new last line (an empty text too).
    void LinesAdd(const QString& line);
    QString Text() const { return toPlainText(); }

private:
    // An empty document may hold no line or one empty line; this tells which.
    bool m_emptyFirstLine = false;
    bool m_adding = false;
};

// One-line text box.
class TEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TEdit(QWidget* parent = nullptr);
    QString Text() const { return text(); }
};

// Save-file dialog. Tests answer it through setNextAnswer instead of a real dialog.
class TSaveDialog : public QObject {
    Q_OBJECT
public:
    explicit TSaveDialog(QObject* parent = nullptr);
    // Shows the modal dialog; true when the user chose a file (then FileName holds it).
    bool Execute(QWidget* owner = nullptr);
    QString FileName;

    // Test hook: the next Execute returns this file name (empty: the user cancelled)
    // without showing a dialog.
    static void setNextAnswer(std::optional<QString> fileName);

private:
    static std::optional<QString>& nextAnswer();
};

// The clipboard as the toolkit offers it.
namespace Clipboard {
void SetText(const QString& text);
QString Text();
} // namespace Clipboard
