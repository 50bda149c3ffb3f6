// Opening a found message: the UID and BODY[] readers, and the fetch job against the scripted
// server (the exact conversation, a message changed since the search, refusals).

#include "message/fetchitems.h"
#include "message/messagefetchjob.h"
#include "support/fakeimapserver.h"
#include "support/testhelpers.h"

#include <QSignalSpy>
#include <QTest>

using message::MessageFetchJob;
using message::MessageRef;
using testsupport::scriptEscape;

namespace {

const QString kGreeting = QStringLiteral("S: * OK [CAPABILITY IMAP4rev1] ready\n");
const QString kLogin = kGreeting + QStringLiteral("C: 1 LOGIN demo demo\nS: 1 OK in\n");
const QString kExamine = QStringLiteral("C: 1 EXAMINE \"Work.2005\"\nS: 1 OK [READ-ONLY] done\n");
const QString kHeaderFetch =
    QStringLiteral("C: 1 FETCH 7 (UID BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)])\n");
const QString kLogout = QStringLiteral("C: 1 LOGOUT\nS: * BYE bye\nS: 1 OK done\n");

const QByteArray kHeaders = "Date: Tue, 3 Jan 2006 10:15:00 +0000\r\n"
                            "From: =?UTF-8?Q?J=C3=B6rg?= <joerg@example.de>\r\n"
                            "Subject: Quarterly\r\n report\r\n\r\n";

// The message as stored: 8-bit bytes, a line that looks like a tagged reply, a ")" at the end.
const QByteArray kRaw = "Date: Tue, 3 Jan 2006 10:15:00 +0000\r\n"
                        "From: =?UTF-8?Q?J=C3=B6rg?= <joerg@example.de>\r\n"
                        "Subject: Quarterly\r\n report\r\n\r\n"
                        "1 OK not the end\r\nGr\xfc\xdf\x65 \x00)";

MessageRef rowRef()
{
    MessageRef ref;
    ref.mailbox = "Work.2005";
    ref.seq = 7;
    ref.from = QStringLiteral("Jörg <joerg@example.de>");
    ref.subject = QStringLiteral("Quarterly report");
    ref.dateHeader = QStringLiteral("Tue, 3 Jan 2006 10:15:00 +0000");
    return ref;
}

QString headerAnswer(const QString &items, const QByteArray &block)
{
    return QStringLiteral("S: * 7 FETCH (%1BODY[HEADER.FIELDS (DATE FROM SUBJECT)] {%2}\n"
                          "S+ %3\nS: )\n")
        .arg(items)
        .arg(block.size())
        .arg(scriptEscape(block));
}

QString bodyExchange(quint32 uid, const QByteArray &raw)
{
    return QStringLiteral("C: 1 UID FETCH %1 BODY.PEEK[]\n"
                          "S: * 7 FETCH (UID %1 BODY[] {%2}\nS+ %3\nS: )\nS: 1 OK done\n")
        .arg(uid)
        .arg(raw.size())
        .arg(scriptEscape(raw));
}

struct Job
{
    FakeImapServer server;
    MessageFetchJob job;
    QList<QByteArray> fetched;
    QStringList failed;
    QStringList signalOrder;

    explicit Job(const QString &script)
    {
        server.listen();
        server.setScript(script);
        job.session().connection().setTimeouts(testsupport::shortTimeouts());
        QObject::connect(&job, &MessageFetchJob::fetched, &job, [this](const QByteArray &raw) {
            fetched.append(raw);
            signalOrder.append(QStringLiteral("fetched"));
        });
        QObject::connect(&job, &MessageFetchJob::failed, &job, [this](const QString &text) {
            failed.append(text);
            signalOrder.append(QStringLiteral("failed"));
        });
        QObject::connect(&job, &MessageFetchJob::finished, &job,
                         [this] { signalOrder.append(QStringLiteral("finished")); });
    }

