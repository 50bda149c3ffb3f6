// The grid as CSV.

#include "results/csvexport.h"

#include <QStandardItemModel>
#include <QTest>

class TestCsvExport : public QObject
{
    Q_OBJECT

private slots:
    void csv_data()
    {
        QTest::addColumn<QList<QStringList>>("rows");
        QTest::addColumn<QByteArray>("csv");

        const QByteArray header = "Folder,Date,Subject,From\r\n";
        QTest::newRow("plain") << QList<QStringList>{{"INBOX", "1/3/06 10:15:00", "Hi", "a@b"}}
                               << header + "INBOX,1/3/06 10:15:00,Hi,a@b\r\n";
        QTest::newRow("comma, quote, CR, LF quoted")
            << QList<QStringList>{{"Work, old", "say \"hi\"", "two\nlines", "cr\rhere"}}
            << header + "\"Work, old\",\"say \"\"hi\"\"\",\"two\nlines\",\"cr\rhere\"\r\n";
        QTest::newRow("quote only")
            << QList<QStringList>{{"\"", "", "", ""}} << header + "\"\"\"\",,,\r\n";
        QTest::newRow("UTF-8") << QList<QStringList>{{"Entwürfe", "", "日本語", "Zoë"}}
                               << header + QString::fromUtf8("Entwürfe,,日本語,Zoë\r\n").toUtf8();
        QTest::newRow("placeholder row left out") << QList<QStringList>{{"", "", "", ""}} << header;
        QTest::newRow("partly empty row kept, order kept")
            << QList<QStringList>{{"B", "", "", ""}, {"", "", "", ""}, {"A", "", "s", ""}}
            << header + "B,,,\r\nA,,s,\r\n";
        QTest::newRow("leading and trailing spaces kept")
            << QList<QStringList>{{" x ", "", "", ""}} << header + " x ,,,\r\n";
    }
    void csv()
    {
        QFETCH(QList<QStringList>, rows);
        QStandardItemModel model(0, 4);
        model.setHorizontalHeaderLabels({"Folder", "Date", "Subject", "From"});
        for (const QStringList &cells : rows) {
            QList<QStandardItem *> items;
            for (const QString &cell : cells)
                items.append(new QStandardItem(cell));
            model.appendRow(items);
        }
        QTEST(results::modelToCsv(model), "csv");
    }

    // The model's current order, as after a click on a column header.
    void followsSortOrder()
    {
        QStandardItemModel model(0, 1);
        model.setHorizontalHeaderLabels({"Subject"});
        for (const char *s : {"b", "c", "a"})
            model.appendRow(new QStandardItem(QString::fromLatin1(s)));
        model.sort(0, Qt::DescendingOrder);
        QCOMPARE(results::modelToCsv(model), QByteArray("Subject\r\nc\r\nb\r\na\r\n"));
    }
};

QTEST_MAIN(TestCsvExport)
#include "tst_csvexport.moc"
