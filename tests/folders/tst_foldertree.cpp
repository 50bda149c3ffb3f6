#include "folders/foldertree.h"

#include <QSet>
#include <QTest>

using folders::FolderNode;

namespace {

// The tree as a fully expanded view would show it, one "text [key]" line per node, indented by
// depth, walked with sortedChildren.
void Render(const QList<FolderNode> &nodes, const QString &parentKey, const QLocale &locale,
            int depth, QStringList &lines, QStringList &keys)
{
    for (const FolderNode &child : folders::sortedChildren(nodes, parentKey, locale)) {
        lines.append(QString(depth * 2, QLatin1Char(' ')) + child.text + QStringLiteral(" [") +
                     child.key + QLatin1Char(']'));
        keys.append(child.key);
        Render(nodes, child.key, locale, depth + 1, lines, keys);
    }
}

QStringList Keys(const QList<FolderNode> &nodes)
{
    QStringList keys;
    for (const FolderNode &node : nodes)
        keys.append(node.key);
    return keys;
}

QStringList Texts(const QList<FolderNode> &nodes)
{
    QStringList texts;
    for (const FolderNode &node : nodes)
        texts.append(node.text);
    return texts;
}

} // namespace

class TestFolderTree : public QObject
{
    Q_OBJECT

private slots:
    void buildTree_data();
    void buildTree();
    void siblingOrder_data();
    void siblingOrder();
};

void TestFolderTree::buildTree_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QStringList>("created"); // keys in creation order
    QTest::addColumn<QStringList>("tree");

    QTest::newRow("example")
        << QStringList{"INBOX", "Sent", "Archive/2006/Q1", "Archive/2005", "Sent"}
        << QStringList{"INBOX",           "Sent",        "Archive", "Archive/2006",
                       "Archive/2006/Q1", "Archive/2005"}
        << QStringList{"INBOX [INBOX]",         "Archive [Archive]",        "  2005 [Archive/2005]",
                       "  2006 [Archive/2006]", "    Q1 [Archive/2006/Q1]", "Sent [Sent]"};
    QTest::newRow("duplicates give one node")
        << QStringList{"a/b", "a/b", "a", "a/b"} << QStringList{"a", "a/b"}
        << QStringList{"a [a]", "  b [a/b]"};
    QTest::newRow("parents created on demand")
        << QStringList{"x/y/z/w", "x/y"} << QStringList{"x", "x/y", "x/y/z", "x/y/z/w"}
        << QStringList{"x [x]", "  y [x/y]", "    z [x/y/z]", "      w [x/y/z/w]"};
    QTest::newRow("children sorted, any input order")
        << QStringList{"P/zeta", "P/Alpha", "P/beta", "P/Gamma"}
        << QStringList{"P", "P/zeta", "P/Alpha", "P/beta", "P/Gamma"}
        << QStringList{"P [P]", "  Alpha [P/Alpha]", "  beta [P/beta]", "  Gamma [P/Gamma]",
                       "  zeta [P/zeta]"};
    QTest::newRow("children sorted, reversed input")
        << QStringList{"P/Gamma", "P/beta", "P/Alpha", "P/zeta"}
        << QStringList{"P", "P/Gamma", "P/beta", "P/Alpha", "P/zeta"}
        << QStringList{"P [P]", "  Alpha [P/Alpha]", "  beta [P/beta]", "  Gamma [P/Gamma]",
                       "  zeta [P/zeta]"};
    QTest::newRow("roots sorted, INBOX first")
        << QStringList{"Trash/INBOX", "Drafts", "Trash/Archive", "INBOX", "Archive"}
        << QStringList{"Trash", "Trash/INBOX", "Drafts", "Trash/Archive", "INBOX", "Archive"}
        << QStringList{"INBOX [INBOX]", "Archive [Archive]",         "Drafts [Drafts]",
                       "Trash [Trash]", "  Archive [Trash/Archive]", "  INBOX [Trash/INBOX]"};
    QTest::newRow("inbox in any case first")
        << QStringList{"Archive", "inbox"} << QStringList{"Archive", "inbox"}
        << QStringList{"inbox [inbox]", "Archive [Archive]"};
    QTest::newRow("empty path adds nothing")
        << QStringList{"", "INBOX", ""} << QStringList{"INBOX"} << QStringList{"INBOX [INBOX]"};
    QTest::newRow("no paths") << QStringList{} << QStringList{} << QStringList{};
    QTest::newRow("only slashes") << QStringList{"/", "//", "///"} << QStringList{}
                                  << QStringList{};
    QTest::newRow("leading slash")
        << QStringList{"/Sent", "Sent", "/Sent/Old"} << QStringList{"/Sent", "Sent", "/Sent/Old"}
        << QStringList{"Sent [/Sent]", "  Old [/Sent/Old]", "Sent [Sent]"};
    QTest::newRow("trailing slash")
        << QStringList{"Drafts/", "Drafts", "Work/Q1/"} << QStringList{"Drafts", "Work", "Work/Q1"}
        << QStringList{"Drafts [Drafts]", "Work [Work]", "  Q1 [Work/Q1]"};
    QTest::newRow("doubled slash")
        << QStringList{"A//B", "A/B", "A///C"} << QStringList{"A", "A//B", "A/B", "A///C"}
        << QStringList{"A [A]", "  B [A//B]", "  B [A/B]", "  C [A///C]"};
    QTest::newRow("case-different paths are separate")
        << QStringList{"work/q1", "Work/Q1", "Work"}
        << QStringList{"work", "work/q1", "Work", "Work/Q1"}
        << QStringList{"Work [Work]", "  Q1 [Work/Q1]", "work [work]", "  q1 [work/q1]"};
    QTest::newRow("spaces and non-ASCII kept")
        << QStringList{"Gesendete Objekte", " Spaced /x", "Entwürfe/Alt"}
        << QStringList{"Gesendete Objekte", " Spaced ", " Spaced /x", "Entwürfe", "Entwürfe/Alt"}
        << QStringList{" Spaced  [ Spaced ]", "  x [ Spaced /x]", "Entwürfe [Entwürfe]",
                       "  Alt [Entwürfe/Alt]", "Gesendete Objekte [Gesendete Objekte]"};
}

