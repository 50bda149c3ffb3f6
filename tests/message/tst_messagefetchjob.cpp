// Opening a found message: the fetch job against the scripted server (the exact conversation, a
// message changed since the search or gone, refusals).

#include "message/messagefetchjob.h"
#include "support/fakeimapserver.h"
#include "support/testhelpers.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

using message::MessageFetchJob;
using message::MessageRef;

namespace {

const QString kLogin = "S: * OK [CAPABILITY IMAP4rev1] ready\nC: 1 LOGIN demo demo\nS: 1 OK in\n"
                       "C: 1 EXAMINE \"Work.2005\"\n";
const QString kHeaderFetch = "C: 1 FETCH 7 (UID BODY.PEEK[HEADER.FIELDS (DATE FROM SUBJECT)])\n";
const QString kOk = "S: 1 OK done\n";
const QString kUidFetch = "C: 1 UID FETCH 42 BODY.PEEK[]\n";
const QString kLogout = "C: 1 LOGOUT\nS: * BYE bye\nS: 1 OK done\n";

const QByteArray kHeaders = "Date: Tue, 3 Jan 2006 10:15:00 +0000\r\n"
                            "From: =?UTF-8?Q?J=C3=B6rg?= <joerg@example.de>\r\n"
                            "Subject: Quarterly\r\n report\r\n\r\n";
const MessageRef kRef{"Work.2005", 7, "Jörg <joerg@example.de>", "Quarterly report",
                      "Tue, 3 Jan 2006 10:15:00 +0000"};

// The message as stored: 8-bit bytes, a line that looks like a tagged reply, a ")" at the end.
const char kBody[] = "1 OK not the end\r\nGr\xfc\xdf\x65 \x00)";
const QByteArray kRaw = kHeaders + QByteArray(kBody, sizeof kBody - 1);

// An untagged FETCH of message 7 whose last item is a literal.
QString answer(const QString &items, const QByteArray &literal)
{
    return QString("S: * 7 FETCH (%1 {%2}\nS+ %3\nS: )\n")
        .arg(items, QString::number(literal.size()), testsupport::scriptEscape(literal));
}

// Logged in, the folder open, and the server's answer to the header fetch.
QString checked(const QByteArray &headers, const QString &uid = "UID 42 ")
{
    return kLogin + "S: 1 OK [READ-ONLY] done\n" + kHeaderFetch +
           answer(uid + "BODY[HEADER.FIELDS (DATE FROM SUBJECT)]", headers) + kOk;
}

const auto fetched = [](const QByteArray &raw) {
    return "CHUNK 65536\n" + kUidFetch + answer("UID 42 BODY[]", raw) + kOk;
};
// What the job reports when it delivers `raw`.
const auto delivered = [](const QByteArray &raw) { return "fetched: " + QString::fromLatin1(raw); };
const auto headersWith = [](const char *a, const char *b) {
    return QByteArray(kHeaders).replace(a, b);
};

} // namespace

Q_DECLARE_METATYPE(MessageRef)

class TestMessageFetchJob : public QObject
{
    Q_OBJECT

private slots:
    // The whole conversation as scripted, ending with LOGOUT; the signals the job gives.
    void conversation_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<MessageRef>("ref");
        QTest::addColumn<QString>("outcome"); // the message delivered, or the failure

