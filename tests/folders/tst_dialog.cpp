#include "folders/dialog.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

using folders::Dialog;
using Outcome = folders::Dialog::Outcome;

namespace {

const QStringList kExample{"INBOX", "Sent", "Archive/2006/Q1", "Archive/2005", "Sent"};

QString KeyOf(const QTreeWidgetItem *item)
{
    return item->data(0, Qt::UserRole).toString();
}

QTreeWidgetItem *FindItem(QTreeWidget *tree, const QString &key)
{
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if (KeyOf(*it) == key)
            return *it;
    }
    return nullptr;
}

// "text [key]" per item, indented by depth, in the order the view shows them fully expanded.
QStringList Render(QTreeWidget *tree)
{
    QStringList lines;
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        int depth = 0;
        for (QTreeWidgetItem *p = (*it)->parent(); p; p = p->parent())
            ++depth;
        lines.append(QString(depth * 2, QLatin1Char(' ')) + (*it)->text(0) + QStringLiteral(" [") +
                     KeyOf(*it) + QLatin1Char(']'));
    }
    return lines;
}

// Where to click on an item, after opening its parents and scrolling it into view.
QPoint ItemPoint(QTreeWidget *tree, QTreeWidgetItem *item)
{
    for (QTreeWidgetItem *p = item->parent(); p; p = p->parent())
        p->setExpanded(true);
    tree->scrollToItem(item);
    return tree->visualItemRect(item).center();
}

void ClickItem(Dialog &dialog, const QString &key, Qt::KeyboardModifiers modifiers = {})
{
    QTreeWidgetItem *item = FindItem(dialog.TreeView1, key);
    QVERIFY2(item, qPrintable(key));
    QTest::mouseClick(dialog.TreeView1->viewport(), Qt::LeftButton, modifiers,
                      ItemPoint(dialog.TreeView1, item));
}

// Walks to the node with the arrow keys alone: Home, then Down, and Right to open a parent on
// the way.
void KeyTo(Dialog &dialog, const QString &key)
{
    QTreeWidget *tree = dialog.TreeView1;
    tree->setFocus();
    QTest::keyClick(tree, Qt::Key_Home);
    for (int step = 0; step < 50; ++step) {
        QTreeWidgetItem *current = tree->currentItem();
        QVERIFY(current);
        const QString currentKey = KeyOf(current);
        if (currentKey == key)
            return;
        if (key.startsWith(currentKey + QLatin1Char('/')) && !current->isExpanded())
            QTest::keyClick(tree, Qt::Key_Right);
        else
            QTest::keyClick(tree, Qt::Key_Down);
    }
    QFAIL(qPrintable(QStringLiteral("no way to ") + key));
}

} // namespace

class TestDialog : public QObject
{
    Q_OBJECT

private slots:
    void captionAndControls();
    void treeFromPaths();
    void focusAndTabOrder();
    void selecting_data();
    void selecting();
    void focusAloneChoosesNothing();
    void deselectingEmptiesChoice();
    void closing_data();
    void closing();
    void closingInsideExec_data();
    void closingInsideExec();
    void emptyTree_data();
    void emptyTree();
};

void TestDialog::captionAndControls()
{
    Dialog dialog(kExample);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Pick a Folder"));
    QVERIFY(dialog.isModal());
    const Qt::WindowFlags flags = dialog.windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));

    QVERIFY(dialog.TreeView1->isHeaderHidden());
    QCOMPARE(dialog.TreeView1->columnCount(), 1);
    QCOMPARE(dialog.Label2->text(), QStringLiteral("Chosen Folder:"));
    QVERIFY(dialog.Label2->font().bold());
    QCOMPARE(dialog.Label1->text(), QString());
    QCOMPARE(dialog.CancelButton->text(), QStringLiteral("Cancel"));
    QCOMPARE(dialog.cmdOK->text(), QStringLiteral("OK"));
    QVERIFY(dialog.cmdOK->isDefault());
    QVERIFY(!dialog.cmdOK->isEnabled());
    QCOMPARE(dialog.outcome(), Outcome::Closed);
    QCOMPARE(dialog.chosenFolder(), QString());

    // The tree fills the top; the buttons sit under the label row.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(dialog.TreeView1->geometry().bottom() < dialog.Label1->geometry().top());
    QVERIFY(dialog.Label2->geometry().right() < dialog.Label1->geometry().left());
    QVERIFY(dialog.Label1->geometry().bottom() < dialog.CancelButton->geometry().top());
    QVERIFY(dialog.CancelButton->geometry().right() < dialog.cmdOK->geometry().left());
    QVERIFY(dialog.TreeView1->height() > dialog.height() / 2);
}

void TestDialog::treeFromPaths()
{
    Dialog dialog(kExample);
    QCOMPARE(Render(dialog.TreeView1),
             (QStringList{"INBOX [INBOX]", "Archive [Archive]", "  2005 [Archive/2005]",
                          "  2006 [Archive/2006]", "    Q1 [Archive/2006/Q1]", "Sent [Sent]"}));
    for (QTreeWidgetItemIterator it(dialog.TreeView1); *it; ++it)
        QVERIFY2(!(*it)->isExpanded(), qPrintable(KeyOf(*it)));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(dialog.TreeView1->currentItem(), nullptr);
    QVERIFY(dialog.TreeView1->selectedItems().isEmpty());
}