    bool run(const MessageRef &ref = rowRef())
    {
        QSignalSpy finished(&job, &MessageFetchJob::finished);
        job.start(imap::parseServerAddress(server.address()), QStringLiteral("demo"),
                  QStringLiteral("demo"), ref);
        return finished.wait(10000);
    }
};

} // namespace

Q_DECLARE_METATYPE(MessageRef)

class TestMessageFetchJob : public QObject
{
    Q_OBJECT

private slots:
    void items_data()
    {
        QTest::addColumn<QByteArrayList>("lines");
        QTest::addColumn<int>("uidOf7");          // -1: none
        QTest::addColumn<QByteArray>("bodyOf42"); // "<none>": none

        const QByteArray none = "<none>";
        QTest::newRow("uid first")
            << QByteArrayList{"* 7 FETCH (UID 42 BODY[] {3}\r\nabc)"} << 42 << QByteArray("abc");
        QTest::newRow("uid last, lower case")
            << QByteArrayList{"* 7 fetch (body[] {2}\r\nxy uid 42)"} << 42 << QByteArray("xy");
        QTest::newRow("literal holding a parenthesis and a tagged line")
            << QByteArrayList{"* 7 FETCH (UID 42 BODY[] {13}\r\n)\r\n1 OK x\r\n\r\n)"} << 42
            << QByteArray(")\r\n1 OK x\r\n\r\n");
        QTest::newRow("quoted body")
            << QByteArrayList{"* 7 FETCH (UID 42 BODY[] \"q\\\"t\")"} << 42 << QByteArray("q\"t");
        QTest::newRow("NIL body") << QByteArrayList{"* 7 FETCH (UID 42 BODY[] NIL)"} << 42 << none;
        QTest::newRow("items over two lines")
            << QByteArrayList{"* 7 FETCH (UID 42)", "* 7 FETCH (BODY[] {1}\r\nz)"} << 42
            << QByteArray("z");
        QTest::newRow("another message's body")
            << QByteArrayList{"* 8 FETCH (UID 43 BODY[] {1}\r\nz)", "* 7 FETCH (UID 42)"} << 42
            << none;
        QTest::newRow("body without UID")
            << QByteArrayList{"* 7 FETCH (BODY[] {1}\r\nz)"} << -1 << none;
        QTest::newRow("flags and header item passed over")
            << QByteArrayList{"* 7 FETCH (FLAGS (\\Seen) BODY[HEADER.FIELDS (DATE)] {2}\r\n\r\n "
                              "UID 42)"}
            << 42 << none;
        QTest::newRow("a partial body is not the body")
            << QByteArrayList{"* 7 FETCH (UID 42 BODY[]<0> {1}\r\nz)"} << 42 << none;
        QTest::newRow("unsolicited fetch of another number")
            << QByteArrayList{"* 3 FETCH (UID 42 FLAGS ())"} << -1 << none;
        QTest::newRow("UID not a number") << QByteArrayList{"* 7 FETCH (UID x)"} << -1 << none;
        QTest::newRow("literal longer than the line")
            << QByteArrayList{"* 7 FETCH (UID 42 BODY[] {99}\r\nshort)"} << 42 << none;
        QTest::newRow("not a fetch") << QByteArrayList{"* 7 EXISTS", "1 OK done"} << -1 << none;
    }
    void items()
    {
        QFETCH(QByteArrayList, lines);
        QFETCH(int, uidOf7);
        QFETCH(QByteArray, bodyOf42);
        const auto uid = message::fetchedUid(lines, 7);
        QCOMPARE(uid ? int(*uid) : -1, uidOf7);
        const auto body = message::fetchedBody(lines, 42);
        QCOMPARE(body.value_or("<none>"), bodyOf42);
    }

