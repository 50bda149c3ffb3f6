#include "folders/foldertree.h"

#include <QCollator>
#include <QHash>
#include <QStringView>

#include <algorithm>

namespace folders {

namespace {

bool isInbox(const QString &text)
{
    return text.compare(QLatin1String("INBOX"), Qt::CaseInsensitive) == 0;
}

// What makes a node itself: its parent, the slashes before it and its text. Two nodes with the
// same identity have the same display path and the other way round, so a node is found again
// without its path ever being built. The text is a view into the display path being read.
struct NodeIdentity
{
    qsizetype parent;
    qsizetype slashes;
    QStringView text;

    friend bool operator==(const NodeIdentity &, const NodeIdentity &) = default;
};

size_t qHash(const NodeIdentity &identity, size_t seed = 0)
{
    return qHashMulti(seed, identity.parent, identity.slashes, identity.text);
}

// Orders siblings for display; see sortedChildren.
class SiblingOrder
{
public:
    SiblingOrder(const QList<FolderNode> &nodes, const QLocale &locale, bool inboxFirst)
        : m_nodes(nodes), m_collator(locale), m_inboxFirst(inboxFirst)
    {
        m_collator.setCaseSensitivity(Qt::CaseInsensitive);
        m_collator.setNumericMode(true);
    }

    bool operator()(qsizetype left, qsizetype right) const
    {
        const FolderNode &a = m_nodes.at(left);
        const FolderNode &b = m_nodes.at(right);
        if (m_inboxFirst) {
            const bool aInbox = isInbox(a.text);
            if (aInbox != isInbox(b.text))
                return aInbox;
        }
        if (const int c = m_collator.compare(a.text, b.text); c != 0)
            return c < 0;
        if (const int c = a.text.compare(b.text); c != 0)
            return c < 0;
        // Same parent and text: the paths differ in the slashes before the text, and "A//B"
        // sorts before "A/B" as "/" sorts before any letter.
        return a.slashes > b.slashes;
    }

private:
    const QList<FolderNode> &m_nodes;
    QCollator m_collator;
    bool m_inboxFirst;
};

} // namespace

QList<FolderNode> buildFolderTree(const QStringList &displayPaths)
{
    QList<FolderNode> nodes;
    QHash<NodeIdentity, qsizetype> indexOf;

    for (const QString &path : displayPaths) {
        qsizetype parent = -1;
        qsizetype slashes = 0;
        qsizetype start = 0;
        while (start <= path.size()) {
            qsizetype end = path.indexOf(QLatin1Char('/'), start);
            if (end < 0)
                end = path.size();
            if (end > start) {
                const NodeIdentity identity{parent, slashes,
                                            QStringView(path).sliced(start, end - start)};
                auto it = indexOf.constFind(identity);
                if (it == indexOf.constEnd()) {
                    nodes.append(FolderNode{path.mid(start, end - start), parent, slashes});
                    // The key's text now views the node's own copy, which lives as long as
                    // the table does.
                    it = indexOf.insert(
                        NodeIdentity{parent, slashes, QStringView(nodes.constLast().text)},
                        nodes.size() - 1);
                }
                parent = it.value();
                slashes = 0;
            }
            ++slashes;
            start = end + 1;
        }
    }
    return nodes;
}

QString folderPath(const QList<FolderNode> &nodes, qsizetype index)
{
    qsizetype length = 0;
    for (qsizetype at = index; at >= 0; at = nodes.at(at).parent)
        length += nodes.at(at).slashes + nodes.at(at).text.size();

    // Filled from the end, one level at a time.
    QString path(length, Qt::Uninitialized);
    QChar *out = path.data() + length;
    for (qsizetype at = index; at >= 0; at = nodes.at(at).parent) {
        const FolderNode &node = nodes.at(at);
        out -= node.text.size();
        std::copy(node.text.cbegin(), node.text.cend(), out);
        out -= node.slashes;
        std::fill(out, out + node.slashes, QLatin1Char('/'));
    }
    return path;
}

QList<qsizetype> sortedChildren(const QList<FolderNode> &nodes, qsizetype parent,
                                const QLocale &locale)
{
    QList<qsizetype> children;
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        if (nodes.at(i).parent == parent)
            children.append(i);
    }
    std::stable_sort(children.begin(), children.end(), SiblingOrder(nodes, locale, parent < 0));
    return children;
}

QList<qsizetype> displayOrder(const QList<FolderNode> &nodes, const QLocale &locale)
{
    // The children of every node in one array, grouped by parent: those of node p lie in
    // children[first[p + 1], first[p + 2]), the root nodes in children[first[0], first[1]).
    const qsizetype count = nodes.size();
    QList<qsizetype> first(count + 2, 0);
    for (const FolderNode &node : nodes)
        ++first[node.parent + 2];
    for (qsizetype p = 1; p < first.size(); ++p)
        first[p] += first[p - 1];
    QList<qsizetype> children(count);
    QList<qsizetype> fill = first;
    for (qsizetype i = 0; i < count; ++i)
        children[fill[nodes.at(i).parent + 1]++] = i;
    const SiblingOrder rootOrder(nodes, locale, true);
    const SiblingOrder childOrder(nodes, locale, false);
    for (qsizetype p = 0; p <= count; ++p) {
        const auto begin = children.begin() + first[p];
        const auto end = children.begin() + first[p + 1];
        if (end - begin > 1)
            std::stable_sort(begin, end, p == 0 ? rootOrder : childOrder);
    }

    QList<qsizetype> ordered;
    ordered.reserve(count);
    // Depth-first walk with an explicit stack: hierarchies can be deep.
    QList<qsizetype> stack;
    const auto pushChildren = [&](qsizetype parent) {
        for (qsizetype c = first[parent + 2] - 1; c >= first[parent + 1]; --c)
            stack.append(children[c]);
    };
    pushChildren(-1);
    while (!stack.isEmpty()) {
        const qsizetype node = stack.takeLast();
        ordered.append(node);
        pushChildren(node);
    }
    return ordered;
}

} // namespace folders
