#include "results/resultsmodel.h"
#include "results/resultsview.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

using results::Hit;
using results::ResultsModel;
using results::ResultsView;

namespace {

Hit hit(const QString &subject, const QDateTime &date = {},
        const QString &folder = QStringLiteral("INBOX"), qsizetype folderOrder = 0)
{
    Hit h;
    h.folder = folder;
    h.folderOrder = folderOrder;
    h.subject = subject;
    h.from = QStringLiteral("ann@example.com");
    h.date = date;
    return h;
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
    QPoint cell(int row, int col) const { return view.visualRect(model.index(row, col)).center(); }
    void click(int row, int col, Qt::KeyboardModifiers modifiers = {})
    {
        QTest::mouseClick(view.viewport(), Qt::LeftButton, modifiers, cell(row, col));
    }
    void clickHeader(int section)
    {
        QHeaderView *header = view.horizontalHeader();
        const QPoint pos(header->sectionViewportPosition(section) +
                             header->sectionSize(section) / 2,
                         header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, pos);
    }
    // The header's indicator: "2A" for column 2 ascending, or "none".
    QString state() const
    {
        const QHeaderView *header = view.horizontalHeader();
        const int column = header->sortIndicatorSection();
        const auto letter = [](Qt::SortOrder o) { return o == Qt::AscendingOrder ? "A" : "D"; };
        return column < 0 || column >= 4
                   ? QStringLiteral("none")
                   : QString::number(column) + letter(header->sortIndicatorOrder());
    }
    // What the screen shows of the rows, and what painting them afresh gives.
    QImage shown() const
    {
        const QRect r(view.viewport()->mapTo(&view, QPoint()), view.viewport()->size());
        return view.screen()
            ->grabWindow(view.winId(), r.x(), r.y(), r.width(), r.height())
            .toImage();
    }
    QImage fresh() const { return view.viewport()->grab().toImage(); }
};

} // namespace