        const auto row = [](const char *tag, const QString &script, const QString &outcome,
                            const MessageRef &ref = kRef) {
            QTest::newRow(tag) << script + kLogout << ref << outcome;
        };
        const QString changed = MessageFetchJob::kChangedText;
        const QByteArray large = kRaw + QByteArray(1024 * 1024, 'x');
        row("as the row shows it", checked(kHeaders) + fetched(kRaw), delivered(kRaw));
        row("large, reports the bytes received", checked(kHeaders) + fetched(large),
            delivered(large));
        row("no Date, From or Subject on either side",
            checked("X-Other: 1\r\n\r\n") + fetched("X-Other: 1"), delivered("X-Other: 1"),
            MessageRef{"Work.2005", 7, {}, {}, {}});
        row("other sender", checked(headersWith("J=C3=B6rg", "J=C3=B6rn")), changed);
        row("other subject", checked(headersWith("\r\n report", "")), changed);
        row("other date text", checked(headersWith("+0000", "GMT")), changed);
        row("no UID", checked(kHeaders, ""), changed);
        row("number past the end",
            kLogin + "S: 1 OK done\n" + kHeaderFetch + "S: 1 BAD Invalid messageset\n", changed);
        // After the headers matched: the answer to the download.
        const auto download = [](const QString &answer) {
            return checked(kHeaders) + kUidFetch + answer;
        };
        row("UID gone before the download", download(kOk), changed);
        row("download answer for another message",
            download("S: * 8 FETCH (UID 43 BODY[] {1}\nS+ z\nS: )\n" + kOk), changed);
        row("download refused", download("S: 1 NO Server error\n"),
            "Error: server refused the message: Server error");
        row("folder refused",
            kLogin + "S: 1 NO No such folder\n" + kHeaderFetch + "S: 1 BAD No mailbox selected\n",
            "Error: server refused the folder: No such folder");
        QTest::newRow("connection lost in the download")
            << download("S: * 7 FETCH (UID 42 BODY[] {500}\nS+ part\nCLOSE\n") << kRef
            << "Error: server closed the connection";
        // Closing the window mid-way deletes the job: the connection goes at once, no signal.
        QTest::newRow("deleted while running") << kLogin + kOk + kHeaderFetch + "STALL\n"
                                               << kRef << QString();
    }
    void conversation()
    {
        QFETCH(QString, script);
        QFETCH(MessageRef, ref);
        QFETCH(QString, outcome);
        FakeImapServer server;
        QVERIFY(server.listen());
        server.setScript(script);
        auto job = std::make_unique<MessageFetchJob>();
        job->session().connection().setTimeouts(testsupport::shortTimeouts());
        QStringList events;
        int received = 0;
        connect(job.get(), &MessageFetchJob::fetched, this,
                [&](const QByteArray &raw) { events.append(delivered(raw)); });
        connect(job.get(), &MessageFetchJob::failed, this,
                [&](const QString &t) { events.append(t); });
        connect(job.get(), &MessageFetchJob::finished, this, [&] { events.append("finished"); });
        connect(job.get(), &MessageFetchJob::progress, this,
                [&](const QString &t) { received += t.endsWith(QLatin1String(" received")); });
        QSignalSpy finished(job.get(), &MessageFetchJob::finished);
        job->start(imap::Account::fromFields(server.address(), "demo", "demo"), ref);
        if (outcome.isEmpty()) {
            QSignalSpy gone(&server, &FakeImapServer::clientDisconnected);
            QTRY_VERIFY(server.received().contains("1 FETCH 7"));
            job.reset();
            QVERIFY(gone.wait());
            QVERIFY(events.isEmpty());
            return;
        }
        QVERIFY(finished.wait(10000));
        QVERIFY2(server.finished() && server.failure().isEmpty(), qPrintable(server.failure()));
        QCOMPARE(events, QStringList({outcome, "finished"}));
        // A large message tells how much of it has arrived while it arrives.
        QCOMPARE(received > 0, outcome.size() > 1024 * 1024);

        // A goodbye or failure the session reports once the job is over adds no signal.
        QSignalSpy loggedOut(&job->session(), &imap::Session::loggedOut);
        job->session().logout();
        QVERIFY(loggedOut.wait());
        QSignalSpy failed(&job->session(), &imap::Session::failed);
        job->session().refuse(QStringLiteral("late"), imap::Response());
        QVERIFY(failed.wait());
        QCOMPARE(events.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestMessageFetchJob)
#include "tst_messagefetchjob.moc"
