#include "results/resultsmodel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

using imap::ResultRecord;
using results::ResultsModel;

namespace {

ResultRecord hit(const QString &subject, const QDateTime &date = {},
                 const QString &folder = QStringLiteral("INBOX"),
                 const QString &from = QStringLiteral("someone@example.com"))
{
    ResultRecord r;
    r.strFolder = folder;
    r.strSubject = subject;
    r.strFrom = from;
    r.dtLocal = date;
    return r;
}

QDateTime at(int y, int m, int d, int h, int min = 0)
{
    return QDateTime(QDate(y, m, d), QTime(h, min));
}

// The rows' texts in one column, top to bottom.
QStringList column(const ResultsModel &model, int col)
{
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts.append(model.index(row, col).data().toString());
    return texts;
}

// The rows by subject, top to bottom.
QStringList subjects(const ResultsModel &model)
{
    return column(model, ResultsModel::Subject);
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

    void dateSortsByValue_data();
    void dateSortsByValue();
    void textSortIgnoresCaseAndKeepsOrder_data();
    void textSortIgnoresCaseAndKeepsOrder();
    void textSortFollowsLocaleCollation_data();
    void textSortFollowsLocaleCollation();
    void rowsAppendedAfterSortStayAtEnd();
    void persistentIndexesFollowTheirRows();
    void unknownColumnDoesNothing();
    void rowsAsText_data();
    void rowsAsText();
    void formatDate_data();
    void formatDate();
    void formatDateEveryLocale();
    void faIndex_data();
    void faIndex();
};

void TestResultsModel::dateSortsByValue_data()
{
    QTest::addColumn<int>("order");
    QTest::addColumn<QStringList>("expected");

    // Rows "none1" and "none2" have no date; "noon-a"/"noon-b" share one date-time.
    QTest::newRow("ascending") << int(Qt::AscendingOrder)
                               << QStringList{"none1",  "none2",  "jan9",
                                              "noon-a", "noon-b", "jan10"};
    QTest::newRow("descending") << int(Qt::DescendingOrder)
                                << QStringList{"jan10", "noon-a", "noon-b",
                                               "jan9",  "none1",  "none2"};
}

void TestResultsModel::dateSortsByValue()
{
    QFETCH(int, order);
    QFETCH(QStringList, expected);

    // Month first: "1/10/06 9:00:00 AM" sorts before "1/9/06 10:00:00 AM" as text.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    CheckedModel m;
    m.model.appendRecords({hit("jan10", at(2006, 1, 10, 9)), hit("none1"),
                           hit("noon-a", at(2006, 1, 9, 12)), hit("jan9", at(2006, 1, 9, 10)),
                           hit("none2"), hit("noon-b", at(2006, 1, 9, 12))});
    const QString jan9 = ResultsModel::formatDate(at(2006, 1, 9, 10));
    const QString jan10 = ResultsModel::formatDate(at(2006, 1, 10, 9));
    QVERIFY2(jan10 < jan9, qPrintable(jan10 + " / " + jan9)); // text order is the other way

    m.model.sortBy(ResultsModel::Date, Qt::SortOrder(order));
    QCOMPARE(subjects(m.model), expected);
    // A row without a date shows an empty cell.
    const int none1 = int(subjects(m.model).indexOf("none1"));
    QCOMPARE(m.model.index(none1, ResultsModel::Date).data().toString(), QString());
}

void TestResultsModel::textSortIgnoresCaseAndKeepsOrder_data()
{
    QTest::addColumn<int>("col");
    QTest::addColumn<int>("order");
    QTest::addColumn<QStringList>("input");
    QTest::addColumn<QStringList>("expected");

    const QStringList input{"banana", "apple", "Apple", "APPLE", "Banana"};
    for (int col :
         {int(ResultsModel::Folder), int(ResultsModel::Subject), int(ResultsModel::From)}) {
        const QByteArray name = QByteArray::number(col);
        QTest::newRow(name + " ascending")
            << col << int(Qt::AscendingOrder) << input
            << QStringList{"apple", "Apple", "APPLE", "banana", "Banana"};
        QTest::newRow(name + " descending")
            << col << int(Qt::DescendingOrder) << input
            << QStringList{"banana", "Banana", "apple", "Apple", "APPLE"};
    }
    QTest::newRow("upper case first in input")
        << int(ResultsModel::Subject) << int(Qt::AscendingOrder)
        << QStringList{"Apple", "banana", "apple"} << QStringList{"Apple", "apple", "banana"};
}

void TestResultsModel::textSortIgnoresCaseAndKeepsOrder()
{
    QFETCH(int, col);
    QFETCH(int, order);
    QFETCH(QStringList, input);
    QFETCH(QStringList, expected);

    for (const QLocale &locale : {QLocale::c(), QLocale(QLocale::English, QLocale::UnitedStates)}) {
        QLocale::setDefault(locale);
        CheckedModel m;
        QList<ResultRecord> records;
        for (const QString &text : input)
            records.append(hit(text, {}, text, text)); // same text in every text column
        m.model.appendRecords(records);
        m.model.sortBy(col, Qt::SortOrder(order));
        QCOMPARE(column(m.model, col), expected);
    }
}

void TestResultsModel::textSortFollowsLocaleCollation_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("expected");

