#include "results/resultsmodel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

using results::Hit;
using results::ResultsModel;

namespace {

Hit hit(const QString &subject, const QDateTime &date = {}, qsizetype folderOrder = 0,
        const QString &from = QStringLiteral("someone@example.com"))
{
    Hit h;
    h.folder = QStringLiteral("F%1").arg(folderOrder);
    h.folderOrder = folderOrder;
    h.subject = subject;
    h.from = from;
    h.date = date;
    return h;
}

QDateTime at(int y, int m, int d, int h, int min = 0)
{
    return QDateTime(QDate(y, m, d), QTime(h, min));
}

// The rows' texts in one column, top to bottom.
QStringList column(const ResultsModel &model, int col = ResultsModel::Subject)
{
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts.append(model.index(row, col).data().toString());
    return texts;
}

// A model under the item-model checker for the length of one test.
struct CheckedModel
{
    ResultsModel model;
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::QtTest};
};

} // namespace

class TestResultsModel : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void addHits_data()
    {
        QTest::addColumn<QString>("steps"); // "f:a,b" a batch of folder f; H header click; C clear
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("folders 2, 0, 1 end up in folder order")
            << "2:e,f 0:a,b 1:c,d" << QStringList{"a", "b", "c", "d", "e", "f"};
        QTest::newRow("a folder's rows keep their order")
            << "1:d,c 0:b,a 1:e" << QStringList{"b", "a", "d", "c", "e"};
        QTest::newRow("first hit fills the empty row though it belongs last")
            << "3:z 0:a 1:b" << QStringList{"a", "b", "z"};
        QTest::newRow("after a header click new hits go to the end")
            << "1:m,z 0:a H 0:c 2:b" << QStringList{"a", "m", "z", "c", "b"};
        QTest::newRow("a click on the empty grid counts") << "H 2:b 0:a" << QStringList{"b", "a"};
        QTest::newRow("the next click sorts them all the other way")
            << "0:m,z,a H 1:c,b,0 H" << QStringList{"z", "m", "c", "b", "a", "0"};
        QTest::newRow("clear: folder order again") << "1:z H C 1:b 0:a" << QStringList{"a", "b"};
        QTest::newRow("clear leaves one empty row") << "0:a C" << QStringList{""};
    }

    void addHits()
    {
        QFETCH(QString, steps);
        QFETCH(QStringList, expected);
        CheckedModel m;
        QSignalSpy inserted(&m.model, &QAbstractItemModel::rowsInserted);
        qsizetype hits = 0;
        qsizetype added = 0;
        qsizetype notInserted = 0; // hits that filled the empty row
        for (const QString &step : steps.split(QLatin1Char(' '))) {
            if (step == QLatin1String("H")) {
                m.model.sortByHeader(ResultsModel::Subject);
            } else if (step == QLatin1String("C")) {
                m.model.clear();
                hits = 0;
            } else {
                QList<Hit> batch;
                for (const QString &s : step.mid(2).split(QLatin1Char(',')))
                    batch.append(hit(s, {}, step.left(1).toInt()));
                notInserted += hits == 0 ? 1 : 0;
                m.model.addHits(batch);
                hits += batch.size();
                added += batch.size();
            }
            QCOMPARE(m.model.hitCount(), hits);
        }
        QCOMPARE(column(m.model), expected);
        for (int row = 0; row < m.model.hitCount(); ++row)
            QCOMPARE(m.model.record(row).subject, expected[row]);
        // The empty row is filled, not inserted.
        qsizetype rowsInserted = 0;
        for (const QList<QVariant> &args : std::as_const(inserted))
            rowsInserted += args.at(2).toInt() - args.at(1).toInt() + 1;
        QCOMPARE(rowsInserted, added - notInserted);
    }

    void sortByDate_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<QStringList>("expected");
        // "none1"/"none2" have no date; "noon-a"/"noon-b" share one.
        QTest::newRow("ascending")
            << int(Qt::AscendingOrder)
            << QStringList{"none1", "none2", "jan9", "noon-a", "noon-b", "jan10"};
        QTest::newRow("descending")
            << int(Qt::DescendingOrder)
            << QStringList{"jan10", "noon-a", "noon-b", "jan9", "none1", "none2"};
    }

    void sortByDate()
    {
        QFETCH(int, order);
        QFETCH(QStringList, expected);
        // Month first: "1/10/06 9:00:00 AM" sorts before "1/9/06 10:00:00 AM" as text.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        CheckedModel m;
        m.model.addHits({hit("jan10", at(2006, 1, 10, 9)), hit("none1"),
                         hit("noon-a", at(2006, 1, 9, 12)), hit("jan9", at(2006, 1, 9, 10)),
                         hit("none2"), hit("noon-b", at(2006, 1, 9, 12))});
        QVERIFY(ResultsModel::formatDate(at(2006, 1, 10, 9)) <
                ResultsModel::formatDate(at(2006, 1, 9, 10)));
        m.model.sortBy(ResultsModel::Date, Qt::SortOrder(order));
        QCOMPARE(column(m.model), expected);
        QCOMPARE(column(m.model, ResultsModel::Date).at(expected.indexOf("none1")), QString());
    }

    void sortByText_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("order");
        QTest::addColumn<QStringList>("input");
        QTest::addColumn<QStringList>("expected");

        const QStringList mixed{"banana", "apple", "Apple", "APPLE", "Banana"};
        for (const char *locale : {"C", "en_US"}) {
            for (int col : {ResultsModel::Folder, ResultsModel::Subject, ResultsModel::From}) {
                QTest::addRow("%s col %d ascending, case ignored, stable", locale, col)
                    << locale << col << int(Qt::AscendingOrder) << mixed
                    << QStringList{"apple", "Apple", "APPLE", "banana", "Banana"};
                QTest::addRow("%s col %d descending, stable", locale, col)
                    << locale << col << int(Qt::DescendingOrder) << mixed
                    << QStringList{"banana", "Banana", "apple", "Apple", "APPLE"};
            }
        }
        const QStringList umlaut{"Zebra", "Ärger", "apfel", "Banane"};
        QTest::newRow("German: Ä with A")
            << "de_DE" << int(ResultsModel::Subject) << int(Qt::AscendingOrder) << umlaut
            << QStringList{"apfel", "Ärger", "Banane", "Zebra"};
        QTest::newRow("Swedish: Ä after Z")
            << "sv_SE" << int(ResultsModel::Subject) << int(Qt::AscendingOrder) << umlaut
            << QStringList{"apfel", "Banane", "Zebra", "Ärger"};
    }

    void sortByText()
    {
        QFETCH(QString, locale);
        QFETCH(int, col);
        QFETCH(int, order);
        QFETCH(QStringList, input);
        QFETCH(QStringList, expected);
        QLocale::setDefault(QLocale(locale));
        CheckedModel m;
        QList<Hit> hits;
        for (const QString &text : input) {
            Hit h = hit(text, {}, 0, text);
            h.folder = text; // the same text in every text column
            hits.append(h);
        }
        m.model.addHits(hits);
        m.model.sortBy(col, Qt::SortOrder(order));
        QCOMPARE(column(m.model, col), expected);
    }

    void persistentIndexesFollowTheirRows()
    {
        CheckedModel m;
        m.model.addHits({hit("c", at(2006, 3, 1, 0)), hit("a", at(2006, 1, 1, 0)),
                         hit("b", at(2006, 2, 1, 0))});
        const QPersistentModelIndex c = m.model.index(0, ResultsModel::Subject);
        const QPersistentModelIndex a = m.model.index(1, ResultsModel::Date);
        m.model.sortBy(ResultsModel::Subject, Qt::AscendingOrder);
        QCOMPARE(c.row(), 2);
        QCOMPARE(c.data().toString(), QStringLiteral("c"));
        QCOMPARE(a.row(), 0);
        QCOMPARE(a.column(), int(ResultsModel::Date));
        QCOMPARE(a.data(ResultsModel::SortRole).toDateTime(), at(2006, 1, 1, 0));

        // An unknown column changes nothing.
        QSignalSpy layout(&m.model, &QAbstractItemModel::layoutChanged);
        m.model.sortBy(-1, Qt::AscendingOrder);
        m.model.sortBy(ResultsModel::ColumnCount, Qt::AscendingOrder);
        QCOMPARE(layout.count(), 0);
        QCOMPARE(column(m.model), (QStringList{"a", "b", "c"}));
    }

    void rowsAsText_data()
    {
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<QString>("expected");

        const QString header = "Folder\tDate\tSubject\tFrom\n";
        const QString row0 = "F0\t9 Jan 2006 10:00:00\tplain\tann@example.com\n";
        const QString row1 = "F0\t\ttab here and line  break\tbob\n";
        const QString row2 = "F0\t\tpara sep\tline sep\n";
        QTest::newRow("one row") << QList<int>{0} << header + row0;
        QTest::newRow("in the order given") << QList<int>{2, 0} << header + row2 + row0;
        QTest::newRow("cells with tabs and breaks") << QList<int>{1} << header + row1;
        QTest::newRow("out of range left out") << QList<int>{-1, 3, 0} << header + row0;
        QTest::newRow("nothing") << QList<int>{} << QString();
        QTest::newRow("no hit among them") << QList<int>{5} << QString();
    }

    void rowsAsText()
    {
        QFETCH(QList<int>, rows);
        QFETCH(QString, expected);
        CheckedModel m;
        m.model.addHits(
            {hit("plain", at(2006, 1, 9, 10), 0, "ann@example.com"),
             hit("tab\there and line\r\nbreak", {}, 0, "bob"),
             hit(QStringLiteral("para\u2029sep"), {}, 0, QStringLiteral("line\u2028sep"))});
        QCOMPARE(m.model.rowsAsText(rows), expected);
    }

    void formatDate_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("expected");
        // 9 January 2006 22:05:37: short date, then the long time without the zone name.
        QTest::newRow("C") << "C"
                           << "9 Jan 2006 22:05:37";
        QTest::newRow("en_US: AM/PM then zone") << "en_US"
                                                << "1/9/06 10:05:37 PM";
        QTest::newRow("de_DE") << "de_DE"
                               << "09.01.06 22:05:37";
        QTest::newRow("eu_ES: zone in brackets") << "eu_ES"
                                                 << "06/1/9 22:05:37";
        QTest::newRow("be_BY: comma before zone") << "be_BY"
                                                  << "9.01.06 22:05:37";
        QTest::newRow("bg_BG: quoted text kept")
            << "bg_BG" << QStringLiteral("9.01.06 г. 22:05:37 ч.");
        QTest::newRow("fr_CA: quoted units") << "fr_CA"
                                             << "2006-01-09 22 h 05 min 37 s";
        QTest::newRow("nds_DE: quoted prefix") << "nds_DE"
                                               << "9.01.06 Klock 22.05:37";
        QTest::newRow("nus_SS: zone first") << "nus_SS" << QStringLiteral("9/01/2006 10:05:37 TŊ");
        QTest::newRow("yue_HK: zone in square brackets")
            << "yue_HK" << QStringLiteral("2006/1/9 下午10:05:37");
        QTest::newRow("zh_TW: day period") << "zh_TW" << QStringLiteral("2006/1/9 下午10:05:37");
    }

    void formatDate()
    {
        QFETCH(QString, locale);
        QFETCH(QString, expected);
        const QDateTime dt(QDate(2006, 1, 9), QTime(22, 5, 37));
        QCOMPARE(ResultsModel::formatDate(dt, QLocale(locale)), expected);
        QLocale::setDefault(QLocale(locale));
        QCOMPARE(ResultsModel::formatDate(dt), expected);
        QCOMPARE(ResultsModel::formatDate(QDateTime()), QString());
    }

    void formatDateEveryLocale()
    {
        // Whatever the locale: no zone name (the zone here is UTC), no empty brackets or stray
        // separators, and the seconds.
        const QDateTime dt(QDate(2006, 1, 9), QTime(22, 5, 37));
        const QList<QLocale> locales = QLocale::matchingLocales(
            QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
        QVERIFY(locales.size() > 100);
        for (const QLocale &locale : locales) {
            const QString text = ResultsModel::formatDate(dt, locale);
            const QString seconds = locale.toString(QTime(0, 0, 37), QStringLiteral("ss"));
            const QString what = locale.name() + QStringLiteral(": ") + text;
            QVERIFY2(!text.contains(QStringLiteral("UTC")), qPrintable(what));
            QVERIFY2(!text.contains(QStringLiteral("()")) && !text.contains(QStringLiteral("[]")),
                     qPrintable(what));
            QVERIFY2(text == text.trimmed() && !text.endsWith(QLatin1Char(',')), qPrintable(what));
            QVERIFY2(text.contains(seconds), qPrintable(what));
        }
    }
};

QTEST_GUILESS_MAIN(TestResultsModel)
#include "tst_resultsmodel.moc"
