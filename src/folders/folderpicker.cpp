#include "folders/folderpicker.h"

#include "folders/foldertree.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTextDocument>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace folders {

namespace {

// Each tree item gives its node's display path here.
constexpr int PathRole = Qt::UserRole;

// One node of the tree. Its display path is built from the nodes when it is asked for (chosen,
// or hovered for its tooltip) rather than stored: stored, the paths of a deep hierarchy would
// cost memory in proportion to the square of its depth.
class FolderItem : public QTreeWidgetItem
{
public:
    FolderItem(const QList<FolderNode> &nodes, qsizetype node)
        : QTreeWidgetItem(QStringList{nodes.at(node).text}, UserType), m_nodes(nodes), m_node(node)
    {
    }

    QVariant data(int column, int role) const override
    {
        if (column == 0 && role == PathRole)
            return folderPath(m_nodes, m_node);
        // Folder names come from the server: the tooltip shows the path as plain text.
        if (column == 0 && role == Qt::ToolTipRole)
            return Qt::convertFromPlainText(folderPath(m_nodes, m_node));
        return QTreeWidgetItem::data(column, role);
    }

private:
    QList<FolderNode> m_nodes; // shared by all items, not copied
    qsizetype m_node;
};

} // namespace

FolderPicker::FolderPicker(const QStringList &displayPaths, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("Pick a Folder"));
    setModal(true);

    m_tree = new QTreeWidget(this);
    m_tree->setObjectName(QStringLiteral("folderTree"));
    m_tree->setColumnCount(1);
    m_tree->setHeaderHidden(true);
    m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
    m_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tree->setUniformRowHeights(true);

    m_chosenCaption = new QLabel(QStringLiteral("Chosen Folder:"), this);
    m_chosenCaption->setObjectName(QStringLiteral("chosenFolderCaption"));
    QFont bold = m_chosenCaption->font();
    bold.setBold(true);
    m_chosenCaption->setFont(bold);

    // Folder names come from the server: never let one be read as markup.
    m_chosenLabel = new QLabel(this);
    m_chosenLabel->setObjectName(QStringLiteral("chosenFolderLabel"));
    m_chosenLabel->setTextFormat(Qt::PlainText);
    m_chosenLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_chosenLabel->setMinimumWidth(1);
    m_chosenLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    m_cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancelButton->setObjectName(QStringLiteral("cancelButton"));
    m_okButton = new QPushButton(QStringLiteral("OK"), this);
    m_okButton->setObjectName(QStringLiteral("okButton"));
    m_okButton->setDefault(true);
    m_okButton->setEnabled(false);

    auto *chosenRow = new QHBoxLayout;
    chosenRow->addWidget(m_chosenCaption);
    chosenRow->addWidget(m_chosenLabel, 1);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->addStretch(1);
    buttonRow->addWidget(m_cancelButton);
    buttonRow->addStretch(1);
    buttonRow->addWidget(m_okButton);
    buttonRow->addStretch(1);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_tree, 1);
    layout->addLayout(chosenRow);
    layout->addLayout(buttonRow);

    setTabOrder(m_cancelButton, m_tree);
    setTabOrder(m_tree, m_okButton);

    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &FolderPicker::onSelectionChanged);
    connect(m_tree, &QTreeWidget::itemDoubleClicked, this, &FolderPicker::onItemDoubleClicked);
    connect(m_okButton, &QPushButton::clicked, this, &FolderPicker::onOkClicked);
    connect(m_cancelButton, &QPushButton::clicked, this, &FolderPicker::onCancelClicked);

    fillTree(displayPaths);

    // About 6030 x 6165 twips of client area.
    resize(402, 411);
    m_cancelButton->setFocus(Qt::OtherFocusReason);
}

FolderPicker::~FolderPicker()
{
    // The tree would delete its items recursively, one stack frame per level, which a hierarchy
    // some hundred thousand levels deep overflows. They go here one at a time instead, the last
    // in display order first: each is then a leaf and the last child of its parent.
    m_tree->invisibleRootItem()->takeChildren();
    for (auto it = m_items.crbegin(); it != m_items.crend(); ++it) {
        if (QTreeWidgetItem *parent = (*it)->parent())
            parent->takeChild(parent->childCount() - 1);
        delete *it;
    }
}

void FolderPicker::fillTree(const QStringList &displayPaths)
{
    // Parents come before their children and siblings are already in display order, so every
    // item is simply appended; the whole tree is handed to the view in one call.
    const QList<FolderNode> nodes = buildFolderTree(displayPaths);
    QList<QTreeWidgetItem *> itemOf(nodes.size());
    QList<QTreeWidgetItem *> roots;
    m_items.reserve(nodes.size());
    for (const qsizetype node : displayOrder(nodes)) {
        auto *item = new FolderItem(nodes, node);
        itemOf[node] = item;
        m_items.append(item);
        if (const qsizetype parent = nodes.at(node).parent; parent < 0)
            roots.append(item);
        else
            itemOf.at(parent)->addChild(item);
    }
    m_tree->addTopLevelItems(roots);
}

void FolderPicker::onSelectionChanged()
{
    const QList<QTreeWidgetItem *> selected = m_tree->selectedItems();
    m_selectedPath =
        selected.isEmpty() ? QString() : selected.first()->data(0, PathRole).toString();
    m_chosenLabel->setText(m_selectedPath);
    m_chosenLabel->setToolTip(m_selectedPath.isEmpty() ? QString()
                                                       : Qt::convertFromPlainText(m_selectedPath));
    m_okButton->setEnabled(!m_selectedPath.isEmpty());
}

void FolderPicker::onItemDoubleClicked(QTreeWidgetItem *item)
{
    if (!item)
        return;
    m_tree->setCurrentItem(item);
    if (m_okButton->isEnabled())
        onOkClicked();
}

void FolderPicker::onOkClicked()
{
    if (m_selectedPath.isEmpty())
        return;
    m_outcome = Outcome::Ok;
    m_chosen = m_selectedPath;
    accept();
}

void FolderPicker::onCancelClicked()
{
    reject();
}

void FolderPicker::reject()
{
    if (!m_closingFromTitleBar) {
        m_outcome = Outcome::Cancel;
        m_chosen.clear();
    }
    QDialog::reject();
}

void FolderPicker::closeEvent(QCloseEvent *event)
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
