#include "support/searchrun.h"

#include "imap/session.h"

#include <QTest>

namespace testsupport {

search::SearchCriteria criteria(const QStringList &fields)
{
    using Criteria = search::SearchCriteria;
    static const QStringList names{"body",   "subject",  "bodyOrSubject", "from",
                                   "toOrCc", "toOrFrom", "after",         "before"};
    static QString Criteria::*const texts[] = {
        &Criteria::body,   &Criteria::subject,  &Criteria::bodyOrSubject, &Criteria::from,
        &Criteria::toOrCc, &Criteria::toOrFrom, &Criteria::after,         &Criteria::before};
    Criteria c;
    for (const QString &field : fields) {
        const qsizetype i = names.indexOf(field.section('=', 0, 0));
        if (field == "attachment")
            c.hasAttachment = true;
        else if (i >= 0)
            c.*texts[i] = field.section('=', 1);
        else
            qFatal("criteria: no field in %s", qPrintable(field));
    }
    return c;
}

Rows modelRows(const results::ResultsModel &model)
{
    Rows out;
    for (qsizetype i = 0; i < model.hitCount(); ++i)
        out.append({model.record(i).folder, model.record(i).number});
    return out;
}

QMetaObject::Connection recordWire(search::SearchEngine &engine, QMap<int, QByteArray> &wire)
{
    return QObject::connect(
        &engine, &search::SearchEngine::wrote, &engine,
        [&engine, &wire](int n, const QByteArray &b) {
            const auto sessions = engine.findChildren<imap::Session *>(Qt::FindDirectChildrenOnly);
            wire[n] +=
                (sessions.value(n) && sessions[n]->connection().isEncrypted() ? "" : "(clear) ") +
                b;
        });
}

SearchRun::SearchRun()
{
    QObject::connect(&engine, &search::SearchEngine::hitsFound, &model,
                     &results::ResultsModel::addHits);
    QObject::connect(&engine, &search::SearchEngine::finished, &engine,
                     [this](const search::SearchEngine::Summary &s) { summary = s; });
    recordWire(engine, wire);
}

bool SearchRun::run(const search::SearchRequest &request)
{
    return engine.start(request) && QTest::qWaitFor([this] { return summary.has_value(); }, 60000);
}

QByteArray SearchRun::all() const
{
    return wire.values().join().replace("(clear) ", "");
}

} // namespace testsupport
