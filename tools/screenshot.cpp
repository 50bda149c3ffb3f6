// Makes the screenshots shown in the README: the main window with demo results, or the folder
// picker, shown on the offscreen platform and grabbed to a PNG. The scale follows
// QT_SCALE_FACTOR, so QT_SCALE_FACTOR=2 gives the 200% picture at twice the pixels.
//
//   fernquill-screenshot window|dialog OUTPUT.png
//
// It also checks the layout it grabs: a label, button or check box narrower than its text
// needs, a field too narrow for the text it shows, or a grid header cut short is printed, and
// the exit status is 1 (the PNG is written all the same, to look at).

#include "app/mainwindow.h"
#include "folders/folderpicker.h"
#include "results/resultsmodel.h"
#include "results/resultsview.h"
#include "search/hit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <cstdio>

namespace {

// Twelve hits in five folders, as a search for "report" in the subject might find them: one
// batch per folder, in folder-list order.
QList<QList<search::Hit>> demoResults()
{
    struct Row
    {
        const char *folder;
        QDate date;
        QTime time;
        const char *subject;
        const char *from;
    };
    // clang-format off
    const Row rows[] = {
        {"INBOX", {2026, 11, 30}, {8, 12, 44}, "Weekly report – week 48", "Jürgen Weiß <j.weiss@example.de>"},
        {"INBOX", {2026, 11, 27}, {16, 3, 10}, "Re: Quarterly report Q3, Zürich office", "Anaïs Lefèvre <anais.lefevre@example.fr>"},
        {"INBOX", {2026, 11, 24}, {10, 47, 2}, "Report: server migration finished", "IT Operations <it-ops@example.org>"},
        {"Archive/2026", {2026, 10, 5}, {9, 30, 0}, "Monatsreport September – Übersicht", "Björn Müller <b.mueller@example.de>"},
        {"Archive/2026", {2026, 9, 2}, {14, 22, 18}, "Expense report August", "Sofie Øvergaard <sofie@example.no>"},
        {"Archive/2026", {2026, 7, 15}, {11, 5, 51}, "Annual report, second draft", "Chloé Durand <chloe.durand@example.fr>"},
        {"Projects/Fernbrook", {2026, 11, 18}, {13, 40, 9}, "Fernbrook status report #14", "Mateo García <mateo@example.es>"},
        {"Projects/Fernbrook", {2026, 11, 4}, {17, 58, 33}, "Fw: Bug report from the field test", "Zoë Schäfer <zoe.schaefer@example.de>"},
        {"Clients/Zürich", {2026, 11, 21}, {8, 1, 27}, "Prüfbericht / test report lot 7", "Müller & Söhne GmbH <info@mueller-soehne.example>"},
        {"Clients/Zürich", {2026, 10, 29}, {15, 16, 40}, "Re: Lieferreport Oktober", "Renée Kühn <r.kuehn@example.at>"},
        {"Sent", {2026, 11, 28}, {18, 44, 5}, "Re: Weekly report – week 48", "demo <demo@mail.example.org>"},
        {"Sent", {2026, 11, 12}, {9, 9, 9}, "Report for the board meeting", "demo <demo@mail.example.org>"},
    };
    // clang-format on
    QList<QList<search::Hit>> batches;
    quint32 number = 1;
    for (const Row &row : rows) {
        search::Hit h;
        h.folder = QString::fromUtf8(row.folder);
        h.mailbox = row.folder;
        h.number = number++;
        h.subject = QString::fromUtf8(row.subject);
        h.from = QString::fromUtf8(row.from);
        h.date = QDateTime(row.date, row.time);
        h.dateHeader = QLocale::c().toString(h.date, QStringLiteral("ddd, d MMM yyyy hh:mm:ss"));
        if (batches.isEmpty() || batches.last().first().folder != h.folder)
            batches.append(QList<search::Hit>());
        h.folderOrder = batches.size() - 1;
        batches.last().append(h);
    }
    return batches;
}

QString describe(const QWidget *w)
{
    return w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className())
                                     : w->objectName();
}

