// The results grid: model, view and CSV.

#include "results/csvexport.h"
#include "results/dateformat.h"
#include "results/resultsmodel.h"
#include "results/resultsview.h"
#include "support/hostiletext.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

using results::ResultsModel;
using search::Hit;

namespace {

Hit hit(const QString &subject, qsizetype order = 0, const QDateTime &date = {},
        const QString &from = QStringLiteral("ann@example.com"))
{
    return {QStringLiteral("F%1").arg(order), {}, 0, from, subject, {}, date, order};
}

QDateTime at(int day, int hour)
{
    return QDateTime(QDate(2006, 1, day), QTime(hour, 0));
}

QStringList subjects(const ResultsModel &model)
{
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts.append(model.index(row, ResultsModel::Subject).data().toString());
    return texts;
}

// A model under the item-model checker, and a view of it, a few rows high.
struct Grid
{
    ResultsModel model;
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::QtTest};
    results::ResultsView view{&model};

    bool show()
    {
        view.resize(480, 140);
        view.show();
        return QTest::qWaitForWindowActive(&view);
    }
    void click(int row, Qt::KeyboardModifiers modifiers = {})
    {
        const QPoint pos = view.visualRect(model.index(row, ResultsModel::Subject)).center();
        QTest::mouseClick(view.viewport(), Qt::LeftButton, modifiers, pos);
    }
    void clickHeader(int section)
    {
        QHeaderView *h = view.horizontalHeader();
        const QPoint pos(h->sectionViewportPosition(section) + h->sectionSize(section) / 2,
                         h->height() / 2);
        QTest::mouseClick(h->viewport(), Qt::LeftButton, {}, pos);
    }
    // Whether the screen shows the rows as painting them afresh does.
    bool shownAsTheyAre() const
    {
        const QRect r(view.viewport()->mapTo(&view, QPoint()), view.viewport()->size());
        return view.screen()
                   ->grabWindow(view.winId(), r.x(), r.y(), r.width(), r.height())
                   .toImage() == view.viewport()->grab().toImage();
    }
};

} // namespace