void TestDialog::focusAndTabOrder()
{
    Dialog dialog(kExample);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(QApplication::focusWidget(), dialog.CancelButton);

    // OK is skipped while it is disabled.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), dialog.TreeView1);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), dialog.CancelButton);

    ClickItem(dialog, QStringLiteral("Sent"));
    QVERIFY(dialog.cmdOK->isEnabled());
    dialog.CancelButton->setFocus();
    const QList<QWidget *> chain{dialog.TreeView1, dialog.cmdOK, dialog.CancelButton};
    for (QWidget *next : chain) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
}

void TestDialog::selecting_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("byKeyboard");

    QTest::newRow("leaf, mouse") << kExample << "Archive/2006/Q1" << false;
    QTest::newRow("leaf, keyboard") << kExample << "Archive/2006/Q1" << true;
    QTest::newRow("unlisted parent, mouse") << kExample << "Archive" << false;
    QTest::newRow("root after INBOX, keyboard") << kExample << "Sent" << true;
    QTest::newRow("doubled slash keeps its path") << QStringList{"A//B", "A/B"} << "A//B" << false;
    QTest::newRow("markup shown as text")
        << QStringList{"<b>Bold</b>/<i>x</i>"} << "<b>Bold</b>/<i>x</i>" << false;
}

void TestDialog::selecting()
{
    QFETCH(QStringList, paths);
    QFETCH(QString, key);
    QFETCH(bool, byKeyboard);

    Dialog dialog(paths);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    if (byKeyboard)
        KeyTo(dialog, key);
    else
        ClickItem(dialog, key);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(dialog.Label1->text(), key);
    QCOMPARE(dialog.Label1->textFormat(), Qt::PlainText);
    QVERIFY(dialog.cmdOK->isEnabled());
    QVERIFY(dialog.isVisible());

    // Choosing another node replaces the shown key.
    const QString other = KeyOf(dialog.TreeView1->topLevelItem(0));
    if (other != key) {
        ClickItem(dialog, other);
        QCOMPARE(dialog.Label1->text(), other);
    }
}

void TestDialog::focusAloneChoosesNothing()
{
    // Tabbing into the tree gives it a current item but selects nothing: Enter must not pick
    // a folder the user never chose.
    Dialog dialog(kExample);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QTest::keyClick(dialog.CancelButton, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), dialog.TreeView1);
    QCOMPARE(dialog.Label1->text(), QString());
    QVERIFY(!dialog.cmdOK->isEnabled());
    QTest::keyClick(dialog.TreeView1, Qt::Key_Return);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.outcome(), Outcome::Closed);

    QTest::keyClick(dialog.TreeView1, Qt::Key_Down);
    QCOMPARE(dialog.Label1->text(), QStringLiteral("Archive"));
    QVERIFY(dialog.cmdOK->isEnabled());
}

void TestDialog::deselectingEmptiesChoice()
{
    Dialog dialog(kExample);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    ClickItem(dialog, QStringLiteral("Archive/2005"));
    QCOMPARE(dialog.Label1->text(), QStringLiteral("Archive/2005"));
    ClickItem(dialog, QStringLiteral("Archive/2005"), Qt::ControlModifier);
    QVERIFY(dialog.TreeView1->selectedItems().isEmpty());
    QCOMPARE(dialog.Label1->text(), QString());
    QVERIFY(!dialog.cmdOK->isEnabled());
    QTest::mouseClick(dialog.cmdOK, Qt::LeftButton);
    QVERIFY(dialog.isVisible());
}

void TestDialog::closing_data()
{
    QTest::addColumn<QString>("select");
    QTest::addColumn<QString>("action");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<int>("result");

    const QString q1 = QStringLiteral("Archive/2006/Q1");
    QTest::newRow("OK button") << q1 << "ok" << Outcome::Ok << q1 << int(QDialog::Accepted);
    QTest::newRow("Enter in the tree")
        << q1 << "enter" << Outcome::Ok << q1 << int(QDialog::Accepted);
    QTest::newRow("double-click leaf")
        << ""
        << "dblclick:Archive/2006/Q1" << Outcome::Ok << q1 << int(QDialog::Accepted);
    QTest::newRow("double-click unlisted parent")
        << ""
        << "dblclick:Archive" << Outcome::Ok << "Archive" << int(QDialog::Accepted);
    QTest::newRow("double-click replaces selection")
        << q1 << "dblclick:Sent" << Outcome::Ok << "Sent" << int(QDialog::Accepted);
    QTest::newRow("Cancel button")
        << q1 << "cancel" << Outcome::Cancel << "" << int(QDialog::Rejected);
    QTest::newRow("Enter on Cancel")
        << q1 << "enterOnCancel" << Outcome::Cancel << "" << int(QDialog::Rejected);
    QTest::newRow("Esc") << q1 << "esc" << Outcome::Cancel << "" << int(QDialog::Rejected);
    QTest::newRow("Esc, nothing selected")
        << ""
        << "esc" << Outcome::Cancel << "" << int(QDialog::Rejected);
    QTest::newRow("title bar") << q1 << "close" << Outcome::Closed << "" << int(QDialog::Rejected);
}

