// The window "Main" as a user meets it: what can be reached, what a click
// does, and how a failure is reported. The conversion itself is tested in
// convert/; here only that the window passes on what was typed and reports
// what comes back.

#include "failure_report.h"
#include "frmmain.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class tst_Frmmain : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void fixedWindowWithOnlyThePathsAndTheButtonReachable();
    void clickConvertsThePathsAsTyped();
    void failureIsReportedAndTheWindowStaysUsable();
    void unexpectedFailuresAreNumberedThree();

  private:
    template <typename T = QLineEdit> T* control(const char* name) {
        return window->findChild<T*>(QString::fromLatin1(name));
    }
    // Converts with the texts typed into the two boxes. A message box it
    // shows is recorded, as long as it is modal, and answered with OK.
    void convert(const QString& input, const QString& output) {
        control("txtIfile")->setText(input);
        control("txtOfile")->setText(output);
        QTimer::singleShot(0, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                reports << box->windowTitle() + ": " + box->text();
                buttons = box->standardButtons();
                box->done(QMessageBox::Ok);
            }
        });
        QTest::mouseClick(control<QPushButton>("Cmdgo"), Qt::LeftButton);
        QCoreApplication::processEvents(); // a box that did not wait is gone by now
    }
    QString scratch(const QString& name) const { return folder->filePath(name); }

    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<Frmmain> window;
    QStringList reports; // "title: text" of each message box
    QMessageBox::StandardButtons buttons;
};

void tst_Frmmain::init() {
    folder = std::make_unique<QTemporaryDir>();
    window = std::make_unique<Frmmain>();
    reports.clear();
    window->show();
    QApplication::setActiveWindow(window.get());
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
}

void tst_Frmmain::fixedWindowWithOnlyThePathsAndTheButtonReachable() {
    QVERIFY(!control("Text1")->isVisible() && !control<QPushButton>("Command1")->isVisible());
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Cmdgo"));
    for (const char* next : {"txtIfile", "txtOfile", "Cmdgo"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(next));
    }
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint) && flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint) &&
            !flags.testFlag(Qt::WindowMinimizeButtonHint));
    const QSize size = window->size();
    window->resize(size * 2);
    QCOMPARE(window->size(), size);
}

void tst_Frmmain::clickConvertsThePathsAsTyped() {
    const QString input = scratch(QStringLiteral(u"entrée 文字.txt"));
    const QString output = scratch(QStringLiteral(u"sortie ß.bin"));
    WriteAll(input, "48656C6C6F");

    convert("  " + input + " ", " " + output + "  ");

    QVERIFY(reports.isEmpty());
    QCOMPARE(ReadAll(output), QByteArray("Hello"));
    QCOMPARE(control("txtIfile")->text(), "  " + input + " "); // the boxes keep what was typed
    QCOMPARE(control("txtOfile")->text(), " " + output + "  ");
}

void tst_Frmmain::failureIsReportedAndTheWindowStaysUsable() {
    const QString input = scratch("in.txt");
    convert(input, scratch("ok.txt"));

    const std::string reason = std::generic_category().message(ENOENT);
    QCOMPARE(reports,
             QStringList(QStringLiteral("Velmora: Error 2: Cannot open \"%1\" for reading: %2")
                             .arg(input, QString::fromStdString(reason))));
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));

    WriteAll(input, "4F4B");
    convert(input, scratch("ok.txt"));
    QCOMPARE(reports.size(), 1);
    QCOMPARE(ReadAll(scratch("ok.txt")), QByteArray("OK"));
}

// What the converter raises carries its own number (see the failure above);
// anything else is reported as failure 3.
void tst_Frmmain::unexpectedFailuresAreNumberedThree() {
    const std::pair<std::exception_ptr, QString> cases[] = {
        {std::make_exception_ptr(std::bad_alloc()), "Error 3: Out of memory"},
        {std::make_exception_ptr(std::runtime_error("odd")), "Error 3: Unexpected failure: odd"},
        {std::make_exception_ptr(42), "Error 3: Unexpected failure"},
    };
    for (const auto& [failure, message] : cases) {
        QCOMPARE(DescribeFailure(failure), message);
    }
}

QTEST_MAIN(tst_Frmmain)
#include "tst_frmmain.moc"