void TestFolderTree::buildTree()
{
    QFETCH(QStringList, paths);
    QFETCH(QStringList, created);
    QFETCH(QStringList, tree);

    const QLocale c = QLocale::c();
    const QList<FolderNode> nodes = folders::buildFolderTree(paths);
    QCOMPARE(Keys(nodes), created);

    QStringList lines, walked;
    Render(nodes, QString(), c, 0, lines, walked);
    QCOMPARE(lines, tree);
    // Every node is reachable from the roots exactly once, in the same order displayOrder gives.
    QCOMPARE(walked.size(), nodes.size());
    QCOMPARE(Keys(folders::displayOrder(nodes, c)), walked);

    QSet<QString> seen;
    for (const FolderNode &node : nodes) {
        QVERIFY2(!node.key.isEmpty() && !node.text.isEmpty(), qPrintable(node.key));
        QVERIFY2(node.key.endsWith(node.text), qPrintable(node.key));
        QVERIFY2(!seen.contains(node.key), qPrintable(node.key));
        // A parent is created before its children.
        QVERIFY2(node.parentKey.isEmpty() || seen.contains(node.parentKey), qPrintable(node.key));
        seen.insert(node.key);
    }
    // Choosing the node of a listed folder yields that folder's display path exactly.
    for (const QString &path : paths) {
        if (!path.isEmpty() && !path.endsWith(QLatin1Char('/')))
            QVERIFY2(seen.contains(path), qPrintable(path));
    }
}

void TestFolderTree::siblingOrder_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("texts"); // children of "P", in input order
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("C: letter case ignored") << "C" << QStringList{"beta", "Alpha", "gamma", "Delta"}
                                            << QStringList{"Alpha", "beta", "Delta", "gamma"};
    QTest::newRow("C: case ties broken exactly")
        << "C" << QStringList{"b", "B", "a", "A"} << QStringList{"A", "a", "B", "b"};
    QTest::newRow("en_US: letter case ignored")
        << "en_US" << QStringList{"beta", "alpha", "Alpha", "Gamma"}
        << QStringList{"Alpha", "alpha", "beta", "Gamma"};
    QTest::newRow("en_US: numbers by value")
        << "en_US" << QStringList{"Q10", "Q2", "Q1", "2006", "998"}
        << QStringList{"998", "2006", "Q1", "Q2", "Q10"};
    QTest::newRow("de_DE: umlaut beside its letter")
        << "de_DE" << QStringList{"Zebra", "Äpfel", "Birne", "Apfel"}
        << QStringList{"Apfel", "Äpfel", "Birne", "Zebra"};
    QTest::newRow("sv_SE: umlaut after Z") << "sv_SE" << QStringList{"Äpplen", "Zebra", "Apelsin"}
                                           << QStringList{"Apelsin", "Zebra", "Äpplen"};
    QTest::newRow("INBOX not hoisted below the root")
        << "en_US" << QStringList{"Trash", "INBOX", "Archive"}
        << QStringList{"Archive", "INBOX", "Trash"};
}

void TestFolderTree::siblingOrder()
{
    QFETCH(QString, locale);
    QFETCH(QStringList, texts);
    QFETCH(QStringList, expected);

    QStringList paths;
    for (const QString &text : texts)
        paths.append(QStringLiteral("P/") + text);
    const QList<FolderNode> nodes = folders::buildFolderTree(paths);
    const QLocale loc(locale);
    QCOMPARE(Texts(folders::sortedChildren(nodes, QStringLiteral("P"), loc)), expected);

    // The same order when the same names are root nodes (none of them is INBOX here, or INBOX
    // moves to the front).
    const QList<FolderNode> roots = folders::buildFolderTree(texts);
    QStringList rootOrder = expected;
    if (rootOrder.removeAll(QStringLiteral("INBOX")) > 0)
        rootOrder.prepend(QStringLiteral("INBOX"));
    QCOMPARE(Texts(folders::sortedChildren(roots, QString(), loc)), rootOrder);
}

QTEST_APPLESS_MAIN(TestFolderTree)
#include "tst_foldertree.moc"