class TestResults : public QObject
{
    Q_OBJECT
    testsupport::FifoTrap m_trap;

private slots:
    // Batches ("f:a,b": hits of folder f), header clicks ("H2"), a new search ("C"), scrolling
    // ("S4": row 4 at the top): folder order until a click, then new rows go to the end; the
    // screen always shows the rows as they are.
    void order_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("indicator"); // column and A(scending) or D(escending)
        const auto row = [](const char *name, const char *steps, const char *expected,
                            const char *indicator) {
            QTest::newRow(name) << steps << expected << indicator;
        };
        row("folder order", "2:f 1:d,c 0:b,a 1:e", "b a d c e f", "-1A");
        row("above, scrolled", "1:a,b,c,d,e,f,g S4 0:x 2:y", "x a b c d e f g y", "-1A");
        row("clicked: to the end", "1:m,z 0:a H2 0:c 2:b", "a m z c b", "2A");
        row("clicked while empty", "H2 2:b 0:a", "b a", "2A");
        row("second click", "0:b,a H2 H2", "b a", "2D");
        row("cleared", "1:z H3 C 1:b 0:a", "a b", "-1A");
        row("cleared: one empty row", "0:a C", "", "-1A");
        row("direction kept", "0:b H2 C 0:a,b H2", "b a", "2D");
    }

    void order()
    {
        QFETCH(QString, steps);
        Grid g;
        QVERIFY(g.show());
        QSignalSpy inserted(&g.model, &QAbstractItemModel::rowsInserted);
        qsizetype hits = 0, shouldInsert = 0;
        for (const QString &step : steps.split(' ')) {
            // No current cell, as while typing criteria: moving it would repaint the rows anyway.
            g.view.selectionModel()->clearCurrentIndex();
            if (step.startsWith('H')) {
                g.clickHeader(step.mid(1).toInt());
            } else if (step.startsWith('S')) {
                g.view.scrollTo(g.model.index(step.mid(1).toInt(), 0),
                                QAbstractItemView::PositionAtTop);
            } else if (step == "C") {
                g.model.clear(); // as the window does when a search starts
                hits = 0;
            } else {
                QList<Hit> batch;
                for (const QString &s : step.mid(2).split(','))
                    batch.append(hit(s, step.left(1).toInt()));
                shouldInsert += batch.size() - (hits == 0 ? 1 : 0); // the empty row is filled
                g.model.addHits(batch);
                hits += batch.size();
            }
            QCOMPARE(g.model.hitCount(), hits);
            QTRY_VERIFY2(g.shownAsTheyAre(), qPrintable(step));
        }
        QTEST(subjects(g.model).join(' '), "expected");
        const QHeaderView *h = g.view.horizontalHeader();
        QTEST(QString::number(h->sortIndicatorSection()) + "AD"[h->sortIndicatorOrder()],
              "indicator");
        qsizetype rowsInserted = 0;
        for (const QList<QVariant> &args : std::as_const(inserted))
            rowsInserted += args.at(2).toInt() - args.at(1).toInt() + 1;
        QCOMPARE(rowsInserted, shouldInsert);
    }

    // By date, not by its text ("10 Jan" before "9 Jan"); no date first ascending, last
    // descending; equal dates in their order; persistent indexes follow their rows.
    void sortByDate()
    {
        Grid g;
        g.model.addHits({hit("jan10", 0, at(10, 9)), hit("none1"), hit("noon-a", 0, at(9, 12)),
                         hit("jan9", 0, at(9, 10)), hit("none2"), hit("noon-b", 0, at(9, 12))});
        const QPersistentModelIndex jan10 = g.model.index(0, ResultsModel::Date);
        g.model.sortBy(ResultsModel::Date, Qt::AscendingOrder);
        QCOMPARE(subjects(g.model).join(' '), "none1 none2 jan9 noon-a noon-b jan10");
        QCOMPARE(jan10.row(), 5);
        QCOMPARE(jan10.data(ResultsModel::SortRole).toDateTime(), at(10, 9));
        g.model.sortBy(ResultsModel::Date, Qt::DescendingOrder);
        QCOMPARE(subjects(g.model).join(' '), "jan10 noon-a noon-b jan9 none1 none2");
        QCOMPARE(jan10.row(), 0);
        // An unknown column changes nothing.
        QSignalSpy layout(&g.model, &QAbstractItemModel::layoutChanged);
        g.model.sortBy(-1, Qt::AscendingOrder);
        g.model.sortBy(ResultsModel::ColumnCount, Qt::AscendingOrder);
        QCOMPARE(layout.count(), 0);
    }

    // Long lists are sorted in two halves on two threads, then merged: the order and its
    // stability are those of a short list. Rows carry their place as the sender; 97 subjects,
    // folders and dates repeat, so equal keys straddle the halves.
    void sortLongList_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<bool>("ascending");
        QTest::newRow("subject") << int(ResultsModel::Subject) << true;
        QTest::newRow("folder, descending") << int(ResultsModel::Folder) << false;
        QTest::newRow("date") << int(ResultsModel::Date) << true;
    }

    void sortLongList()
    {
        QFETCH(int, column);
        QFETCH(bool, ascending);
        ResultsModel model;
        QList<Hit> hits;
        for (int i = 0; i < 50000; ++i) {
            const int k = (i * 7919) % 97;
            hits.append(hit(QStringLiteral("s%1").arg(k, 2, 10, QLatin1Char('0')), k,
                            k == 0 ? QDateTime() : at(1 + k % 28, k % 24), QString::number(i)));
        }
        model.addHits(hits);
        model.sortBy(column, ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
        const auto key = [&](int row) {
            const Hit &h = model.record(row);
            return column == ResultsModel::Date
                       ? (h.date.isValid() ? h.date.toString(Qt::ISODate) : QString())
                       : model.index(row, column).data(ResultsModel::SortRole).toString();
        };
        for (int row = 1; row < model.hitCount(); ++row) {
            const int c = key(row - 1).compare(key(row));
            QVERIFY2(ascending ? c <= 0 : c >= 0, qPrintable(QString::number(row)));
            if (c == 0) // equal keys keep the order they arrived in
                QVERIFY2(model.record(row - 1).from.toInt() < model.record(row).from.toInt(),
                         qPrintable(QString::number(row)));
        }
    }

    // 9 January 2006 22:05:37: the short date, then the long time without the zone name (UTC
    // here), with no empty brackets or stray separators left, but with the seconds.
    void formatDate()
    {
        const QDateTime dt = at(9, 22).addSecs(337);
        QCOMPARE(results::formatDate(QDateTime(), QLocale::c()), QString()); // none
        const QList<QPair<const char *, QString>> known{
            {"C", "9 Jan 2006 22:05:37"},
            {"en_US", "1/9/06 10:05:37 PM"},
            {"be_BY", "9.01.06 22:05:37"},                       // comma before the zone
            {"nds_DE", "9.01.06 Klock 22.05:37"},                // quoted text, zone in brackets
            {"nus_SS", QStringLiteral("9/01/2006 10:05:37 TŊ")}, // the zone first
            {"zh_TW", QStringLiteral("2006/1/9 下午10:05:37")}}; // day period, zone in [ ]
        for (const auto &[locale, expected] : known)
            QCOMPARE(results::formatDate(dt, QLocale(locale)), expected);
        const QList<QLocale> locales = QLocale::matchingLocales(
            QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
        for (const QLocale &locale : locales) {
            const QString text = results::formatDate(dt, locale);
            const QString seconds = locale.toString(QTime(0, 0, 37), QStringLiteral("ss"));
            QVERIFY2(!text.contains("UTC") && !text.contains("()") && !text.contains("[]") &&
                         text == text.trimmed() && !text.endsWith(',') && text.contains(seconds),
                     qPrintable(locale.name() + ": " + text));
        }
    }

    // Ctrl+C copies the selected hits in the order shown, headers first, each on one line; the
    // empty row alone copies nothing. Tab leaves the grid rather than walking its cells.
    void copy()
    {
        Grid g;
        QVERIFY(g.show());
        QApplication::clipboard()->setText(QStringLiteral("kept"));
        g.click(0);
        QVERIFY(!g.view.copyAction()->isEnabled());
        QTest::keySequence(&g.view, QKeySequence::Copy);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("kept"));
        g.model.addHits({hit("fi\trst", 0, {}, "a")}); // fills the selected empty row
        QVERIFY(g.view.copyAction()->isEnabled());
        g.model.addHits({hit("third", 2, {}, "a"), hit("x", 1)});
        g.clickHeader(ResultsModel::Subject); // first, third, x
        g.click(1);
        g.click(0, Qt::ControlModifier);
        QTest::keySequence(&g.view, QKeySequence::Copy);
        QCOMPARE(QApplication::clipboard()->text(),
                 "Folder\tDate\tSubject\tFrom\nF0\t\tfi rst\ta\nF2\t\tthird\ta\n");
        const QModelIndex current = g.view.currentIndex();
        QTest::keyClick(&g.view, Qt::Key_Tab);
        QCOMPARE(g.view.currentIndex(), current);
    }

    // Fields with a comma, quote, CR or LF quoted; rows without any text left out. A cell that a
    // spreadsheet would run as a formula starts with an apostrophe in the file; the clipboard
    // keeps the text as shown.
    void csv_data()
    {
        QTest::addColumn<QStringList>("cells"); // folder, subject, from of one hit
        QTest::addColumn<QByteArray>("line");   // its line in the file
        QTest::addColumn<QString>("copied");    // its line on the clipboard
        QTest::newRow("quoted") << QStringList{"Work, old", "say \"hi\"", "cr\rhere"}
                                << QByteArray("\"Work, old\",D,\"say \"\"hi\"\"\",\"cr\rhere\"")
                                << "Work, old\tD\tsay \"hi\"\tcr here";
        QTest::newRow("line break; CR first")
            << QStringList{"\rF0", "two\nlines", "a=b"}
            << QByteArray("\"'\rF0\",D,\"two\nlines\",a=b") << " F0\tD\ttwo lines\ta=b";
        QTest::newRow("formula") << QStringList{"=1+2", "=HYPERLINK(\"http://x/\",\"y\")", "@A1"}
                                 << QByteArray(
                                        "'=1+2,D,\"'=HYPERLINK(\"\"http://x/\"\",\"\"y\"\")\",'@A1")
                                 << "=1+2\tD\t=HYPERLINK(\"http://x/\",\"y\")\t@A1";
        QTest::newRow("sign, tab") << QStringList{"+49 30", "-2", "\tx =y"}
                                   << QByteArray("'+49 30,D,'-2,'\tx =y") << "+49 30\tD\t-2\t x =y";
    }
    void csv()
    {
        QFETCH(QStringList, cells);
        QFETCH(QByteArray, line);
        QFETCH(QString, copied);
        Hit one = hit(cells[1], 0, at(9, 10), cells[2]);
        one.folder = cells[0];
        Hit blank = hit("", 0, {}, "");
        blank.folder.clear();
        ResultsModel model;
        model.addHits({one, blank});
        QCOMPARE(results::modelToCsv(model), "Folder,Date,Subject,From\r\n" +
                                                 line.replace(",D,", ",9 Jan 2006 10:00:00,") +
                                                 "\r\n");
        QCOMPARE(model.rowsAsText({0}), "Folder\tDate\tSubject\tFrom\n" +
                                            copied.replace("\tD\t", "\t9 Jan 2006 10:00:00\t") +
                                            '\n');
    }

    // Subjects, senders and folder names are shown as they are, in the cells and in the
    // tooltips of a hovered row: never read as markup, nothing loaded.
    void hostileText_data() { testsupport::addHostileTextRows(m_trap.path()); }
    void hostileText()
    {
        QFETCH(QString, text);
        Grid g;
        Hit h = hit(text, 0, {}, text);
        h.folder = text;
        g.model.addHits({h});
        QVERIFY(g.show());
        QStringList shown;
        for (int column : {ResultsModel::Folder, ResultsModel::Subject, ResultsModel::From}) {
            const QModelIndex cell = g.model.index(0, column);
            const QPoint at = g.view.visualRect(cell).center();
            shown << cell.data().toString() << testsupport::shownToolTip(g.view.viewport(), at);
        }
        QCOMPARE(m_trap.takeOpens(), 0);
        QCOMPARE(shown, QStringList(6, text));
    }
};

QTEST_MAIN(TestResults)
#include "tst_results.moc"
