#include "results/resultsmodel.h"
#include "results/resultsview.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>

using imap::ResultRecord;
using results::ResultsModel;
using results::ResultsView;

namespace {

ResultRecord hit(const QString &subject, const QDateTime &date = {},
                 const QString &folder = QStringLiteral("INBOX"))
{
    ResultRecord r;
    r.strFolder = folder;
    r.strSubject = subject;
    r.strFrom = QStringLiteral("ann@example.com");
    r.dtLocal = date;
    return r;
}

QStringList subjects(const ResultsModel &model)
{
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts.append(model.index(row, ResultsModel::Subject).data().toString());
    return texts;
}

// A mouse event with the buttons held during it (QTest's own moves carry none).
void sendMouse(QWidget *target, QEvent::Type type, QPoint pos, Qt::MouseButton button,
               Qt::MouseButtons held)
{
    QMouseEvent event(type, pos, target->mapToGlobal(pos), button, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

QPoint cellCentre(const ResultsView &view, int row, int col)
{
    return view.visualRect(view.model()->index(row, col)).center();
}

// A grid with its model under the item-model checker, shown offscreen.
struct Grid
{
    ResultsModel model;
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::QtTest};
    ResultsView view{&model};

    bool show()
    {
        view.resize(640, 300);
        view.show();
        return QTest::qWaitForWindowExposed(&view);
    }

    void clickHeader(int section)
    {
        QHeaderView *header = view.horizontalHeader();
        const QPoint pos(header->sectionViewportPosition(section) +
                             header->sectionSize(section) / 2,
                         header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, pos);
    }

    QString indicator() const
    {
        const QHeaderView *header = view.horizontalHeader();
        if (header->sortIndicatorSection() < 0 || header->sortIndicatorSection() >= 4)
            return QStringLiteral("none");
        return QString::number(header->sortIndicatorSection()) +
               (header->sortIndicatorOrder() == Qt::AscendingOrder ? "A" : "D");
    }
};

} // namespace

class TestResultsView : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QApplication::clipboard()->clear(); }

    void headerClicks_data();
    void headerClicks();
    void directionSurvivesNewSearch();
    void emptyGridHeaderClick();
    void selectingNeverSorts_data();
    void selectingNeverSorts();
    void selectionFollowsSortedRows();
    void copyShortcut();
    void copyContextMenu();
    void copyWithoutHits();
    void userResizesColumn();
};

void TestResultsView::headerClicks_data()
{
    QTest::addColumn<QList<int>>("clicks");
    QTest::addColumn<QStringList>("indicators"); // column and direction after each click
    QTest::addColumn<QStringList>("finalOrder");

    // Rows: subject, folder, date.
    QTest::newRow("subject") << QList<int>{2} << QStringList{"2A"}
                             << QStringList{"apple", "Apple", "banana"};
    QTest::newRow("subject twice")
        << QList<int>{2, 2} << QStringList{"2A", "2D"} << QStringList{"banana", "apple", "Apple"};
    QTest::newRow("date, then folder flips")
        << QList<int>{1, 0} << QStringList{"1A", "0D"} << QStringList{"apple", "banana", "Apple"};
    QTest::newRow("three columns") << QList<int>{0, 3, 1} << QStringList{"0A", "3D", "1A"}
                                   << QStringList{"Apple", "banana", "apple"}; // no date first
}

void TestResultsView::headerClicks()
{
    QFETCH(QList<int>, clicks);
    QFETCH(QStringList, indicators);
    QFETCH(QStringList, finalOrder);

    Grid g;
    g.model.appendRecords({hit("banana", QDateTime(QDate(2006, 1, 9), QTime(10, 0)), "b"),
                           hit("apple", QDateTime(QDate(2006, 1, 10), QTime(9, 0)), "c"),
                           hit("Apple", {}, "a")});
    QVERIFY(g.show());
    QCOMPARE(g.indicator(), QStringLiteral("none"));
    for (int i = 0; i < clicks.size(); ++i) {
        g.clickHeader(clicks[i]);
        QCOMPARE(g.indicator(), indicators[i]);
        QCOMPARE(g.model.sortOrderCode(), indicators[i].right(1));
    }
    QCOMPARE(subjects(g.model), finalOrder);
}