    // The whole conversation, byte for byte; the message delivered exactly as sent.
    void conversation()
    {
        Job j(kLogin + kExamine + kHeaderFetch + headerAnswer("UID 42 ", kHeaders) +
              "S: 1 OK done\n" + bodyExchange(42, kRaw) + kLogout);
        QStringList progress;
        connect(&j.job, &MessageFetchJob::progress, this,
                [&](const QString &text) { progress.append(text); });
        QVERIFY(j.run());
        QCOMPARE(j.server.failure(), QString());
        QVERIFY(j.server.finished());
        QCOMPARE(j.server.received(),
                 QByteArray("1 LOGIN demo demo\r\n"
                            "1 EXAMINE \"Work.2005\"\r\n"
                            "1 FETCH 7 (UID BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)])\r\n"
                            "1 UID FETCH 42 BODY.PEEK[]\r\n"
                            "1 LOGOUT\r\n"));
        QCOMPARE(j.fetched, QList<QByteArray>{kRaw});
        QCOMPARE(j.signalOrder, QStringList({"fetched", "finished"}));
        QCOMPARE(progress, QStringList({"Connecting…", "Logging in…", "Fetching the message…",
                                        "Downloading the message…"}));
    }

    // A large message tells how much of it has arrived while it arrives.
    void largeMessageReportsBytes()
    {
        const QByteArray big = kRaw + QByteArray(1024 * 1024, 'x') + "\r\n";
        Job j(kLogin + kExamine + kHeaderFetch + headerAnswer("UID 42 ", kHeaders) +
              "S: 1 OK done\nCHUNK 65536\n" + bodyExchange(42, big) + kLogout);
        QStringList progress;
        connect(&j.job, &MessageFetchJob::progress, this,
                [&](const QString &text) { progress.append(text); });
        QVERIFY(j.run());
        QCOMPARE(j.fetched, QList<QByteArray>{big});
        QVERIFY2(progress.size() > 4 && progress.last().endsWith(QStringLiteral(" received")),
                 qPrintable(progress.join(QLatin1Char('|'))));
    }

    // Anything but the row's own message gives the one text and nothing of the message.
    void changed_data()
    {
        QTest::addColumn<QString>("exchange");
        QTest::addColumn<MessageRef>("ref");

        const QString ok = QStringLiteral("S: 1 OK done\n");
        auto with = [](void (*edit)(MessageRef &)) {
            MessageRef r = rowRef();
            edit(r);
            return r;
        };
        QTest::newRow("other subject")
            << headerAnswer("UID 42 ", kHeaders) + ok
            << with([](MessageRef &r) { r.subject = QStringLiteral("Quarterly"); });
        QTest::newRow("other sender")
            << headerAnswer("UID 42 ", kHeaders) + ok
            << with([](MessageRef &r) { r.from = QStringLiteral("joerg@example.de"); });
        QTest::newRow("other date text")
            << headerAnswer("UID 42 ", kHeaders) + ok
            << with([](MessageRef &r) { r.dateHeader = QStringLiteral("3 Jan 2006 10:15 GMT"); });
        QTest::newRow("row had a subject, message has none")
            << headerAnswer("UID 42 ", "Date: Tue, 3 Jan 2006 10:15:00 +0000\r\n"
                                       "From: =?UTF-8?Q?J=C3=B6rg?= <joerg@example.de>\r\n\r\n") +
                   ok
            << rowRef();
        QTest::newRow("no UID") << headerAnswer("", kHeaders) + ok << rowRef();
        QTest::newRow("answer for another number")
            << headerAnswer("UID 42 ", kHeaders).replace("* 7 FETCH", "* 6 FETCH") + ok << rowRef();
        QTest::newRow("number past the end")
            << QStringLiteral("S: 1 BAD Error in IMAP command FETCH: Invalid messageset\n")
            << rowRef();
        QTest::newRow("number gone, nothing sent") << ok << rowRef();
        QTest::newRow("removed before the download")
            << headerAnswer("UID 42 ", kHeaders) + ok +
                   "C: 1 UID FETCH 42 BODY.PEEK[]\nS: 1 OK done\n"
            << rowRef();
        QTest::newRow("download of another UID")
            << headerAnswer("UID 42 ", kHeaders) + ok +
                   bodyExchange(42, kRaw).replace("(UID 42 BODY", "(UID 43 BODY")
            << rowRef();
    }
    void changed()
    {
        QFETCH(QString, exchange);
        QFETCH(MessageRef, ref);
        Job j(kLogin + kExamine + kHeaderFetch + exchange + kLogout);
        QVERIFY(j.run(ref));
        QCOMPARE(j.server.failure(), QString());
        QVERIFY(j.server.finished());
        QCOMPARE(j.failed, QStringList{MessageFetchJob::kChangedText});
        QCOMPARE(j.fetched, QList<QByteArray>());
        QCOMPARE(j.signalOrder.last(), QStringLiteral("finished"));
    }

