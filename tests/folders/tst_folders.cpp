// The folder tree built from display paths, and the picker that shows it.

#include "folders/folderpicker.h"
#include "folders/foldertree.h"
#include "support/hostiletext.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

using folders::FolderPicker;

namespace {

// "text [path]" per node as a fully expanded tree shows it, indented by depth.
void render(const QList<folders::FolderNode> &nodes, qsizetype parent, int depth,
            QStringList &lines)
{
    for (const qsizetype child : folders::sortedChildren(nodes, parent)) {
        lines.append(QString(depth * 2, QLatin1Char(' ')) + nodes[child].text + " [" +
                     folders::folderPath(nodes, child) + ']');
        render(nodes, child, depth + 1, lines);
    }
}

void treeRow(const char *tag, const QStringList &paths, const QStringList &tree,
             const char *locale = "C")
{
    QTest::newRow(tag) << paths << tree << QString::fromLatin1(locale);
}

} // namespace

class TestFolders : public QObject
{
    Q_OBJECT
    testsupport::FifoTrap m_trap;

private slots:
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void tree_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QStringList>("tree");
        QTest::addColumn<QString>("locale");

        treeRow("parents made, doubles merged, INBOX first",
                {"INBOX", "Sent", "Archive/2006/Q1", "Archive/2005", "Sent"},
                {"INBOX [INBOX]", "Archive [Archive]", "  2005 [Archive/2005]",
                 "  2006 [Archive/2006]", "    Q1 [Archive/2006/Q1]", "Sent [Sent]"});
        treeRow("inbox in any case first, not below the root",
                {"Trash/INBOX", "Trash/Archive", "Archive", "inbox"},
                {"inbox [inbox]", "Archive [Archive]", "Trash [Trash]", "  Archive [Trash/Archive]",
                 "  INBOX [Trash/INBOX]"});
        treeRow("empty levels", {"", "/", "//", "Drafts/", "/Sent", "A//B", "A/B"},
                {"A [A]", "  B [A//B]", "  B [A/B]", "Drafts [Drafts]", "Sent [/Sent]"});
        treeRow("case ignored, then exact; paths differing in case apart",
                {"b", "B/x", "a", "A", "b/x"},
                {"A [A]", "a [a]", "B [B]", "  x [B/x]", "b [b]", "  x [b/x]"});
        treeRow("numbers by value", {"Q10", "Q2", "2006", "998"},
                {"998 [998]", "2006 [2006]", "Q2 [Q2]", "Q10 [Q10]"}, "en_US");
    }
    void tree()
    {
        QFETCH(QStringList, paths);
        QFETCH(QStringList, tree);
        QFETCH(QString, locale);
        QLocale::setDefault(QLocale(locale));
        const auto nodes = folders::buildFolderTree(paths);
        QStringList lines;
        render(nodes, -1, 0, lines);
        QCOMPARE(lines, tree);

        // The picker shows the tree in displayOrder, all closed.
        FolderPicker picker(paths);
        QStringList items;
        for (QTreeWidgetItemIterator it(picker.findChild<QTreeWidget *>()); *it; ++it) {
            QVERIFY(!(*it)->isExpanded());
            items.append((*it)->text(0) + " [" + (*it)->data(0, Qt::UserRole).toString() + ']');
            for (QTreeWidgetItem *up = (*it)->parent(); up; up = up->parent())
                items.last().prepend(QStringLiteral("  "));
        }
        QCOMPARE(items, tree);
    }

    // A name of 400 KB, "a/a/a/...": each of its 200 000 levels is a node that knows its own
    // level only, the deepest rebuilds the name exactly, and the picker shows it and goes again
    // (its items deleted one by one, not by recursion).
    void deepTree()
    {
        const QString deep = QStringList(200000, QStringLiteral("a")).join(QLatin1Char('/'));
        const auto nodes = folders::buildFolderTree({deep, deep.left(7)});
        QCOMPARE(nodes.size(), 200000);
        const QList<qsizetype> order = folders::displayOrder(nodes);
        QCOMPARE(folders::folderPath(nodes, order.last()), deep);
        FolderPicker picker({deep});
        QTreeWidgetItem *item = picker.findChild<QTreeWidget *>()->topLevelItem(0);
        while (item->childCount() > 0)
            item = item->child(0);
        QCOMPARE(item->data(0, Qt::UserRole).toString(), deep);
    }

    // Steps: "+key" click, "*key" double-click, or a key or button name; then the outcome
    // ("open": the dialog is still up).
    void picker_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::newRow("OK button") << "+Archive/2006/Q1 ok ok";
        QTest::newRow("Enter") << "+Archive/2006/Q1 enter ok";
        QTest::newRow("double-click an unlisted parent") << "+Sent *Archive ok";
        QTest::newRow("Cancel button") << "+Sent cancel cancel";
        QTest::newRow("title bar") << "+Sent close closed";
        QTest::newRow("title bar, then open again and Esc") << "close open esc cancel";
    }
    void picker()
    {
        QFETCH(QString, steps);
        FolderPicker dialog({"INBOX", "Sent", "Archive/2006/Q1"});
        auto *tree = dialog.findChild<QTreeWidget *>();
        auto *label = dialog.findChild<QLabel *>(QStringLiteral("chosenFolderLabel"));
        auto *ok = dialog.findChild<QPushButton *>(QStringLiteral("okButton"));
        auto *cancel = dialog.findChild<QPushButton *>(QStringLiteral("cancelButton"));
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.open();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QTRY_COMPARE(QApplication::focusWidget(), cancel);
        tree->expandAll();

        const QString outcome = steps.section(QLatin1Char(' '), -1);
        for (const QString &step : steps.section(QLatin1Char(' '), 0, -2).split(QLatin1Char(' '))) {
            const QChar kind = step.at(0);
            const QList<QTreeWidgetItem *> items = tree->findItems(
                step.mid(1).section(QLatin1Char('/'), -1), Qt::MatchExactly | Qt::MatchRecursive);
            const QPoint at = items.isEmpty() ? QPoint() : tree->visualItemRect(items[0]).center();
            if (kind == '+' || kind == '*') {
                QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
                QCOMPARE(label->text(), step.mid(1));
                if (kind == '*')
                    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
            } else if (step == "enter" || step == "esc") {
                QTest::keyClick(tree, step == "enter" ? Qt::Key_Return : Qt::Key_Escape);
            } else if (step == "ok" || step == "cancel") {
                QTest::mouseClick(step == "ok" ? ok : cancel, Qt::LeftButton);
            } else if (step == "close") {
                dialog.close();
            } else {
                dialog.open();
                QVERIFY(QTest::qWaitForWindowActive(&dialog));
            }
        }
        QCOMPARE(ok->isEnabled(), !label->text().isEmpty());
        const QString actual =
            dialog.isVisible() ? QStringLiteral("open")
                               : QStringList{"ok", "cancel", "closed"}.at(int(dialog.outcome()));
        QCOMPARE(actual, outcome);
        QCOMPARE(dialog.chosenFolder(), outcome == "ok" ? label->text() : QString());
        QCOMPARE(finished.isEmpty() ? -1 : finished.last().first().toInt(),
                 outcome == "open" ? -1
                 : outcome == "ok" ? QDialog::Accepted
                                   : QDialog::Rejected);
    }

    // Folder names are shown as they are, in the tooltip of a hovered node and on the chosen
    // folder line and its tooltip: never read as markup, nothing loaded.
    void hostileText_data() { testsupport::addHostileTextRows(m_trap.path()); }
    void hostileText()
    {
        QFETCH(QString, text);
        FolderPicker picker({text});
        picker.show();
        QVERIFY(QTest::qWaitForWindowExposed(&picker));
        auto *tree = picker.findChild<QTreeWidget *>();
        auto *label = picker.findChild<QLabel *>(QStringLiteral("chosenFolderLabel"));
        tree->expandAll();
        QTreeWidgetItem *leaf = tree->topLevelItem(0);
        while (leaf->childCount() > 0)
            leaf = leaf->child(0);
        const QPoint at = tree->visualItemRect(leaf).center();
        QStringList shown{testsupport::shownToolTip(tree->viewport(), at)};
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
        shown << testsupport::shownText(label)
              << testsupport::shownToolTip(label, label->rect().center());
        QCOMPARE(m_trap.takeOpens(), 0);
        QCOMPARE(shown, QStringList(3, text));
    }
};

QTEST_MAIN(TestFolders)
#include "tst_folders.moc"