void TestResultsView::directionSurvivesNewSearch()
{
    Grid g;
    g.model.appendRecords({hit("b"), hit("a")});
    QVERIFY(g.show());
    g.clickHeader(ResultsModel::Subject);
    QCOMPARE(g.indicator(), QStringLiteral("2A"));

    g.model.clear();                                 // what the window does when a search starts
    QCOMPARE(g.indicator(), QStringLiteral("none")); // the new rows are in the order found
    g.model.appendRecords({hit("a"), hit("c"), hit("b")});
    g.clickHeader(ResultsModel::Subject);
    QCOMPARE(g.indicator(), QStringLiteral("2D"));
    QCOMPARE(subjects(g.model), (QStringList{"c", "b", "a"}));
}

void TestResultsView::emptyGridHeaderClick()
{
    Grid g;
    QVERIFY(g.show());
    g.clickHeader(ResultsModel::Date);
    g.clickHeader(ResultsModel::From);
    QCOMPARE(g.model.rowCount(), 1);
    QCOMPARE(g.model.hitCount(), 0);
    QCOMPARE(g.indicator(), QStringLiteral("3D"));
    g.model.appendRecords({hit("first")}); // fills the shown empty row
    QCOMPARE(subjects(g.model), QStringList{"first"});
}

void TestResultsView::selectingNeverSorts_data()
{
    QTest::addColumn<QString>("gesture");
    QTest::addColumn<int>("rows");

    QTest::newRow("drag down a column") << "drag" << 4;
    QTest::newRow("shift-click first to last") << "shift" << 4;
    QTest::newRow("select all") << "ctrl+a" << 4;
    QTest::newRow("click in a one-row grid") << "click" << 1;
    QTest::newRow("click on the empty row") << "click" << 0;
}

void TestResultsView::selectingNeverSorts()
{
    QFETCH(QString, gesture);
    QFETCH(int, rows);

    Grid g;
    const QStringList input{"d", "b", "c", "a"};
    for (int i = 0; i < rows; ++i)
        g.model.appendRecords({hit(input[i])});
    const QStringList before = subjects(g.model);
    QVERIFY(g.show());
    const int last = g.model.rowCount() - 1;
    QWidget *viewport = g.view.viewport();

    if (gesture == "drag") {
        const QPoint from = cellCentre(g.view, 0, ResultsModel::Subject);
        const QPoint to = cellCentre(g.view, last, ResultsModel::Subject);
        sendMouse(viewport, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
        sendMouse(viewport, QEvent::MouseMove, (from + to) / 2, Qt::NoButton, Qt::LeftButton);
        sendMouse(viewport, QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
        sendMouse(viewport, QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
    } else if (gesture == "shift") {
        QTest::mouseClick(viewport, Qt::LeftButton, {}, cellCentre(g.view, 0, 1));
        QTest::mouseClick(viewport, Qt::LeftButton, Qt::ShiftModifier, cellCentre(g.view, last, 1));
    } else if (gesture == "ctrl+a") {
        g.view.setFocus();
        QTest::keyClick(&g.view, Qt::Key_A, Qt::ControlModifier);
    } else {
        QTest::mouseClick(viewport, Qt::LeftButton, {}, cellCentre(g.view, 0, 2));
    }

    QCOMPARE(g.view.selectionModel()->selectedRows().size(), g.model.rowCount()); // all rows
    QCOMPARE(subjects(g.model), before);
    QCOMPARE(g.model.sortOrderCode(), QString());
    QCOMPARE(g.indicator(), QStringLiteral("none"));
}

void TestResultsView::selectionFollowsSortedRows()
{
    Grid g;
    g.model.appendRecords({hit("c"), hit("a"), hit("b")});
    QVERIFY(g.show());
    QTest::mouseClick(g.view.viewport(), Qt::LeftButton, {}, cellCentre(g.view, 0, 0)); // "c"
    g.clickHeader(ResultsModel::Subject);
    const QModelIndexList selected = g.view.selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.first().row(), 2);
    QCOMPARE(g.view.currentIndex().row(), 2);
}

void TestResultsView::copyShortcut()
{
    Grid g;
    g.model.appendRecords({hit("third", {}, "Work"), hit("first\tline\nnext", {}, "INBOX"),
                           hit("second", {}, "Lists")});
    QVERIFY(g.show());
    QApplication::setActiveWindow(&g.view);
    QVERIFY(QTest::qWaitForWindowActive(&g.view));
    g.view.setFocus();

    // Sort by Folder (INBOX, Lists, Work), then select the first and the last row shown,
    // the last one first.
    g.clickHeader(ResultsModel::Folder);
    QWidget *viewport = g.view.viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, cellCentre(g.view, 2, 2));
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, cellCentre(g.view, 0, 2));
    QCOMPARE(g.view.selectionModel()->selectedRows().size(), 2);

    QTest::keySequence(&g.view, QKeySequence::Copy);
    QCOMPARE(QApplication::clipboard()->text(),
             QStringLiteral("Folder\tDate\tSubject\tFrom\n"
                            "INBOX\t\tfirst line next\tann@example.com\n"
                            "Work\t\tthird\tann@example.com\n"));
}