    // Input order: Zebra, Ärger, apfel, Banane.
    QTest::newRow("German: Ä with A")
        << "de_DE" << QStringList{"apfel", "Ärger", "Banane", "Zebra"};
    QTest::newRow("Swedish: Ä after Z")
        << "sv_SE" << QStringList{"apfel", "Banane", "Zebra", "Ärger"};
    QTest::newRow("C: code points") << "C" << QStringList{"apfel", "Banane", "Zebra", "Ärger"};
}

void TestResultsModel::textSortFollowsLocaleCollation()
{
    QFETCH(QString, locale);
    QFETCH(QStringList, expected);

    QLocale::setDefault(QLocale(locale));
    CheckedModel m;
    m.model.appendRecords({hit("Zebra"), hit("Ärger"), hit("apfel"), hit("Banane")});
    m.model.sortBy(ResultsModel::Subject, Qt::AscendingOrder);
    QCOMPARE(subjects(m.model), expected);
}

void TestResultsModel::rowsAppendedAfterSortStayAtEnd()
{
    CheckedModel m;
    m.model.appendRecords({hit("m"), hit("z"), hit("a")});
    m.model.sortByHeader(ResultsModel::Subject);
    QCOMPARE(subjects(m.model), (QStringList{"a", "m", "z"}));

    // The search goes on: new hits arrive after the sort.
    QSignalSpy layout(&m.model, &QAbstractItemModel::layoutChanged);
    m.model.appendRecords({hit("c"), hit("b")});
    m.model.appendRecords({hit("0")});
    QCOMPARE(subjects(m.model), (QStringList{"a", "m", "z", "c", "b", "0"}));
    QCOMPARE(layout.count(), 0);
    QCOMPARE(m.model.hitCount(), 6);

    // The next click sorts everything present, in the flipped direction.
    m.model.sortByHeader(ResultsModel::Subject);
    QCOMPARE(subjects(m.model), (QStringList{"z", "m", "c", "b", "a", "0"}));
}

void TestResultsModel::persistentIndexesFollowTheirRows()
{
    CheckedModel m;
    m.model.appendRecords(
        {hit("c", at(2006, 3, 1, 0)), hit("a", at(2006, 1, 1, 0)), hit("b", at(2006, 2, 1, 0))});
    const QPersistentModelIndex c = m.model.index(0, ResultsModel::Subject);
    const QPersistentModelIndex a = m.model.index(1, ResultsModel::Date);
    m.model.sortBy(ResultsModel::Subject, Qt::AscendingOrder);
    QCOMPARE(c.row(), 2);
    QCOMPARE(c.column(), int(ResultsModel::Subject));
    QCOMPARE(c.data().toString(), QStringLiteral("c"));
    QCOMPARE(a.row(), 0);
    QCOMPARE(a.data(ResultsModel::SortRole).toDateTime(), at(2006, 1, 1, 0));
    QCOMPARE(m.model.record(a.row()).strSubject, QStringLiteral("a"));
}

void TestResultsModel::unknownColumnDoesNothing()
{
    CheckedModel m;
    m.model.appendRecords({hit("b"), hit("a")});
    QSignalSpy layout(&m.model, &QAbstractItemModel::layoutChanged);
    m.model.sortBy(-1, Qt::AscendingOrder);
    m.model.sortBy(ResultsModel::ColumnCount, Qt::AscendingOrder);
    QCOMPARE(layout.count(), 0);
    QCOMPARE(subjects(m.model), (QStringList{"b", "a"}));
}

