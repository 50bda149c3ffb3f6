#pragma once

#include <QDialog>
#include <QList>
#include <QStringList>

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace folders {

// "Pick a Folder": the server's folders as a tree built from their display paths. The user
// selects a node and presses OK (or double-clicks a node); the chosen node's display path is the
// result. Folder names are shown as plain text, tooltips included.
class FolderPicker : public QDialog
{
    Q_OBJECT
public:
    // How the dialog was closed: OK, Cancel (or Esc), or the window's close button.
    enum class Outcome { Ok, Cancel, Closed };

    explicit FolderPicker(const QStringList &displayPaths, QWidget *parent = nullptr);
    ~FolderPicker() override;

    Outcome outcome() const { return m_outcome; }
    // The display path of the node chosen with OK; "" otherwise.
    QString chosenFolder() const { return m_chosen; }

    // Esc and the Cancel button end here; closing from the title bar does too, but keeps the
    // Closed outcome.
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void onSelectionChanged();
    void onItemDoubleClicked(QTreeWidgetItem *item);
    void onOkClicked();
    void onCancelClicked();
    void fillTree(const QStringList &displayPaths);

    QTreeWidget *m_tree;
    QList<QTreeWidgetItem *> m_items; // in display order
    QLabel *m_chosenLabel;
    QLabel *m_chosenCaption;
    QPushButton *m_cancelButton;
    QPushButton *m_okButton;
    Outcome m_outcome = Outcome::Closed;
    QString m_chosen;
    QString m_selectedPath; // display path of the selected node; "" when none is selected
    bool m_closingFromTitleBar = false;
};

} // namespace folders
