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

#include <memory>
#include <new>
#include <stdexcept>

Q_DECLARE_METATYPE(std::exception_ptr)

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// What a message box showed before it was dismissed.
struct SeenMessageBox {
    int count = 0;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    bool modal = false;
};

// Watches for modal message boxes while a click runs its handler, records
// what each shows and presses OK, so that the click can return.
class MessageBoxWatcher {
  public:
    MessageBoxWatcher() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) {
                return;
            }
            ++seen_.count;
            seen_.title = box->windowTitle();
            seen_.text = box->text();
            seen_.buttons = box->standardButtons();
            seen_.modal = box->isModal();
            if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
                ok->click();
            } else {
                box->reject();
            }
        });
        timer_.start(10);
    }
    [[nodiscard]] const SeenMessageBox& seen() const { return seen_; }

  private:
    QTimer timer_;
    SeenMessageBox seen_;
};

} // namespace

class tst_Frmmain : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();

    void controls_data();
    void controls();
    void windowIsFixedWithCloseBoxOnly();
    void focusStartsOnConvertAndTabCycles();
    void returnInAPathBoxConvertsNothing();
    void returnOnFocusedConvertConverts();
    void clickConvertsTheNamedFiles_data();
    void clickConvertsTheNamedFiles();
    void failureIsReportedAndWindowStaysUsable_data();
    void failureIsReportedAndWindowStaysUsable();
    void unexpectedFailuresAreDescribed_data();
    void unexpectedFailuresAreDescribed();

  private:
    template <typename T> T* control(const char* name) {
        auto* widget = window->findChild<T*>(QString::fromLatin1(name));
        if (widget == nullptr) {
            qFatal("no control %s", name);
        }
        return widget;
    }
    QString scratch(const QString& name) const { return folder->filePath(name); }
    void clickConvert() { QTest::mouseClick(control<QPushButton>("Cmdgo"), Qt::LeftButton); }

    std::unique_ptr<Frmmain> window;
    std::unique_ptr<QTemporaryDir> folder;
};

void tst_Frmmain::init() {
    folder = std::make_unique<QTemporaryDir>();
    QVERIFY(folder->isValid());
    window = std::make_unique<Frmmain>();
    window->show();
    QApplication::setActiveWindow(window.get());
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
}

void tst_Frmmain::cleanup() {
    window.reset();
    folder.reset();
}

void tst_Frmmain::controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<bool>("visible");

    // clang-format off
    QTest::newRow("INPUT")    << "INPUT"    << "INPUT"        << QRect(8, 24, 49, 17)   << true;
    QTest::newRow("txtIfile") << "txtIfile" << "C:\\in.txt"   << QRect(64, 24, 241, 19) << true;
    QTest::newRow("Label1")   << "Label1"   << "OUTPUT"       << QRect(8, 56, 49, 17)   << true;
    QTest::newRow("txtOfile") << "txtOfile" << "C:\\ok.txt"   << QRect(64, 56, 241, 19) << true;
    QTest::newRow("Text1")    << "Text1"    << "2F41"         << QRect(32, 96, 81, 25)  << false;
    QTest::newRow("Command1") << "Command1" << "Testing"      << QRect(128, 88, 57, 33) << false;
    QTest::newRow("Cmdgo")    << "Cmdgo"    << "FILE CONVERT" << QRect(208, 88, 89, 33) << true;
    // clang-format on
}

void tst_Frmmain::controls() {
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QRect, geometry);
    QFETCH(bool, visible);

    auto* widget = window->findChild<QWidget*>(name);
    QVERIFY(widget != nullptr);
    QCOMPARE(widget->property("text").toString(), text);
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->isVisible(), visible);
    if (!visible) {
        QCOMPARE(widget->focusPolicy(), Qt::NoFocus);
    }
}

void tst_Frmmain::windowIsFixedWithCloseBoxOnly() {
    QCOMPARE(window->windowTitle(), QStringLiteral("Main"));
    QCOMPARE(window->size(), QSize(312, 136));
    QCOMPARE(window->minimumSize(), QSize(312, 136));
    QCOMPARE(window->maximumSize(), QSize(312, 136));

    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(flags.testFlag(Qt::WindowTitleHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));

    window->resize(600, 400);
    QCOMPARE(window->size(), QSize(312, 136));
}

void tst_Frmmain::focusStartsOnConvertAndTabCycles() {
    QCOMPARE(QApplication::focusWidget(), control<QWidget>("Cmdgo"));
    for (const char* next : {"txtIfile", "txtOfile", "Cmdgo", "txtIfile"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(next));
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Cmdgo"));
}

void tst_Frmmain::returnInAPathBoxConvertsNothing() {
    WriteAll(scratch("in.txt"), "41");
    control<QLineEdit>("txtIfile")->setText(scratch("in.txt"));
    control<QLineEdit>("txtOfile")->setText(scratch("ok.txt"));

    for (const char* box : {"txtIfile", "txtOfile"}) {
        QTest::keyClick(control<QLineEdit>(box), Qt::Key_Return);
        QTest::keyClick(control<QLineEdit>(box), Qt::Key_Enter);
    }
    QVERIFY(!QFile::exists(scratch("ok.txt")));
}

void tst_Frmmain::returnOnFocusedConvertConverts() {
    WriteAll(scratch("in.txt"), "41");
    control<QLineEdit>("txtIfile")->setText(scratch("in.txt"));
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        const QString output = scratch(QString::number(key));
        control<QLineEdit>("txtOfile")->setText(output);
        QTest::keyClick(control<QPushButton>("Cmdgo"), key);
        QCOMPARE(ReadAll(output), QByteArray("A"));
    }
}