    // A message without Date, From and Subject matches a row with all three empty.
    void missingFieldsMatch()
    {
        MessageRef ref = rowRef();
        ref.from.clear();
        ref.subject.clear();
        ref.dateHeader.clear();
        Job j(kLogin + kExamine + kHeaderFetch + headerAnswer("UID 42 ", "X-Other: 1\r\n\r\n") +
              "S: 1 OK done\n" + bodyExchange(42, "X-Other: 1\r\n\r\nbody") + kLogout);
        QVERIFY(j.run(ref));
        QCOMPARE(j.fetched, QList<QByteArray>{"X-Other: 1\r\n\r\nbody"});
        QVERIFY(j.failed.isEmpty());
    }

    void refused_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("text");

        QTest::newRow("login") << kGreeting + "C: 1 LOGIN demo demo\nS: 1 NO wrong password\n" +
                                      kLogout
                               << "Error: login failed: wrong password";
        QTest::newRow("folder")
            << kLogin + "C: 1 EXAMINE \"Work.2005\"\nS: 1 NO Mailbox doesn't exist\n" +
                   kHeaderFetch + "S: 1 BAD No mailbox selected\n" + kLogout
            << "Error: server refused the folder: Mailbox doesn't exist";
        QTest::newRow("download")
            << kLogin + kExamine + kHeaderFetch + headerAnswer("UID 42 ", kHeaders) +
                   "S: 1 OK done\nC: 1 UID FETCH 42 BODY.PEEK[]\nS: 1 NO Server error\n" + kLogout
            << "Error: server refused the message: Server error";
        QTest::newRow("greeting BYE")
            << QStringLiteral("S: * BYE too many connections\n")
            << "Error: server refused the connection: too many connections";
    }
    void refused()
    {
        QFETCH(QString, script);
        Job j(script);
        QVERIFY(j.run());
        QCOMPARE(j.server.failure(), QString());
        QTEST(j.failed.value(0), "text");
        QCOMPARE(j.signalOrder, QStringList({"failed", "finished"}));
        QVERIFY(j.fetched.isEmpty());
    }

    // The connection dies in the middle of the download: an error, nothing delivered.
    void connectionLost()
    {
        Job j(kLogin + kExamine + kHeaderFetch + headerAnswer("UID 42 ", kHeaders) +
              "S: 1 OK done\nC: 1 UID FETCH 42 BODY.PEEK[]\nS: * 7 FETCH (UID 42 BODY[] {500}\n"
              "S+ partial\nCLOSE\n");
        QVERIFY(j.run());
        QCOMPARE(j.failed.size(), 1);
        QVERIFY2(j.failed.at(0).startsWith(QLatin1String("Error: ")), qPrintable(j.failed.at(0)));
        QVERIFY(j.fetched.isEmpty());
    }

    // Closing the window mid-way deletes the job: the connection goes at once, no signal.
    void deletedWhileRunning()
    {
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(kLogin + kExamine + kHeaderFetch + "STALL\n");
        auto *job = new MessageFetchJob;
        QSignalSpy finished(job, &MessageFetchJob::finished);
        QSignalSpy gone(&server, &FakeImapServer::clientDisconnected);
        job->start(imap::parseServerAddress(server.address()), QStringLiteral("demo"),
                   QStringLiteral("demo"), rowRef());
        QTRY_VERIFY(server.received().contains("1 FETCH 7"));
        delete job;
        QVERIFY(gone.wait());
        QCOMPARE(finished.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMessageFetchJob)
#include "tst_messagefetchjob.moc"
