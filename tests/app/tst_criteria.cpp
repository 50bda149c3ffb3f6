// The criteria fields of the main window: which edits rebuild the search key, and the date
// fields' rule for leaving them.

#include "app/form1.h"
#include "support/formdriver.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

class TestCriteria : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

    // Moves the focus from the field to the next one with Tab, as a user leaves a field.
    static void leave(QLineEdit *field)
    {
        QTest::keyClick(field, Qt::Key_Tab);
        QCoreApplication::processEvents();
    }

private slots:
    void initTestCase() { testsupport::usePrivateConfig(m_config.path()); }

    void textFieldsRefreshOnEveryKeystroke_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("key");
        QTest::newRow("body") << "txtBodySearch"
                              << "1 SEARCH UNDELETED (BODY \"ab\")";
        QTest::newRow("subject") << "txtSubjectSearch"
                                 << "1 SEARCH UNDELETED (SUBJECT \"ab\")";
        QTest::newRow("body or subject") << "txtBodyOrSub"
                                         << "1 SEARCH UNDELETED (OR SUBJECT \"ab\" BODY \"ab\")";
        QTest::newRow("from") << "txtFromSearch"
                              << "1 SEARCH UNDELETED (FROM \"ab\")";
        QTest::newRow("to or cc") << "txtToOrCC"
                                  << "1 SEARCH UNDELETED (OR TO \"ab\" CC \"ab\")";
        QTest::newRow("to or from") << "txtToOrFrom"
                                    << "1 SEARCH UNDELETED (OR TO \"ab\" FROM \"ab\")";
    }

    void textFieldsRefreshOnEveryKeystroke()
    {
        QFETCH(QString, field);
        QFETCH(QString, key);
        Form1 form;
        auto *edit = form.findChild<QLineEdit *>(field);
        QVERIFY(edit);
        QCOMPARE(form.lblSearchString->text(), QString());
        QVERIFY(!form.cmdSearch->isEnabled());
        QTest::keyClicks(edit, QStringLiteral("a"));
        QVERIFY(form.cmdSearch->isEnabled());
        QVERIFY(form.lblSearchString->text().contains(QStringLiteral("\"a\"")));
        QTest::keyClicks(edit, QStringLiteral("b"));
        QCOMPARE(form.lblSearchString->text(), key);
        QCOMPARE(form.searchKey().text(), key);
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClick(edit, Qt::Key_Backspace);
        QCOMPARE(form.lblSearchString->text(), QString());
        QVERIFY(!form.cmdSearch->isEnabled());
    }

    void attachmentBox()
    {
        Form1 form;
        QTest::mouseClick(form.chkAttach, Qt::LeftButton);
        QCOMPARE(
            form.lblSearchString->text(),
            QStringLiteral("1 SEARCH UNDELETED (HEADER \"CONTENT-TYPE\" \"multipart/mixed\")"));
        QVERIFY(form.cmdSearch->isEnabled());
        QTest::mouseClick(form.chkAttach, Qt::LeftButton);
        QCOMPARE(form.lblSearchString->text(), QString());
        QVERIFY(!form.cmdSearch->isEnabled());
    }

    // Neither the connection fields nor the scope are part of the key.
    void otherFieldsDoNotRefresh()
    {
        Form1 form;
        form.txtSubjectSearch->setText(QStringLiteral("x"));
        const QString key = form.lblSearchString->text();
        form.txtServer->setText(QStringLiteral("h"));
        form.txtLogin->setText(QStringLiteral("u"));
        form.chkExactly->click();
        form.Command1->click();
        QCOMPARE(form.lblSearchString->text(), key);
    }

    void dateFields_data()
    {
        QTest::addColumn<QString>("after");  // text typed into On/After, left first ("" = skip)
        QTest::addColumn<QString>("before"); // then On/Before
        QTest::addColumn<QString>("afterText");
        QTest::addColumn<QString>("beforeText");
        QTest::addColumn<QString>("key");

        QTest::newRow("normalised") << "01/05/2006"
                                    << ""
                                    << "1/5/2006"
                                    << ""
                                    << "1 SEARCH UNDELETED (SENTSINCE 5-Jan-2006)";
        QTest::newRow("range")
            << "1/5/2006"
            << "1/31/2006"
            << "1/5/2006"
            << "1/31/2006"
            << "1 SEARCH UNDELETED (SENTBEFORE 1-Feb-2006) (SENTSINCE 5-Jan-2006)";
        QTest::newRow("same day") << "1/5/2006"
                                  << "1/5/2006"
                                  << "1/5/2006"
                                  << "1/5/2006"
                                  << "1 SEARCH UNDELETED (SENTON 5-Jan-2006)";
        QTest::newRow("On/Before earlier gives way") << "3/1/2006"
                                                     << "2/1/2006"
                                                     << "3/1/2006"
                                                     << "3/1/2006"
                                                     << "1 SEARCH UNDELETED (SENTON 1-Mar-2006)";
        QTest::newRow("only before") << ""
                                     << "12/31/2005"
                                     << ""
                                     << "12/31/2005"
                                     << "1 SEARCH UNDELETED (SENTBEFORE 1-Jan-2006)";
    }

    void dateFields()
    {
        QFETCH(QString, after);
        QFETCH(QString, before);
        QFETCH(QString, afterText);
        QFETCH(QString, beforeText);
        QFETCH(QString, key);
        Form1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        for (auto [field, text] :
             {std::pair{form.txtAfter, after}, std::pair{form.txtBefore, before}}) {
            if (text.isEmpty())
                continue;
            field->setFocus(Qt::TabFocusReason);
            QTest::keyClicks(field, text);
            leave(field);
        }
        QCOMPARE(form.txtAfter->text(), afterText);
        QCOMPARE(form.txtBefore->text(), beforeText);
        QCOMPARE(form.lblSearchString->text(), key);
    }

    // Typing a date changes nothing until the field is left; a text that is not a date keeps
    // the focus in the field, the text as typed and the key as it was.
    void dateFieldFocusRule()
    {
        Form1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        form.txtAfter->setFocus(Qt::TabFocusReason);
        QTRY_COMPARE(QApplication::focusWidget(), form.txtAfter);
        QTest::keyClicks(form.txtAfter, QStringLiteral("1/5/2006"));
        QCOMPARE(form.lblSearchString->text(), QString());
        leave(form.txtAfter);
        QCOMPARE(form.lblSearchString->text(),
                 QStringLiteral("1 SEARCH UNDELETED (SENTSINCE 5-Jan-2006)"));
        QTRY_COMPARE(QApplication::focusWidget(), form.txtBefore);

        // Not a date: back into the field, nothing changed.
        form.txtAfter->setFocus(Qt::TabFocusReason);
        QTRY_COMPARE(QApplication::focusWidget(), form.txtAfter);
        form.txtAfter->selectAll();
        QTest::keyClicks(form.txtAfter, QStringLiteral("next tuesday-ish"));
        leave(form.txtAfter);
        QTRY_COMPARE(QApplication::focusWidget(), form.txtAfter);
        QCOMPARE(form.txtAfter->text(), QStringLiteral("next tuesday-ish"));
        QCOMPARE(form.lblSearchString->text(),
                 QStringLiteral("1 SEARCH UNDELETED (SENTSINCE 5-Jan-2006)"));

        // Emptied: accepted, the clause is gone.
        form.txtAfter->clear();
        leave(form.txtAfter);
        QTRY_COMPARE(QApplication::focusWidget(), form.txtBefore);
        QCOMPARE(form.lblSearchString->text(), QString());
        QVERIFY(!form.cmdSearch->isEnabled());
    }
};

QTEST_MAIN(TestCriteria)
#include "tst_criteria.moc"