class TestResultsView : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QApplication::clipboard()->clear(); }

    void headerClicks_data()
    {
        QTest::addColumn<QString>("clicks");     // columns clicked; "c" starts a new search
        QTest::addColumn<QStringList>("states"); // after each click
        QTest::addColumn<QStringList>("finalOrder");
        // Rows: subject, folder, date.
        QTest::newRow("subject") << "2" << QStringList{"2A"}
                                 << QStringList{"apple", "Apple", "banana"};
        QTest::newRow("subject twice")
            << "22" << QStringList{"2A", "2D"} << QStringList{"banana", "apple", "Apple"};
        QTest::newRow("date, then folder flips")
            << "10" << QStringList{"1A", "0D"} << QStringList{"apple", "banana", "Apple"};
        QTest::newRow("three columns")
            << "031" << QStringList{"0A", "3D", "1A"} << QStringList{"Apple", "banana", "apple"};
        QTest::newRow("a new search clears the indicator, keeps the direction")
            << "2c2" << QStringList{"2A", "none", "2D"} << QStringList{"banana", "apple", "Apple"};
    }

    void headerClicks()
    {
        QFETCH(QString, clicks);
        QFETCH(QStringList, states);
        QFETCH(QStringList, finalOrder);
        Grid g;
        const QList<Hit> rows{hit("banana", QDateTime(QDate(2006, 1, 9), QTime(10, 0)), "b"),
                              hit("apple", QDateTime(QDate(2006, 1, 10), QTime(9, 0)), "c"),
                              hit("Apple", {}, "a")};
        g.model.addHits(rows);
        QVERIFY(g.show());
        QCOMPARE(g.state(), QStringLiteral("none"));
        for (int i = 0; i < clicks.size(); ++i) {
            if (clicks[i] == QLatin1Char('c')) {
                g.model.clear(); // what the window does when a search starts
                g.model.addHits(rows);
            } else {
                g.clickHeader(clicks[i].digitValue());
            }
            QCOMPARE(g.state(), states[i]);
        }
        QCOMPARE(subjects(g.model), finalOrder);
    }

    void selectingNeverSorts_data()
    {
        QTest::addColumn<QString>("gesture");
        QTest::addColumn<int>("rows");
        QTest::newRow("drag down a column") << "drag" << 4;
        QTest::newRow("shift-click first to last") << "shift" << 4;
        QTest::newRow("select all") << "ctrl+a" << 4;
        QTest::newRow("click in a one-row grid") << "click" << 1;
        QTest::newRow("click on the empty row") << "click" << 0;
    }

    void selectingNeverSorts()
    {
        QFETCH(QString, gesture);
        QFETCH(int, rows);
        Grid g;
        const QStringList input{"d", "b", "c", "a"};
        for (int i = 0; i < rows; ++i)
            g.model.addHits({hit(input[i])});
        const QStringList before = subjects(g.model);
        QVERIFY(g.show());
        const int last = g.model.rowCount() - 1;
        QWidget *viewport = g.view.viewport();
        if (gesture == "drag") {
            const QPoint from = g.cell(0, ResultsModel::Subject);
            const QPoint to = g.cell(last, ResultsModel::Subject);
            sendMouse(viewport, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
            sendMouse(viewport, QEvent::MouseMove, (from + to) / 2, Qt::NoButton, Qt::LeftButton);
            sendMouse(viewport, QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
            sendMouse(viewport, QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
        } else if (gesture == "shift") {
            g.click(0, 1);
            g.click(last, 1, Qt::ShiftModifier);
        } else if (gesture == "ctrl+a") {
            g.view.setFocus();
            QTest::keyClick(&g.view, Qt::Key_A, Qt::ControlModifier);
        } else {
            g.click(0, 2);
        }
        QCOMPARE(g.view.selectionModel()->selectedRows().size(), g.model.rowCount()); // all rows
        QCOMPARE(subjects(g.model), before);
        QCOMPARE(g.state(), QStringLiteral("none"));
    }

    // Batches arrive while the grid is shown (folders in the order given, "s" a header
    // click): whatever the batch moved or left alone, the screen shows the rows as they are.
    void shownRowsFollowBatches_data()
    {
        QTest::addColumn<QString>("batches");
        QTest::addColumn<int>("scrollTo"); // row at the top before the last batch
        QTest::newRow("first batch fills the grid") << "5" << 0;
        QTest::newRow("below the rows shown") << "5 9" << 0;
        QTest::newRow("above the rows shown") << "5 1" << 0;
        QTest::newRow("among the rows shown") << "1 5 3" << 20;
        QTest::newRow("above, scrolled down") << "5 9 1" << 40;
        QTest::newRow("below, then above") << "5 9 7 1" << 0;
        QTest::newRow("sorted, then more") << "5 s 1" << 0;
        QTest::newRow("a new search") << "5 c 7" << 0;
    }

    void shownRowsFollowBatches()
    {
        QFETCH(QString, batches);
        QFETCH(int, scrollTo);
        Grid g;
        QVERIFY(g.show());
        QScrollBar *bar = g.view.verticalScrollBar();
        // The scroll range of a grid laid out afresh: the rows less those that fit at the bottom.
        const auto expectedMaximum = [&] {
            const int fit =
                g.view.viewport()->height() / g.view.verticalHeader()->defaultSectionSize();
            return g.model.rowCount() - qMin(g.model.rowCount(), qMax(1, fit));
        };
        const QStringList steps = batches.split(QLatin1Char(' '));
        for (int i = 0; i < steps.size(); ++i) {
            if (i == steps.size() - 1) {
                g.view.scrollTo(g.model.index(scrollTo, 0), QAbstractItemView::PositionAtTop);
                // No current cell, as while the focus is in a criterion field: moving it would
                // repaint the rows anyway.
                g.view.selectionModel()->clearCurrentIndex();
                QTRY_COMPARE(g.shown(), g.fresh());
            }
            if (steps[i] == QLatin1String("s")) {
                g.clickHeader(ResultsModel::Folder);
                g.clickHeader(ResultsModel::Folder); // descending: later folders first
            } else if (steps[i] == QLatin1String("c")) {
                g.model.clear();
            } else {
                const int folder = steps[i].toInt();
                QList<Hit> batch;
                for (int k = 0; k < 30; ++k)
                    batch.append(hit(QStringLiteral("%1-%2").arg(folder).arg(k), {},
                                     QStringLiteral("F%1").arg(folder), folder));
                g.model.addHits(batch);
            }
            QTRY_COMPARE(bar->maximum(), expectedMaximum());
            QTRY_COMPARE(g.shown(), g.fresh());
        }
    }

    void copy_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("hits");
        QTest::addColumn<QString>("expected");
        const QString text =
            "Folder\tDate\tSubject\tFrom\nINBOX\t\tfirst line next\tann@example.com\n"
            "Work\t\tthird\tann@example.com\n";
        QTest::newRow("shortcut") << "keys" << true << text;
        QTest::newRow("context menu") << "menu" << true << text;
        QTest::newRow("only the empty row selected") << "keys" << false << "kept";
    }

    // The selected hits in the order shown, headers first.
    void copy()
    {
        QFETCH(QString, how);
        QFETCH(bool, hits);
        QFETCH(QString, expected);
        Grid g;
        if (hits)
            g.model.addHits({hit("third", {}, "Work"), hit("first\tline\nnext", {}, "INBOX"),
                             hit("second", {}, "Lists")});
        QVERIFY(g.show());
        QApplication::setActiveWindow(&g.view);
        QVERIFY(QTest::qWaitForWindowActive(&g.view));
        g.view.setFocus();
        QApplication::clipboard()->setText(QStringLiteral("kept"));
        QVERIFY(!g.view.copyAction()->isEnabled()); // nothing selected yet
        // Sort by Folder (INBOX, Lists, Work), then select the last row and the first.
        g.clickHeader(ResultsModel::Folder);
        const int last = g.model.rowCount() - 1;
        g.click(last, 2);
        if (last > 0)
            g.click(0, 2, Qt::ControlModifier);
        QCOMPARE(g.view.copyAction()->isEnabled(), hits);
        if (how == "keys") {
            QTest::keySequence(&g.view, QKeySequence::Copy);
        } else {
            QTimer::singleShot(0, &g.view, [&] {
                auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
                QVERIFY(menu);
                for (QAction *action : menu->actions())
                    if (action->text() == QStringLiteral("Copy"))
                        action->trigger();
                menu->close();
            });
            const QPoint pos = g.cell(0, 0);
            QContextMenuEvent event(QContextMenuEvent::Mouse, pos,
                                    g.view.viewport()->mapToGlobal(pos));
            QApplication::sendEvent(g.view.viewport(), &event);
        }
        QCOMPARE(QApplication::clipboard()->text(), expected);
        // A first hit fills the selected empty row: now there is something to copy.
        g.model.addHits({hit("now")});
        QVERIFY(g.view.copyAction()->isEnabled());
    }
};

QTEST_MAIN(TestResultsView)
#include "tst_resultsview.moc"