// What the grabbed picture would show cut short, one line per problem.
QStringList clippedTexts(const QWidget *root)
{
    QStringList problems;
    const auto visible = [root](const QWidget *w) { return w->isVisibleTo(root); };
    for (const QLabel *label : root->findChildren<QLabel *>()) {
        if (!visible(label) || label->text().isEmpty() || label->wordWrap())
            continue;
        // A label that ignores its size hint is laid out to take what is left; the text it
        // shows now must still fit.
        const bool ignoresHint = label->sizePolicy().horizontalPolicy() == QSizePolicy::Ignored;
        const int needed = ignoresHint ? label->fontMetrics().horizontalAdvance(label->text()) +
                                             2 * label->margin() + 2 * label->frameWidth()
                                       : label->sizeHint().width();
        if (label->width() < needed || label->height() < label->sizeHint().height())
            problems << QStringLiteral("%1 \"%2\": %3x%4, needs %5x%6")
                            .arg(describe(label), label->text())
                            .arg(label->width())
                            .arg(label->height())
                            .arg(needed)
                            .arg(label->sizeHint().height());
    }
    for (const QAbstractButton *button : root->findChildren<QAbstractButton *>()) {
        if (!visible(button) || button->text().isEmpty())
            continue;
        const QSize hint = button->sizeHint();
        if (button->width() < hint.width() || button->height() < hint.height())
            problems << QStringLiteral("%1 \"%2\": %3x%4, needs %5x%6")
                            .arg(describe(button), button->text())
                            .arg(button->width())
                            .arg(button->height())
                            .arg(hint.width())
                            .arg(hint.height());
    }
    for (const QLineEdit *edit : root->findChildren<QLineEdit *>()) {
        if (!visible(edit) || edit->echoMode() != QLineEdit::Normal)
            continue;
        const QString shown = edit->text().isEmpty() ? edit->placeholderText() : edit->text();
        if (shown.isEmpty())
            continue;
        // The size hint is room for 17 "x" plus the frame and margins around the text.
        const QFontMetrics fm = edit->fontMetrics();
        const int around = edit->sizeHint().width() - 17 * fm.horizontalAdvance(QLatin1Char('x'));
        const int needed = fm.horizontalAdvance(shown) + around;
        if (edit->width() < needed)
            problems << QStringLiteral("%1 \"%2\": %3 wide, needs %4")
                            .arg(describe(edit), shown)
                            .arg(edit->width())
                            .arg(needed);
    }
    for (const QHeaderView *header : root->findChildren<QHeaderView *>()) {
        if (!visible(header) || header->orientation() != Qt::Horizontal)
            continue;
        for (int i = 0; i < header->count(); ++i) {
            if (header->isSectionHidden(i))
                continue;
            const int needed = header->sectionSizeHint(i);
            if (header->sectionSize(i) < needed)
                problems << QStringLiteral("%1 section %2 \"%3\": %4 wide, needs %5")
                                .arg(describe(header))
                                .arg(i)
                                .arg(header->model()->headerData(i, Qt::Horizontal).toString())
                                .arg(header->sectionSize(i))
                                .arg(needed);
        }
    }
    return problems;
}

void fillWindow(MainWindow &window)
{
    const auto field = [&window](const char *name) {
        return window.findChild<QLineEdit *>(QLatin1String(name));
    };
    field("serverEdit")->setText(QStringLiteral("imaps://mail.example.org"));
    field("loginEdit")->setText(QStringLiteral("demo"));
    field("passwordEdit")->setText(QStringLiteral("correct horse"));
    field("subjectEdit")->setText(QStringLiteral("report"));
    results::ResultsModel *model =
        window.findChild<results::ResultsView *>(QStringLiteral("resultsView"))->resultsModel();
    for (const QList<search::Hit> &batch : demoResults())
        model->addHits(batch);
    window.findChild<QLabel *>(QStringLiteral("statusLabel"))
        ->setText(QStringLiteral("Search Complete. 12 matching emails found in 5 folders."));
}

QStringList demoFolders()
{
    return {QStringLiteral("INBOX"),
            QStringLiteral("Archive/2025"),
            QStringLiteral("Archive/2026"),
            QStringLiteral("Clients/Müller & Söhne"),
            QStringLiteral("Clients/Zürich"),
            QStringLiteral("Drafts"),
            QStringLiteral("Projects/Fernbrook"),
            QStringLiteral("Projects/Fernbrook/Field tests"),
            QStringLiteral("Projects/Lindenhof"),
            QStringLiteral("Sent"),
            QStringLiteral("Trash")};
}

void pickFolder(folders::FolderPicker &picker, const QString &key)
{
    auto *tree = picker.findChild<QTreeWidget *>(QStringLiteral("folderTree"));
    tree->expandAll();
    for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if ((*it)->data(0, Qt::UserRole).toString() == key) { // the node's display path
            tree->setCurrentItem(*it);
            return;
        }
    }
}

int grab(QWidget &widget, const QString &output)
{
    QApplication::processEvents();
    const QStringList problems = clippedTexts(&widget);
    for (const QString &problem : problems)
        std::fprintf(stderr, "cut short: %s\n", qPrintable(problem));
    const QPixmap picture = widget.grab();
    if (!picture.save(output, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
        return 2;
    }
    std::printf("%s: %dx%d\n", qPrintable(output), picture.width(), picture.height());
    return problems.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // A private configuration folder, so no settings of the user's are read or written, and the
    // offscreen platform, so the picture does not depend on the desktop it is made on.
    QTemporaryDir configHome;
    if (!configHome.isValid()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 2;
    }
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    // Nor the user's keyring: no session bus.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Fernquill"));
    QApplication::setOrganizationName(QStringLiteral("Fernquill"));
    QApplication::setApplicationVersion(QStringLiteral(FQ_VERSION));
    QApplication::setStyle(QStringLiteral("Fusion"));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));

    const QStringList args = QApplication::arguments();
    if (args.size() != 3 ||
        (args[1] != QLatin1String("window") && args[1] != QLatin1String("dialog"))) {
        std::fprintf(stderr, "usage: fernquill-screenshot window|dialog OUTPUT.png\n");
        return 2;
    }
    if (args[1] == QLatin1String("window")) {
        MainWindow window;
        window.resize(900, 700);
        // Shown first: the window lays out its grid, emptying it, when it is first shown.
        window.show();
        fillWindow(window);
        window.findChild<QPushButton *>(QStringLiteral("searchButton"))->setFocus();
        return grab(window, args[2]);
    }
    folders::FolderPicker picker(demoFolders());
    picker.show();
    pickFolder(picker, QStringLiteral("Projects/Fernbrook"));
    return grab(picker, args[2]);
}
