#include "folders/folderpicker.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

using folders::FolderPicker;
using Outcome = folders::FolderPicker::Outcome;

namespace {

const QStringList kExample{"INBOX", "Sent", "Archive/2006/Q1", "Archive/2005", "Sent"};

QString keyOf(const QTreeWidgetItem *item)
{
    return item->data(0, Qt::UserRole).toString();
}

// The picker as the window opens it: window-modal over an owner, with open().
struct Picker
{
    QWidget owner;
    FolderPicker *dialog;
    QTreeWidget *tree;

    explicit Picker(const QStringList &paths)
        : dialog(new FolderPicker(paths, &owner)),
          tree(dialog->findChild<QTreeWidget *>(QStringLiteral("folderTree")))
    {
    }
    QLabel *label() const
    {
        return dialog->findChild<QLabel *>(QStringLiteral("chosenFolderLabel"));
    }
    QPushButton *button(const char *name) const
    {
        return dialog->findChild<QPushButton *>(QLatin1String(name));
    }
    QTreeWidgetItem *item(const QString &key) const
    {
        for (QTreeWidgetItemIterator it(tree); *it; ++it)
            if (keyOf(*it) == key)
                return *it;
        return nullptr;
    }
    // Where to click on an item, after opening its parents and scrolling it into view.
    QPoint at(const QString &key) const
    {
        QTreeWidgetItem *target = item(key);
        if (!target)
            return {-1, -1};
        for (QTreeWidgetItem *p = target->parent(); p; p = p->parent())
            p->setExpanded(true);
        tree->scrollToItem(target);
        return tree->visualItemRect(target).center();
    }
    // Walks to the node with the arrow keys alone: Home, then Down, and Right to open a parent.
    bool keyTo(const QString &key) const
    {
        tree->setFocus();
        QTest::keyClick(tree, Qt::Key_Home);
        for (int step = 0; step < 50 && tree->currentItem(); ++step) {
            const QString current = keyOf(tree->currentItem());
            if (current == key)
                return true;
            const bool open = key.startsWith(current + QLatin1Char('/'));
            QTest::keyClick(tree, open && !tree->currentItem()->isExpanded() ? Qt::Key_Right
                                                                             : Qt::Key_Down);
        }
        return false;
    }
};

} // namespace