void tst_Frmmain::clickConvertsTheNamedFiles_data() {
    QTest::addColumn<QString>("inputName");
    QTest::addColumn<QString>("outputName");
    QTest::addColumn<QString>("padding");

    QTest::newRow("plain") << "in.txt"
                           << "ok.txt"
                           << "";
    QTest::newRow("spaces around are trimmed") << "in.txt"
                                               << "ok.txt"
                                               << "  ";
    QTest::newRow("every typed character kept")
        << QStringLiteral(u"entrée 文字.txt") << QStringLiteral(u"sortie ß.bin") << "";
    QTest::newRow("same file") << "both.txt"
                               << "both.txt"
                               << " ";
}

void tst_Frmmain::clickConvertsTheNamedFiles() {
    QFETCH(QString, inputName);
    QFETCH(QString, outputName);
    QFETCH(QString, padding);

    WriteAll(scratch(inputName), "48656C6C6F\r\n");
    const QString inputText = padding + scratch(inputName) + padding;
    const QString outputText = padding + scratch(outputName) + padding;
    control<QLineEdit>("txtIfile")->setText(inputText);
    control<QLineEdit>("txtOfile")->setText(outputText);

    const MessageBoxWatcher watcher;
    clickConvert();

    QCOMPARE(watcher.seen().count, 0);
    QCOMPARE(ReadAll(scratch(outputName)), QByteArray("Hello\0", 6));
    QCOMPARE(control<QLineEdit>("txtIfile")->text(), inputText);
    QCOMPARE(control<QLineEdit>("txtOfile")->text(), outputText);
}

void tst_Frmmain::failureIsReportedAndWindowStaysUsable_data() {
    QTest::addColumn<QByteArray>("input"); // null: no input file
    QTest::addColumn<bool>("outputIsFolder");
    QTest::addColumn<QString>("expectedStart"); // <in>, <out>: the paths

    QTest::newRow("missing input")
        << QByteArray() << false << "Error 2: Cannot open \"<in>\" for reading: ";
    QTest::newRow("overlong input") << QByteArray(32768, 'A') << false << "Error 1: Overflow";
    QTest::newRow("output is a folder")
        << QByteArray("41") << true << "Error 2: Cannot open \"<out>\" for writing: it is a folder";
}

void tst_Frmmain::failureIsReportedAndWindowStaysUsable() {
    QFETCH(QByteArray, input);
    QFETCH(bool, outputIsFolder);
    QFETCH(QString, expectedStart);

    const QString inputPath = scratch("in.txt");
    const QString outputPath = scratch("ok.txt");
    if (!input.isNull()) {
        WriteAll(inputPath, input);
    }
    if (outputIsFolder) {
        QVERIFY(QDir(folder->path()).mkdir("ok.txt"));
    } else {
        WriteAll(outputPath, "keep me");
    }
    control<QLineEdit>("txtIfile")->setText(inputPath);
    control<QLineEdit>("txtOfile")->setText(outputPath);

    const MessageBoxWatcher watcher;
    clickConvert();

    QCOMPARE(watcher.seen().count, 1);
    QCOMPARE(watcher.seen().title, QStringLiteral("Velmora"));
    expectedStart.replace("<in>", inputPath).replace("<out>", outputPath);
    QVERIFY2(watcher.seen().text.startsWith(expectedStart), qPrintable(watcher.seen().text));
    QCOMPARE(watcher.seen().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(watcher.seen().modal);

    // Nothing lost, nothing changed, and ready for another try.
    QVERIFY(window->isVisible());
    QCOMPARE(control<QLineEdit>("txtIfile")->text(), inputPath);
    QCOMPARE(control<QLineEdit>("txtOfile")->text(), outputPath);
    if (!outputIsFolder) {
        QCOMPARE(ReadAll(outputPath), QByteArray("keep me"));
    }
    WriteAll(inputPath, "4F4B");
    control<QLineEdit>("txtOfile")->setText(scratch("second.txt"));
    clickConvert();
    QCOMPARE(ReadAll(scratch("second.txt")), QByteArray("OK"));
    QCOMPARE(watcher.seen().count, 1);
}

void tst_Frmmain::unexpectedFailuresAreDescribed_data() {
    QTest::addColumn<std::exception_ptr>("failure");
    QTest::addColumn<QString>("expected");

    QTest::newRow("out of memory")
        << std::make_exception_ptr(std::bad_alloc()) << "Error 3: Out of memory";
    QTest::newRow("standard exception") << std::make_exception_ptr(std::runtime_error("broken"))
                                        << "Error 3: Unexpected failure: broken";
    QTest::newRow("anything else") << std::make_exception_ptr(42) << "Error 3: Unexpected failure";
}

void tst_Frmmain::unexpectedFailuresAreDescribed() {
    QFETCH(std::exception_ptr, failure);
    QFETCH(QString, expected);
    QCOMPARE(DescribeFailure(failure), expected);
}

QTEST_MAIN(tst_Frmmain)
#include "tst_frmmain.moc"
