#include "folders/foldertree.h"

#include <QCollator>
#include <QHash>

#include <algorithm>

namespace folders {

namespace {

bool isInbox(const QString &text)
{
    return text.compare(QLatin1String("INBOX"), Qt::CaseInsensitive) == 0;
}

// Orders siblings for display; see sortedChildren.
class SiblingOrder
{
public:
    SiblingOrder(const QLocale &locale, bool inboxFirst)
        : m_collator(locale), m_inboxFirst(inboxFirst)
    {
        m_collator.setCaseSensitivity(Qt::CaseInsensitive);
        m_collator.setNumericMode(true);
    }

    bool operator()(const FolderNode *a, const FolderNode *b) const
    {
        if (m_inboxFirst) {
            const bool aInbox = isInbox(a->text);
            if (aInbox != isInbox(b->text))
                return aInbox;
        }
        if (const int c = m_collator.compare(a->text, b->text); c != 0)
            return c < 0;
        if (const int c = a->text.compare(b->text); c != 0)
            return c < 0;
        return a->key < b->key;
    }

private:
    QCollator m_collator;
    bool m_inboxFirst;
};

// Children of every parent key, each list in display order.
QHash<QString, QList<const FolderNode *>> childrenByParent(const QList<FolderNode> &nodes,
                                                           const QLocale &locale)
{
    QHash<QString, QList<const FolderNode *>> children;
    for (const FolderNode &node : nodes)
        children[node.parentKey].append(&node);
    const SiblingOrder rootOrder(locale, true);
    const SiblingOrder childOrder(locale, false);
    for (auto it = children.begin(); it != children.end(); ++it) {
        if (it.key().isEmpty())
            std::stable_sort(it->begin(), it->end(), rootOrder);
        else
            std::stable_sort(it->begin(), it->end(), childOrder);
    }
    return children;
}

} // namespace

QList<FolderNode> buildFolderTree(const QStringList &displayPaths)
{
    QList<FolderNode> nodes;
    QHash<QString, qsizetype> indexByKey;
    const auto nodeExists = [&indexByKey](const QString &key) { return indexByKey.contains(key); };

    for (const QString &path : displayPaths) {
        QString parent;
        qsizetype start = 0;
        while (start <= path.size()) {
            qsizetype end = path.indexOf(QLatin1Char('/'), start);
            if (end < 0)
                end = path.size();
            if (end > start) {
                QString key = path.left(end);
                if (!nodeExists(key)) {
                    indexByKey.insert(key, nodes.size());
                    nodes.append(FolderNode{key, path.mid(start, end - start), parent});
                }
                parent = std::move(key);
            }
            start = end + 1;
        }
    }
    return nodes;
}

QList<FolderNode> sortedChildren(const QList<FolderNode> &nodes, const QString &parentKey,
                                 const QLocale &locale)
{
    QList<const FolderNode *> children;
    for (const FolderNode &node : nodes) {
        if (node.parentKey == parentKey)
            children.append(&node);
    }
    std::stable_sort(children.begin(), children.end(), SiblingOrder(locale, parentKey.isEmpty()));

    QList<FolderNode> sorted;
    sorted.reserve(children.size());
    for (const FolderNode *child : children)
        sorted.append(*child);
    return sorted;
}

QList<FolderNode> displayOrder(const QList<FolderNode> &nodes, const QLocale &locale)
{
    const QHash<QString, QList<const FolderNode *>> children = childrenByParent(nodes, locale);

    QList<FolderNode> ordered;
    ordered.reserve(nodes.size());
    // Depth-first walk with an explicit stack: hierarchies can be deep.
    QList<const FolderNode *> stack;
    const auto pushChildren = [&](const QString &key) {
        const auto it = children.constFind(key);
        if (it == children.constEnd())
            return;
        for (auto child = it->crbegin(); child != it->crend(); ++child)
            stack.append(*child);
    };
    pushChildren(QString());
    while (!stack.isEmpty()) {
        const FolderNode *node = stack.takeLast();
        ordered.append(*node);
        pushChildren(node->key);
    }
    return ordered;
}

} // namespace folders