class TestFolderPicker : public QObject
{
    Q_OBJECT

private slots:
    void treeFromPaths_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QStringList>("tree"); // "text [key]", indented by depth
        QTest::newRow("parents made, doubles merged, INBOX first")
            << kExample
            << QStringList{
                   "INBOX [INBOX]",         "Archive [Archive]",        "  2005 [Archive/2005]",
                   "  2006 [Archive/2006]", "    Q1 [Archive/2006/Q1]", "Sent [Sent]"};
        QTest::newRow("only empty paths") << QStringList{"", "/", "//"} << QStringList{};
    }

    void treeFromPaths()
    {
        QFETCH(QStringList, paths);
        QFETCH(QStringList, tree);
        Picker p(paths);
        QStringList lines;
        for (QTreeWidgetItemIterator it(p.tree); *it; ++it) {
            int depth = 0;
            for (QTreeWidgetItem *up = (*it)->parent(); up; up = up->parent())
                ++depth;
            lines.append(QString(depth * 2, QLatin1Char(' ')) + (*it)->text(0) +
                         QStringLiteral(" [") + keyOf(*it) + QLatin1Char(']'));
            QVERIFY(!(*it)->isExpanded());
        }
        QCOMPARE(lines, tree);
        p.dialog->open();
        QVERIFY(QTest::qWaitForWindowActive(p.dialog));
        QVERIFY(p.tree->selectedItems().isEmpty());
        QVERIFY(!p.button("okButton")->isEnabled());
    }

    void closing_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("label");   // the chosen-folder line afterwards
        QTest::addColumn<QString>("outcome"); // "open" while the dialog is still up
        QTest::addColumn<QString>("chosen");

        const QString q1 = QStringLiteral("Archive/2006/Q1");
        QTest::newRow("OK button") << kExample << "click:" + q1 + " ok" << q1 << "ok" << q1;
        QTest::newRow("Enter in the tree")
            << kExample << "click:" + q1 + " enter" << q1 << "ok" << q1;
        QTest::newRow("arrow keys, Enter")
            << kExample << "keys:" + q1 + " enter" << q1 << "ok" << q1;
        QTest::newRow("double-click leaf") << kExample << "dblclick:" + q1 << q1 << "ok" << q1;
        QTest::newRow("double-click unlisted parent") << kExample << "dblclick:Archive"
                                                      << "Archive"
                                                      << "ok"
                                                      << "Archive";
        QTest::newRow("double-click replaces selection")
            << kExample << "click:Archive/2005 dblclick:Sent"
            << "Sent"
            << "ok"
            << "Sent";
        QTest::newRow("markup shown as text")
            << QStringList{"<b>Bold</b>/<i>x</i>"} << "click:<b>Bold</b>/<i>x</i> ok"
            << "<b>Bold</b>/<i>x</i>"
            << "ok"
            << "<b>Bold</b>/<i>x</i>";
        QTest::newRow("Cancel button") << kExample << "click:Sent cancel"
                                       << "Sent"
                                       << "cancel"
                                       << "";
        QTest::newRow("Enter on Cancel") << kExample << "click:Sent enterOnCancel"
                                         << "Sent"
                                         << "cancel"
                                         << "";
        QTest::newRow("Esc") << kExample << "click:Sent esc"
                             << "Sent"
                             << "cancel"
                             << "";
        QTest::newRow("Esc, nothing selected") << kExample << "esc"
                                               << ""
                                               << "cancel"
                                               << "";
        QTest::newRow("title bar") << kExample << "click:Sent close"
                                   << "Sent"
                                   << "closed"
                                   << "";
        QTest::newRow("focus alone chooses nothing") << kExample << "tab enter"
                                                     << ""
                                                     << "open"
                                                     << "";
        QTest::newRow("deselected: OK does nothing")
            << kExample << "click:Archive/2005 ctrlclick:Archive/2005 ok"
            << ""
            << "open"
            << "";
        QTest::newRow("empty tree: keys choose nothing") << QStringList{} << "tab down enter"
                                                         << ""
                                                         << "open"
                                                         << "";
        QTest::newRow("empty tree, title bar") << QStringList{} << "close"
                                               << ""
                                               << "closed"
                                               << "";
    }

    void closing()
    {
        QFETCH(QStringList, paths);
        QFETCH(QString, steps);
        QFETCH(QString, label);
        QFETCH(QString, outcome);
        QFETCH(QString, chosen);
        Picker p(paths);
        p.owner.show();
        QVERIFY(QTest::qWaitForWindowExposed(&p.owner));
        QSignalSpy finished(p.dialog, &QDialog::finished);
        p.dialog->open();
        QVERIFY(QTest::qWaitForWindowActive(p.dialog));
        QTRY_COMPARE(QApplication::focusWidget(), p.button("cancelButton"));
        QWidget *viewport = p.tree->viewport();
        for (const QString &step : steps.split(QLatin1Char(' '))) {
            const QString key = step.section(QLatin1Char(':'), 1);
            if (step.startsWith(QLatin1String("click:")))
                QTest::mouseClick(viewport, Qt::LeftButton, {}, p.at(key));
            else if (step.startsWith(QLatin1String("ctrlclick:")))
                QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, p.at(key));
            else if (step.startsWith(QLatin1String("dblclick:"))) {
                // A real double-click: press and release, then the double-click event.
                const QPoint pos = p.at(key);
                QTest::mouseClick(viewport, Qt::LeftButton, {}, pos);
                QTest::mouseDClick(viewport, Qt::LeftButton, {}, pos);
            } else if (step.startsWith(QLatin1String("keys:")))
                QVERIFY(p.keyTo(key));
            else if (step == QLatin1String("tab"))
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            else if (step == QLatin1String("down"))
                QTest::keyClick(p.tree, Qt::Key_Down);
            else if (step == QLatin1String("enter"))
                QTest::keyClick(p.tree, Qt::Key_Return);
            else if (step == QLatin1String("ok"))
                QTest::mouseClick(p.button("okButton"), Qt::LeftButton);
            else if (step == QLatin1String("cancel"))
                QTest::mouseClick(p.button("cancelButton"), Qt::LeftButton);
            else if (step == QLatin1String("enterOnCancel"))
                QTest::keyClick(p.button("cancelButton"), Qt::Key_Return);
            else if (step == QLatin1String("esc"))
                QTest::keyClick(p.tree, Qt::Key_Escape);
            else if (step == QLatin1String("close"))
                p.dialog->close();
            else
                QFAIL(qPrintable(step));
        }
        QCOMPARE(p.label()->text(), label);
        QCOMPARE(p.label()->textFormat(), Qt::PlainText);
        QCOMPARE(p.button("okButton")->isEnabled(), !label.isEmpty());
        const QString actual = p.dialog->isVisible()                    ? "open"
                               : p.dialog->outcome() == Outcome::Ok     ? "ok"
                               : p.dialog->outcome() == Outcome::Cancel ? "cancel"
                                                                        : "closed";
        QCOMPARE(actual, outcome);
        QCOMPARE(p.dialog->chosenFolder(), chosen);
        QCOMPARE(finished.size(), outcome == "open" ? 0 : 1);
        if (!finished.isEmpty())
            QCOMPARE(finished.first().first().toInt(),
                     int(outcome == "ok" ? QDialog::Accepted : QDialog::Rejected));
    }
};

QTEST_MAIN(TestFolderPicker)
#include "tst_folderpicker.moc"
