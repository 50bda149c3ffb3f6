#pragma once

#include <QDialog>
#include <QStringList>

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace folders {

// "Pick a Folder": the server's folders as a tree built from their display paths. The user
// selects a node and presses OK (or double-clicks a node); the chosen node's key, its path from
// the root, is the result.
class FolderPicker : public QDialog
{
    Q_OBJECT
public:
    // How the dialog was closed: OK, Cancel (or Esc), or the window's close button.
    enum class Outcome { Ok, Cancel, Closed };

    explicit FolderPicker(const QStringList &displayPaths, QWidget *parent = nullptr);

    Outcome outcome() const { return m_outcome; }
    // The key of the node chosen with OK; "" otherwise.
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
    QLabel *m_chosenLabel;
    QLabel *m_chosenCaption;
    QPushButton *m_cancelButton;
    QPushButton *m_okButton;
    Outcome m_outcome = Outcome::Closed;
    QString m_chosen;
    QString m_selectedKey; // key of the selected node; "" when none is selected
    bool m_closingFromTitleBar = false;
};

} // namespace folders