void TestResultsView::copyContextMenu()
{
    Grid g;
    g.model.appendRecords({hit("one"), hit("two")});
    QVERIFY(g.show());
    QAction *copy = g.view.copyAction();
    QVERIFY(!copy->isEnabled()); // nothing selected yet
    QTest::mouseClick(g.view.viewport(), Qt::LeftButton, {}, cellCentre(g.view, 1, 0));
    QVERIFY(copy->isEnabled());

    // Open the context menu on the row and choose "Copy" in it.
    bool chosen = false;
    QTimer::singleShot(0, &g.view, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction *action : menu->actions()) {
            if (action->text() == QStringLiteral("Copy") && action->isEnabled()) {
                chosen = true;
                action->trigger();
            }
        }
        menu->close();
    });
    const QPoint pos = cellCentre(g.view, 1, 0);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, g.view.viewport()->mapToGlobal(pos));
    QApplication::sendEvent(g.view.viewport(), &event);
    QVERIFY(chosen);
    QCOMPARE(QApplication::clipboard()->text(),
             QStringLiteral("Folder\tDate\tSubject\tFrom\nINBOX\t\ttwo\tann@example.com\n"));
}

void TestResultsView::copyWithoutHits()
{
    Grid g;
    QVERIFY(g.show());
    QApplication::clipboard()->setText(QStringLiteral("kept"));
    QTest::mouseClick(g.view.viewport(), Qt::LeftButton, {}, cellCentre(g.view, 0, 0));
    QCOMPARE(g.view.selectionModel()->selectedRows().size(), 1); // the empty row
    QVERIFY(!g.view.copyAction()->isEnabled());
    g.view.setFocus();
    QTest::keySequence(&g.view, QKeySequence::Copy);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("kept"));

    // The first hit fills the selected row: now there is something to copy.
    g.model.appendRecords({hit("now")});
    QVERIFY(g.view.copyAction()->isEnabled());
}

void TestResultsView::userResizesColumn()
{
    Grid g;
    QVERIFY(g.show());
    QHeaderView *header = g.view.horizontalHeader();
    const int before = header->sectionSize(ResultsModel::Folder);
    const int edge = header->sectionViewportPosition(ResultsModel::Folder) + before - 1;
    const int y = header->height() / 2;
    sendMouse(header->viewport(), QEvent::MouseButtonPress, QPoint(edge, y), Qt::LeftButton,
              Qt::LeftButton);
    sendMouse(header->viewport(), QEvent::MouseMove, QPoint(edge + 20, y), Qt::NoButton,
              Qt::LeftButton);
    sendMouse(header->viewport(), QEvent::MouseMove, QPoint(edge + 40, y), Qt::NoButton,
              Qt::LeftButton);
    sendMouse(header->viewport(), QEvent::MouseButtonRelease, QPoint(edge + 40, y), Qt::LeftButton,
              Qt::NoButton);
    QCOMPARE(header->sectionSize(ResultsModel::Folder), before + 40);
    QCOMPARE(g.model.sortOrderCode(), QString()); // a resize is no click
}

QTEST_MAIN(TestResultsView)
#include "tst_resultsview.moc"
