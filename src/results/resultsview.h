#pragma once

#include <QTableView>

class QAction;

namespace results {

class ResultsModel;

// The results grid: a table of the hits of a ResultsModel with a hidden row header.
//
// - A click on a column header sorts the rows by that column, in the one direction shared by
//   all columns, which every such click flips; the header shows the column and direction.
//   Selecting cells, by click, drag or keyboard, never reorders the rows.
// - Whole rows are selected (extended selection); the cells cannot be edited.
// - Copy (Ctrl+C, or "Copy" in the context menu) puts the selected hits on the clipboard as
//   tab-separated text, the column headers first, the rows in the order shown.
// - The user can resize the columns.
class ResultsView : public QTableView
{
    Q_OBJECT
public:
    ResultsView(ResultsModel *model, QWidget *parent = nullptr);

    ResultsModel *resultsModel() const { return m_model; }
    QAction *copyAction() const { return m_copyAction; }

    // The selected hits as the clipboard gets them; empty when no hit is selected.
    QString selectionAsText() const;
    // Copies the selected hits to the clipboard; does nothing when no hit is selected.
    void copySelection();

    // Lays out the rows again and repaints them, unless all that changed since the last layout
    // is rows added below the last row shown: then only the scroll bars follow.
    void doItemsLayout() override;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    // What the model did since the last layout.
    enum class Pending { Unknown, RowsBelow, ShownRowsMoved };

    void onHeaderClicked(int section);
    void updateCopyAction();
    void onRowsAboutToBeInserted(int first);

    ResultsModel *m_model;
    QAction *m_copyAction;
    Pending m_pending = Pending::Unknown;
};

} // namespace results
