#pragma once

#include "imap/command.h"

#include <QString>

namespace search {

// The search criteria as the window's fields hold them. Texts are taken exactly as typed (a text
// of spaces is a criterion); the date texts are empty or a date as a date field keeps it
// ("m/d/yyyy").
struct SearchCriteria
{
    QString body;
    QString subject;
    QString bodyOrSubject;
    QString from;
    QString toOrCc;
    QString toOrFrom;
    QString after;  // On/After
    QString before; // On/Before
    bool hasAttachment = false;
};

// Builds the IMAP SEARCH command for the criteria, or an empty Command when none is given:
//   1 SEARCH UNDELETED (SENTBEFORE 1-Feb-2006) (SENTSINCE 5-Jan-2006) (BODY "x") ...
// Clauses come in a fixed order: dates (one SENTON when both dates are the same day, else
// SENTBEFORE the day after On/Before, then SENTSINCE On/After), BODY, SUBJECT, FROM,
// OR SUBJECT/BODY, OR TO/CC, OR TO/FROM, and the attachment test on the Content-Type header.
// Texts always go as quoted strings, or as literals when they hold line breaks or non-ASCII
// characters; with any non-ASCII text the command names CHARSET UTF-8 and all texts are sent as
// UTF-8. A date text that is not a date adds no clause.
imap::Command buildSearchKey(const SearchCriteria &c);

// The same search with its result kept on the server as "$" and all of it returned as one
// extended answer (RFC 5182, RFC 4731):
//   1 SEARCH RETURN (SAVE ALL) UNDELETED ...
imap::Command withResultSaved(const imap::Command &key);

} // namespace search