namespace {

void Act(Dialog &dialog, const QString &action)
{
    if (action == QLatin1String("ok")) {
        QTest::mouseClick(dialog.cmdOK, Qt::LeftButton);
    } else if (action == QLatin1String("enter")) {
        dialog.TreeView1->setFocus();
        QTest::keyClick(dialog.TreeView1, Qt::Key_Return);
    } else if (action.startsWith(QLatin1String("dblclick:"))) {
        // A real double-click: press and release, then the double-click event.
        QTreeWidgetItem *item = FindItem(dialog.TreeView1, action.mid(9));
        QVERIFY(item);
        const QPoint at = ItemPoint(dialog.TreeView1, item);
        QTest::mouseClick(dialog.TreeView1->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(dialog.TreeView1->viewport(), Qt::LeftButton, {}, at);
    } else if (action == QLatin1String("cancel")) {
        QTest::mouseClick(dialog.CancelButton, Qt::LeftButton);
    } else if (action == QLatin1String("enterOnCancel")) {
        dialog.CancelButton->setFocus();
        QTest::keyClick(dialog.CancelButton, Qt::Key_Return);
    } else if (action == QLatin1String("esc")) {
        QTest::keyClick(dialog.TreeView1, Qt::Key_Escape);
    } else if (action == QLatin1String("close")) {
        dialog.close();
    } else {
        QFAIL(qPrintable(action));
    }
}

} // namespace

void TestDialog::closing()
{
    QFETCH(QString, select);
    QFETCH(QString, action);
    QFETCH(Outcome, outcome);
    QFETCH(QString, chosen);
    QFETCH(int, result);

    Dialog dialog(kExample);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    if (!select.isEmpty()) {
        ClickItem(dialog, select);
        QCOMPARE(dialog.Label1->text(), select);
    }
    Act(dialog, action);
    if (QTest::currentTestFailed())
        return;

    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.outcome(), outcome);
    QCOMPARE(dialog.chosenFolder(), chosen);
    QCOMPARE(dialog.result(), result);
}

void TestDialog::closingInsideExec_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<int>("result");

    QTest::newRow("OK") << "ok" << Outcome::Ok << "Archive/2006/Q1" << int(QDialog::Accepted);
    QTest::newRow("Esc") << "esc" << Outcome::Cancel << "" << int(QDialog::Rejected);
    QTest::newRow("title bar") << "close" << Outcome::Closed << "" << int(QDialog::Rejected);
}

void TestDialog::closingInsideExec()
{
    QFETCH(QString, action);
    QFETCH(Outcome, outcome);
    QFETCH(QString, chosen);
    QFETCH(int, result);

    QWidget owner;
    owner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&owner));
    Dialog dialog(kExample, &owner);
    bool ranInside = false;
    QTimer::singleShot(0, &dialog, [&] {
        ranInside = dialog.isVisible();
        ClickItem(dialog, QStringLiteral("Archive/2006/Q1"));
        Act(dialog, action);
        // Never leave exec() running when the action did not close the dialog.
        if (dialog.isVisible())
            dialog.done(-1);
    });
    QCOMPARE(dialog.exec(), result);
    QVERIFY(ranInside);
    QCOMPARE(dialog.outcome(), outcome);
    QCOMPARE(dialog.chosenFolder(), chosen);
}

void TestDialog::emptyTree_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("action");
    QTest::addColumn<Outcome>("outcome");

    QTest::newRow("no folders, Cancel") << QStringList{} << "cancel" << Outcome::Cancel;
    QTest::newRow("no folders, Esc") << QStringList{} << "esc" << Outcome::Cancel;
    QTest::newRow("no folders, title bar") << QStringList{} << "close" << Outcome::Closed;
    QTest::newRow("only empty paths, Cancel")
        << QStringList{"", "/", "//"} << "cancel" << Outcome::Cancel;
}

void TestDialog::emptyTree()
{
    QFETCH(QStringList, paths);
    QFETCH(QString, action);
    QFETCH(Outcome, outcome);

    Dialog dialog(paths);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(dialog.TreeView1->topLevelItemCount(), 0);

    // Clicks, double-clicks and keys in the empty tree choose nothing and close nothing.
    QWidget *viewport = dialog.TreeView1->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, viewport->rect().center());
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, viewport->rect().center());
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, viewport->rect().center());
    dialog.TreeView1->setFocus();
    QTest::keyClick(dialog.TreeView1, Qt::Key_Down);
    QTest::keyClick(dialog.TreeView1, Qt::Key_Return);
    QCOMPARE(dialog.Label1->text(), QString());
    QVERIFY(!dialog.cmdOK->isEnabled());
    QVERIFY(dialog.isVisible());

    Act(dialog, action);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.outcome(), outcome);
    QCOMPARE(dialog.chosenFolder(), QString());
}

QTEST_MAIN(TestDialog)
#include "tst_dialog.moc"
