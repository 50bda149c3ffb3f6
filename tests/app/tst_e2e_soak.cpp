// 500 consecutive searches in one window against the private Dovecot: every one finds the same,
// resident memory after the last is within 10% of what it was after the 50th, and no file
// descriptor is left open. (bench_soak_searches is the same soak as a program that prints its
// figures; scripts/soak.sh runs it.)
//
// Under AddressSanitizer freed memory is held back on purpose, so resident memory says nothing
// about leaks there (the leak checker does); that build runs a shorter soak and checks the
// descriptors only.

#include "app/form1.h"
#include "results/resultsmodel.h"
#include "support/dovecotfixture.h"
#include "support/formdriver.h"

#include "support/processstats.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#if defined(__SANITIZE_ADDRESS__)
#define FQ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FQ_ASAN 1
#endif
#endif

namespace {

#ifdef FQ_ASAN
constexpr int kSearches = 60;
constexpr int kEarly = 20;
#else
constexpr int kSearches = 500;
constexpr int kEarly = 50;
#endif

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private slots:
    void initTestCase() { testsupport::usePrivateConfig(m_config.path()); }

    void consecutiveSearches()
    {
        const testsupport::DovecotFixture fx =
            testsupport::DovecotFixture::load(QStringLiteral("maildir"));
        QVERIFY2(fx.isValid(), "the Dovecot fixture is not running (run through ctest)");
        Form1 form;
        form.show();
        form.txtServer->setText(fx.address());
        form.txtLogin->setText(QStringLiteral("demo"));
        form.txtPassword->setText(QStringLiteral("demo"));
        // Some dozens of hits spread over most folders.
        form.txtSubjectSearch->setText(QStringLiteral("in"));

        QString first;
        qint64 earlyKb = 0;
        int earlyFds = 0;
        for (int i = 1; i <= kSearches; ++i) {
            form.cmdSearch_Click();
            // What the window does between two clicks: deferred deletions, repaints.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCoreApplication::processEvents();
            if (i == 1) {
                first = form.lblStatus->text();
                QVERIFY2(first.startsWith(QStringLiteral("Search Complete. ")), qPrintable(first));
                QVERIFY(form.resultsModel()->hitCount() >= 24);
            }
            QCOMPARE(form.lblStatus->text(), first);
            if (i == kEarly) {
                earlyKb = testsupport::residentKb();
                earlyFds = testsupport::openDescriptors();
            }
        }
        const qint64 lastKb = testsupport::residentKb();
        const int lastFds = testsupport::openDescriptors();
        qInfo("%d searches: resident %lld kB after %d, %lld kB after %d; descriptors %d and %d",
              kSearches, static_cast<long long>(earlyKb), kEarly, static_cast<long long>(lastKb),
              kSearches, earlyFds, lastFds);
        QCOMPARE(lastFds, earlyFds);
#ifndef FQ_ASAN
        QVERIFY(earlyKb > 0);
        QVERIFY2(lastKb * 10 <= earlyKb * 11,
                 qPrintable(QStringLiteral("grew from %1 to %2 kB").arg(earlyKb).arg(lastKb)));
#endif
    }
};

QTEST_MAIN(TestSoak)
#include "tst_e2e_soak.moc"
