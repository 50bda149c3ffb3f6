#pragma once

#include <QList>
#include <QLocale>
#include <QString>
#include <QStringList>

namespace folders {

// One node of the folder tree shown by the folder picker.
//
// A display path such as "Archive/2006/Q1" gives one node per hierarchy level: "Archive",
// "2006" under it and "Q1" under that. A node keeps only its own level's name (text), the
// index of the node one level up in the same list (parent, -1 for a root node) and the number
// of "/" that join it to its parent's path (slashes: 1 for an ordinary level, more after empty
// levels, 0 for a root node that starts the path). Its display path, the parent's path followed
// by those slashes and the text, is rebuilt by folderPath() when it is needed, so a tree costs
// memory in proportion to the total length of the names however deep it goes. No node ever has
// an empty text, and a parent always comes before its children in the list.
struct FolderNode
{
    QString text;
    qsizetype parent = -1;
    qsizetype slashes = 0;

    friend bool operator==(const FolderNode &, const FolderNode &) = default;
};

// Builds the tree's nodes from display paths, in the order the nodes are first needed.
//
// Each path is split at "/". A node is created only when no node with its display path exists
// yet, so a path listed twice adds nothing the second time, and parents that are not listed
// themselves are created on demand just before their first child. Paths compare exactly: paths
// that differ only in letter case give separate nodes.
//
// Empty levels never become nodes, since they could not be chosen: an empty path adds nothing, a
// trailing "/" is ignored, and a leading or doubled "/" is kept inside the path of the next level
// without a node of its own. "A//B" thus gives "A" and, under it, a node with text "B" and path
// "A//B" (distinct from the "A/B" node when both are listed); "/Sent" gives a root node with text
// "Sent" and path "/Sent".
//
// Time and memory are proportional to the total length of the paths.
QList<FolderNode> buildFolderTree(const QStringList &displayPaths);

// The display path of node `index`: exactly the text of the listed path up to the end of the
// node's level. Costs time in proportion to the path's length.
QString folderPath(const QList<FolderNode> &nodes, qsizetype index);

// The indexes of the children of node `parent` (-1 for the root nodes), in display order.
//
// Siblings sort by their texts with the given locale's collation, ignoring letter case and
// comparing runs of digits by value ("Q2" before "Q10"); texts that still compare equal fall back
// to an exact comparison, then to their paths, so the order never depends on the input order.
// Among the root nodes, a node named INBOX (in any letter case) comes first, as mail programs
// show it.
QList<qsizetype> sortedChildren(const QList<FolderNode> &nodes, qsizetype parent,
                                const QLocale &locale = QLocale());

// The indexes of all nodes in the order a fully expanded tree shows them: every node directly
// followed by its children, siblings in the order of sortedChildren. Parents thus always precede
// their children.
QList<qsizetype> displayOrder(const QList<FolderNode> &nodes, const QLocale &locale = QLocale());

} // namespace folders
