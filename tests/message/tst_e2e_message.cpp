// Opening found messages from the private Dovecot servers, in both layouts: headers, text and
// attachments as the mailbox was written, the saved .eml byte for byte as the server sends it,
// and no flag changed on the server (the message stays unread).

#include "app/messagewindow.h"
#include "support/dovecotfixture.h"
#include "support/rawimap.h"

#include <QFile>
#include <QFileDialog>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using testsupport::DovecotFixture;

namespace {

QString str(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

QByteArray quotedName(const QJsonObject &m)
{
    QByteArray name = str(m, "server_name").toUtf8();
    name.replace("\\", "\\\\").replace("\"", "\\\"");
    return '"' + name + '"';
}

// The folder's flags as the server lists them (the tagged line, with its timings, left out).
QList<QByteArray> folderFlags(const DovecotFixture &fx, const QJsonObject &m)
{
    testsupport::RawImap raw(QStringLiteral("127.0.0.1"), fx.port);
    if (!raw.login("demo", "demo"))
        return {"login failed"};
    raw.command({"1 EXAMINE " + quotedName(m)});
    QList<QByteArray> lines = raw.command({"1 FETCH 1:* (FLAGS)"});
    if (!lines.isEmpty())
        lines.removeLast();
    return lines;
}

// The message as the server sends it, read by hand from the literal.
QByteArray serverBytes(const DovecotFixture &fx, const QJsonObject &m)
{
    testsupport::RawImap raw(QStringLiteral("127.0.0.1"), fx.port);
    if (!raw.login("demo", "demo"))
        return {};
    raw.command({"1 EXAMINE " + quotedName(m)});
    const QList<QByteArray> lines = raw.command(
        {"1 FETCH " + QByteArray::number(m.value(QLatin1String("seq")).toInt()) + " BODY.PEEK[]"});
    const QByteArray line = lines.value(0);
    const qsizetype open = line.indexOf('{');
    const qsizetype close = line.indexOf("}\r\n", open);
    if (open < 0 || close < 0)
        return {};
    return line.mid(close + 3, line.mid(open + 1, close - open - 1).toLongLong());
}

message::MessageRef refOf(const QJsonObject &m)
{
    message::MessageRef ref;
    ref.mailbox = str(m, "server_name").toUtf8();
    ref.seq = quint32(m.value(QLatin1String("seq")).toInt());
    ref.from = str(m, "from");
    ref.subject = str(m, "subject");
    // The grid's Date text: the field unfolded.
    ref.dateHeader =
        m.value(QLatin1String("headers")).toObject().value(QLatin1String("Date")).toString();
    ref.dateHeader.remove(QStringLiteral("\r\n"));
    return ref;
}

// An unread message with an attachment, whose Date the grid can read.
QJsonObject pickMessage(const DovecotFixture &fx)
{
    for (const QJsonValue &v : fx.messages()) {
        const QJsonObject m = v.toObject();
        if (m.value(QLatin1String("attachment")).isObject() &&
            !m.value(QLatin1String("seen")).toBool() &&
            !m.value(QLatin1String("date_utc")).isNull())
            return m;
    }
    return {};
}

} // namespace

class TestE2EMessage : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void open_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::newRow("maildir") << QStringLiteral("maildir");
        QTest::newRow("fs") << QStringLiteral("fs");
    }
    void open()
    {
        QFETCH(QString, layout);
        const DovecotFixture fx = DovecotFixture::load(layout);
        QVERIFY2(fx.isValid(), "the Dovecot fixture is not running (run through ctest)");
        const QJsonObject m = pickMessage(fx);
        QVERIFY(!m.isEmpty());
        const QList<QByteArray> flagsBefore = folderFlags(fx, m);
        QVERIFY(!flagsBefore.isEmpty());
        const QByteArray expectedBytes = serverBytes(fx, m);
        QVERIFY(!expectedBytes.isEmpty());

        auto *w = new MessageWindow;
        QSignalSpy shown(w, &MessageWindow::messageShown);
        w->fetch(imap::parseServerAddress(fx.address()), QStringLiteral("demo"),
                 QStringLiteral("demo"), refOf(m));
        QVERIFY(shown.wait(30000));
        QTRY_VERIFY(!w->findChild<message::MessageFetchJob *>());

        QCOMPARE(w->rawMessage(), expectedBytes);
        const message::MessageContent &c = w->content();
        QCOMPARE(c.subject, str(m, "subject"));
        QCOMPARE(w->findChild<QLabel *>(QStringLiteral("subjectLabel"))->text(), c.subject);
        QCOMPARE(c.from, str(m, "from"));
        QVERIFY(c.date.isValid());
        QCOMPARE(c.date.toUTC().toString(Qt::ISODate), str(m, "date_utc"));
        QCOMPARE(c.text, str(m, "body"));
        const QJsonObject attachment = m.value(QLatin1String("attachment")).toObject();
        QCOMPARE(c.attachments.size(), 1);
        QCOMPARE(c.attachments.at(0).name, str(attachment, "filename"));
        QCOMPARE(c.attachments.at(0).mimeType, str(attachment, "content_type"));
        QCOMPARE(c.attachments.at(0).size(), attachment.value(QLatin1String("size")).toInteger());

        // Saved as .eml: exactly the server's bytes.
        w->findChild<QPushButton *>(QStringLiteral("saveMessageButton"))->click();
        auto *dialog = w->findChild<QFileDialog *>(QStringLiteral("saveMessageDialog"));
        QVERIFY(dialog);
        const QString path = m_dir.filePath(layout + QStringLiteral(".eml"));
        dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->accept();
        QFile saved(path);
        QTRY_VERIFY(saved.exists());
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), expectedBytes);
        delete w;

        // Still unread, nothing else changed.
        QCOMPARE(folderFlags(fx, m), flagsBefore);
    }

    // The row's number now shows another message: nothing of it is shown or touched.
    void changed()
    {
        const DovecotFixture fx = DovecotFixture::load(QStringLiteral("maildir"));
        QVERIFY(fx.isValid());
        const QJsonObject m = pickMessage(fx);
        message::MessageRef ref = refOf(m);
        ref.seq = ref.seq > 1 ? ref.seq - 1 : ref.seq + 1;
        const QList<QByteArray> flagsBefore = folderFlags(fx, m);

        MessageWindow w;
        QSignalSpy shown(&w, &MessageWindow::messageShown);
        w.fetch(imap::parseServerAddress(fx.address()), QStringLiteral("demo"),
                QStringLiteral("demo"), ref);
        QTRY_COMPARE_WITH_TIMEOUT(w.findChild<QLabel *>(QStringLiteral("errorLabel"))->text(),
                                  message::MessageFetchJob::kChangedText, 30000);
        QTRY_VERIFY(!w.findChild<message::MessageFetchJob *>());
        QCOMPARE(shown.size(), 0);
        QVERIFY(w.rawMessage().isEmpty());
        QCOMPARE(folderFlags(fx, m), flagsBefore);
    }
};

QTEST_MAIN(TestE2EMessage)
#include "tst_e2e_message.moc"
