#pragma once

#include <QList>
#include <QLocale>
#include <QString>
#include <QStringList>

namespace folders {

// One node of the folder tree shown by the folder picker.
//
// A display path such as "Archive/2006/Q1" gives one node per hierarchy level: "Archive",
// "Archive/2006" and "Archive/2006/Q1". A node's key is the display path's text up to the end of
// its level, so the node of a listed folder always carries exactly that folder's display path;
// its text is the level's name alone. parentKey is the key of the node one level up, or "" for a
// root node. No node ever has an empty key or an empty text.
struct FolderNode
{
    QString key;
    QString text;
    QString parentKey;

    friend bool operator==(const FolderNode &, const FolderNode &) = default;
};

// Builds the tree's nodes from display paths, in the order the nodes are first needed.
//
// Each path is split at "/". A node is created only when no node with its key exists yet, so a
// path listed twice adds nothing the second time, and parents that are not listed themselves are
// created on demand just before their first child. Keys compare exactly: paths that differ only
// in letter case give separate nodes.
//
// Empty levels never become nodes, since they could not be chosen: an empty path adds nothing, a
// trailing "/" is ignored, and a leading or doubled "/" is kept inside the key of the next level
// without a node of its own. "A//B" thus gives "A" and, under it, a node with text "B" and key
// "A//B" (distinct from the "A/B" node when both are listed); "/Sent" gives a root node with text
// "Sent" and key "/Sent".
QList<FolderNode> buildFolderTree(const QStringList &displayPaths);

// The children of the node with key parentKey ("" for the root nodes), in display order.
//
// Siblings sort by their texts with the given locale's collation, ignoring letter case and
// comparing runs of digits by value ("Q2" before "Q10"); texts that still compare equal fall back
// to an exact comparison so the order never depends on the input order. Among the root nodes,
// a node named INBOX (in any letter case) comes first, as mail programs show it.
QList<FolderNode> sortedChildren(const QList<FolderNode> &nodes, const QString &parentKey,
                                 const QLocale &locale = QLocale());

// All nodes in the order a fully expanded tree shows them: every node directly followed by its
// children, siblings in the order of sortedChildren. Parents thus always precede their children.
QList<FolderNode> displayOrder(const QList<FolderNode> &nodes, const QLocale &locale = QLocale());

} // namespace folders
