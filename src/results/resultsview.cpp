#include "results/resultsview.h"

#include "results/resultsmodel.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>

#include <algorithm>
#include <utility>

namespace results {

ResultsView::ResultsView(ResultsModel *model, QWidget *parent)
    : QTableView(parent), m_model(model), m_copyAction(new QAction(tr("Copy"), this))
{
    setModel(model);
    verticalHeader()->hide();
    // One line per row, a list rather than a spreadsheet; the same height for every row also
    // spares the view from measuring rows as they arrive.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setTabKeyNavigation(false);
    // Sorting is driven by header clicks alone (below), never by the view's own sorting,
    // which would keep its own direction per column.
    setSortingEnabled(false);

    QHeaderView *header = horizontalHeader();
    header->setHighlightSections(false);
    header->setSectionsClickable(true);
    header->setSectionsMovable(false);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(false);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    connect(header, &QHeaderView::sectionClicked, this, &ResultsView::onHeaderClicked);

    // The rows of a new search are in the order found: no column is shown as sorted.
    connect(model, &QAbstractItemModel::modelReset, this,
            [this] { horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder); });

    m_copyAction->setShortcut(QKeySequence::Copy);
    m_copyAction->setShortcutContext(Qt::WidgetShortcut);
    connect(m_copyAction, &QAction::triggered, this, &ResultsView::copySelection);
    addAction(m_copyAction);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ResultsView::updateCopyAction);
    connect(model, &QAbstractItemModel::dataChanged, this, &ResultsView::updateCopyAction);
    connect(model, &QAbstractItemModel::modelReset, this, &ResultsView::updateCopyAction);
    updateCopyAction();

    // A search adds rows a batch at a time, mostly below the rows shown. Repainting every row
    // shown after each batch would cost far more than adding the rows; rows that move on
    // screen or change still repaint.
    connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this](const QModelIndex &, int first, int) { onRowsAboutToBeInserted(first); });
    const auto shownRowsMoved = [this] { m_pending = Pending::ShownRowsMoved; };
    connect(model, &QAbstractItemModel::modelReset, this, shownRowsMoved);
    connect(model, &QAbstractItemModel::layoutChanged, this, shownRowsMoved);
    connect(model, &QAbstractItemModel::rowsRemoved, this, shownRowsMoved);
    connect(model, &QAbstractItemModel::rowsMoved, this, shownRowsMoved);
    connect(model, &QAbstractItemModel::columnsInserted, this, shownRowsMoved);
    connect(model, &QAbstractItemModel::columnsRemoved, this, shownRowsMoved);
    connect(model, &QAbstractItemModel::columnsMoved, this, shownRowsMoved);
}

void ResultsView::onRowsAboutToBeInserted(int first)
{
    if (m_pending == Pending::ShownRowsMoved)
        return;
    // The last row shown, at least in part; none when the rows end above the bottom.
    const int lastShown = rowAt(viewport()->height() - 1);
    m_pending = lastShown >= 0 && first > lastShown ? Pending::RowsBelow : Pending::ShownRowsMoved;
}

void ResultsView::doItemsLayout()
{
    const Pending pending = std::exchange(m_pending, Pending::Unknown);
    if (pending == Pending::RowsBelow) {
        updateGeometries();
        return;
    }
    QTableView::doItemsLayout();
}

QString ResultsView::selectionAsText() const
{
    QList<int> rows;
    const QItemSelection selection = selectionModel()->selection();
    for (const QItemSelectionRange &range : selection) {
        for (int row = range.top(); row <= range.bottom(); ++row)
            rows.append(row);
    }
    // In the order shown, each row once.
    const QHeaderView *vertical = verticalHeader();
    std::sort(rows.begin(), rows.end(), [vertical](int a, int b) {
        return vertical->visualIndex(a) < vertical->visualIndex(b);
    });
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return m_model->rowsAsText(rows);
}

void ResultsView::copySelection()
{
    const QString text = selectionAsText();
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}

void ResultsView::keyPressEvent(QKeyEvent *event)
{
    // The base class would copy the current cell only.
    if (event == QKeySequence::Copy) {
        copySelection();
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

void ResultsView::onHeaderClicked(int section)
{
    const Qt::SortOrder order = m_model->sortByHeader(section);
    horizontalHeader()->setSortIndicator(section, order);
}

void ResultsView::updateCopyAction()
{
    const QItemSelection selection = selectionModel()->selection();
    m_copyAction->setEnabled(
        std::any_of(selection.begin(), selection.end(), [this](const QItemSelectionRange &range) {
            return range.top() < m_model->hitCount();
        }));
}

} // namespace results