void TestResultsModel::rowsAsText_data()
{
    QTest::addColumn<QList<int>>("rows");
    QTest::addColumn<QString>("expected");

    const QString header = "Folder\tDate\tSubject\tFrom\n";
    const QString row0 = "INBOX\t9 Jan 2006 10:00:00\tplain\tann@example.com\n";
    const QString row1 = "Work/Q1\t\ttab here and line  break\tbob\n";
    const QString row2 = "INBOX\t\tpara sep\tline sep\n";
    QTest::newRow("one row") << QList<int>{0} << header + row0;
    QTest::newRow("in the order given") << QList<int>{2, 0} << header + row2 + row0;
    QTest::newRow("cells with tabs and breaks") << QList<int>{1} << header + row1;
    QTest::newRow("out of range left out") << QList<int>{-1, 3, 0} << header + row0;
    QTest::newRow("nothing") << QList<int>{} << QString();
    QTest::newRow("no hit among them") << QList<int>{5} << QString();
}

void TestResultsModel::rowsAsText()
{
    QFETCH(QList<int>, rows);
    QFETCH(QString, expected);

    CheckedModel m;
    m.model.appendRecords(
        {hit("plain", at(2006, 1, 9, 10), "INBOX", "ann@example.com"),
         hit("tab\there and line\r\nbreak", {}, "Work/Q1", "bob"),
         hit(QStringLiteral("para\u2029sep"), {}, "INBOX", QStringLiteral("line\u2028sep"))});
    QCOMPARE(m.model.rowsAsText(rows), expected);
}

void TestResultsModel::formatDate_data()
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
    QTest::newRow("bg_BG: quoted text kept") << "bg_BG" << QStringLiteral("9.01.06 г. 22:05:37 ч.");
    QTest::newRow("fr_CA: quoted units") << "fr_CA"
                                         << "2006-01-09 22 h 05 min 37 s";
    QTest::newRow("nds_DE: quoted prefix") << "nds_DE"
                                           << "9.01.06 Klock 22.05:37";
    QTest::newRow("nus_SS: zone first") << "nus_SS" << QStringLiteral("9/01/2006 10:05:37 TŊ");
    QTest::newRow("yue_HK: zone in square brackets")
        << "yue_HK" << QStringLiteral("2006/1/9 下午10:05:37");
    QTest::newRow("zh_TW: day period") << "zh_TW" << QStringLiteral("2006/1/9 下午10:05:37");
}

void TestResultsModel::formatDate()
{
    QFETCH(QString, locale);
    QFETCH(QString, expected);

    const QDateTime dt(QDate(2006, 1, 9), QTime(22, 5, 37));
    QCOMPARE(ResultsModel::formatDate(dt, QLocale(locale)), expected);
    QLocale::setDefault(QLocale(locale));
    QCOMPARE(ResultsModel::formatDate(dt), expected);
    QCOMPARE(ResultsModel::formatDate(QDateTime()), QString());
}

void TestResultsModel::formatDateEveryLocale()
{
    // Whatever the locale: no zone name (the zone here is UTC), no empty brackets or stray
    // separators, and the seconds.
    const QDateTime dt(QDate(2006, 1, 9), QTime(22, 5, 37));
    const QList<QLocale> locales =
        QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
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

void TestResultsModel::faIndex_data()
{
    QTest::addColumn<qint32>("row");
    QTest::addColumn<qint32>("col");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint32>("expected");

    const qint32 max = std::numeric_limits<qint32>::max();
    const qint32 min = std::numeric_limits<qint32>::min();
    QTest::newRow("2,3") << 2 << 3 << true << 11;
    QTest::newRow("0,0") << 0 << 0 << true << 0;
    QTest::newRow("16-bit extremes") << 32767 << 32767 << true << 163835;
    QTest::newRow("largest product") << max / 4 << 3 << true << max;
    QTest::newRow("sum overflows") << max / 4 << 4 << false << 0;
    QTest::newRow("product overflows") << max / 4 + 1 << 0 << false << 0;
    QTest::newRow("negative row") << -1 << 3 << true << -1;
    QTest::newRow("smallest product") << min / 4 << 0 << true << min;
    QTest::newRow("below smallest") << min / 4 << -1 << false << 0;
    QTest::newRow("negative product overflows") << min / 4 - 1 << 0 << false << 0;
}

void TestResultsModel::faIndex()
{
    QFETCH(qint32, row);
    QFETCH(qint32, col);
    QFETCH(bool, ok);
    QFETCH(qint32, expected);

    const std::optional<qint32> index = results::faIndex(row, col);
    QCOMPARE(index.has_value(), ok);
    if (ok)
        QCOMPARE(*index, expected);
}

QTEST_GUILESS_MAIN(TestResultsModel)
#include "tst_resultsmodel.moc"
