#pragma once

#include "results/resultsmodel.h"
#include "search/searchengine.h"
#include "search/searchkey.h"

#include <QList>
#include <QMap>
#include <QPair>

#include <optional>

namespace testsupport {

using Rows = QList<QPair<QString, quint32>>; // folder and message number of each hit

// Search criteria from "field=text" entries (body, subject, bodyOrSubject, from, toOrCc,
// toOrFrom, after, before); "attachment" ticks the attachment box.
search::SearchCriteria criteria(const QStringList &fields);

// The hits of a results model, in its order.
Rows modelRows(const results::ResultsModel &model);

// Records what each connection of the engine writes, "(clear) " before what goes out
// unencrypted.
QMetaObject::Connection recordWire(search::SearchEngine &engine, QMap<int, QByteArray> &wire);

// One search to its end: the hits in a results model as the window keeps them, and what each
// connection wrote.
struct SearchRun
{
    search::SearchEngine engine;
    results::ResultsModel model;
    std::optional<search::SearchEngine::Summary> summary;
    QMap<int, QByteArray> wire;

    SearchRun();
    // Starts the run and waits for its end (at most a minute); false when it did not end.
    bool run(const search::SearchRequest &request);
    Rows rows() const { return modelRows(model); }
    // Everything written, clear and encrypted alike.
    QByteArray all() const;
};

} // namespace testsupport
