#include "folders/dialog.h"

#include "folders/foldertree.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace folders {

namespace {

// Each tree item carries its node's key here, so the chosen path never has to be rebuilt from
// the item texts.
constexpr int KeyRole = Qt::UserRole;

} // namespace

Dialog::Dialog(const QStringList &displayPaths, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("Pick a Folder"));
    setModal(true);

    TreeView1 = new QTreeWidget(this);
    TreeView1->setObjectName(QStringLiteral("TreeView1"));
    TreeView1->setColumnCount(1);
    TreeView1->setHeaderHidden(true);
    TreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView1->setUniformRowHeights(true);

    Label2 = new QLabel(QStringLiteral("Chosen Folder:"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    QFont bold = Label2->font();
    bold.setBold(true);
    Label2->setFont(bold);

    // Folder names come from the server: never let one be read as markup.
    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setTextFormat(Qt::PlainText);
    Label1->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Label1->setMinimumWidth(1);
    Label1->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    CancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdOK->setEnabled(false);

    auto *chosenRow = new QHBoxLayout;
    chosenRow->addWidget(Label2);
    chosenRow->addWidget(Label1, 1);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->addStretch(1);
    buttonRow->addWidget(CancelButton);
    buttonRow->addStretch(1);
    buttonRow->addWidget(cmdOK);
    buttonRow->addStretch(1);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(TreeView1, 1);
    layout->addLayout(chosenRow);
    layout->addLayout(buttonRow);

    setTabOrder(CancelButton, TreeView1);
    setTabOrder(TreeView1, cmdOK);

    connect(TreeView1, &QTreeWidget::itemSelectionChanged, this, &Dialog::TreeView1_Click);
    connect(TreeView1, &QTreeWidget::itemDoubleClicked, this, &Dialog::TreeView1_DblClick);
    connect(cmdOK, &QPushButton::clicked, this, &Dialog::cmdOK_Click);
    connect(CancelButton, &QPushButton::clicked, this, &Dialog::CancelButton_Click);

    FillTree(displayPaths);

    // About 6030 x 6165 twips of client area.
    resize(402, 411);
    CancelButton->setFocus(Qt::OtherFocusReason);
}

void Dialog::FillTree(const QStringList &displayPaths)
{
    // Parents come before their children and siblings are already in display order, so every
    // item is simply appended; the whole tree is handed to the view in one call.
    const QList<FolderNode> nodes = DisplayOrder(BuildFolderTree(displayPaths));
    QHash<QString, QTreeWidgetItem *> itemByKey;
    itemByKey.reserve(nodes.size());
    QList<QTreeWidgetItem *> roots;
    for (const FolderNode &node : nodes) {
        auto *item = new QTreeWidgetItem(QStringList{node.text});
        item->setData(0, KeyRole, node.key);
        item->setToolTip(0, node.key);
        itemByKey.insert(node.key, item);
        if (node.parentKey.isEmpty())
            roots.append(item);
        else
            itemByKey.value(node.parentKey)->addChild(item);
    }
    TreeView1->addTopLevelItems(roots);
}

void Dialog::TreeView1_Click()
{
    const QList<QTreeWidgetItem *> selected = TreeView1->selectedItems();
    m_selectedKey = selected.isEmpty() ? QString() : selected.first()->data(0, KeyRole).toString();
    Label1->setText(m_selectedKey);
    Label1->setToolTip(m_selectedKey);
    cmdOK->setEnabled(!m_selectedKey.isEmpty());
}

void Dialog::TreeView1_DblClick(QTreeWidgetItem *item)
{
    if (!item)
        return;
    TreeView1->setCurrentItem(item);
    if (cmdOK->isEnabled())
        cmdOK_Click();
}

void Dialog::cmdOK_Click()
{
    if (m_selectedKey.isEmpty())
        return;
    m_outcome = Outcome::Ok;
    m_chosen = m_selectedKey;
    accept();
}

void Dialog::CancelButton_Click()
{
    reject();
}

void Dialog::reject()
{
    if (!m_closingFromTitleBar) {
        m_outcome = Outcome::Cancel;
        m_chosen.clear();
    }
    QDialog::reject();
}

void Dialog::closeEvent(QCloseEvent *event)
{
    if (!isVisible()) {
        QDialog::closeEvent(event);
        return;
    }
    // Nothing is chosen; the caller keeps whatever it had before the dialog opened.
    m_outcome = Outcome::Closed;
    m_chosen.clear();
    m_closingFromTitleBar = true;
    QDialog::closeEvent(event);
    m_closingFromTitleBar = false;
}

} // namespace folders
