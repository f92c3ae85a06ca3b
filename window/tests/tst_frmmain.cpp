// SPDX-License-Identifier: MIT
// The window "Main" as a user meets it. The conversion itself is tested in
// convert/; here, that the window passes on what was typed, reports
// failures, and shows both to screen readers.

#include "failure_report.h"
#include "frmmain.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>
#include <new>
#include <stdexcept>

class tst_Frmmain : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void fixedWindowWithOnlyThePathsAndTheButtonReachable();
    void clickConvertsThePathsAsTyped();
    void returnConvertsOnlyOnTheButton();
    void failureIsReportedAndTheWindowStaysUsable();
    void unexpectedFailuresAreNumberedThree();
    void screenReadersSeeAWindowNamedMainAndItsControls();

  private:
    QLineEdit* box(const char* name) { return window->findChild<QLineEdit*>(name); }
    QString scratch(const QString& name) const { return folder->filePath(name); }
    static void put(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    static QByteArray get(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : "<unreadable>";
    }
    static QString spoken(const QAccessibleInterface* item) {
        const char* role = QMetaEnum::fromType<QAccessible::Role>().valueToKey(item->role());
        return QStringLiteral("%1 \"%2\"").arg(role, item->text(QAccessible::Name));
    }
    // Types the paths, clicks FILE CONVERT, and answers a box that holds up the click.
    void convert(const QString& input, const QString& output) {
        box("txtIfile")->setText(input);
        box("txtOfile")->setText(output);
        QTimer::singleShot(0, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                reports << box->windowTitle() + ": " + box->text();
                const QAccessibleInterface* heard = QAccessible::queryAccessibleInterface(box);
                reports << spoken(heard) + ": " + heard->text(QAccessible::Value);
                // OK only, and plain text: a "<br>" in a path is no markup.
                okAndPlain =
                    box->standardButtons() == QMessageBox::Ok && box->textFormat() == Qt::PlainText;
                box->done(QMessageBox::Ok);
            }
        });
        QTest::mouseClick(window->findChild<QPushButton*>("Cmdgo"), Qt::LeftButton);
        QCoreApplication::processEvents(); // a box that did not wait is gone by now
    }

    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<Frmmain> window;
    QStringList reports; // "title: text" of each message box
    bool okAndPlain = false;
};

void tst_Frmmain::init() {
    folder = std::make_unique<QTemporaryDir>();
    window = std::make_unique<Frmmain>();
    reports.clear();
    okAndPlain = false;
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
}

void tst_Frmmain::fixedWindowWithOnlyThePathsAndTheButtonReachable() {
    QVERIFY(!box("Text1")->isVisible() && !window->findChild<QWidget*>("Command1")->isVisible());
    QCOMPARE(QApplication::focusWidget()->objectName(), "Cmdgo");
    for (const char* next : {"txtIfile", "txtOfile", "Cmdgo"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), next);
    }
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint) && flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(!(flags & (Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint)));
    const QSize size = window->size();
    window->resize(size * 2);
    QCOMPARE(window->size(), size);
}

void tst_Frmmain::clickConvertsThePathsAsTyped() {
    const QString input = scratch(QStringLiteral(u"entrée 文字.txt"));
    const QString output = scratch(QStringLiteral(u"sortie ß.bin"));
    put(input, "48656C6C6F");

    convert("  " + input + " ", " " + output + "  ");

    QVERIFY(reports.isEmpty());
    QCOMPARE(get(output), "Hello");
    QCOMPARE(box("txtIfile")->text(), "  " + input + " "); // the boxes keep what was typed
    QCOMPARE(box("txtOfile")->text(), " " + output + "  ");
}

// Return or Enter presses the focused FILE CONVERT, as on Windows; no default button.
void tst_Frmmain::returnConvertsOnlyOnTheButton() {
    put(scratch("in.txt"), "41");
    box("txtIfile")->setText(scratch("in.txt"));
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        const QString output = scratch(QString::number(key));
        box("txtOfile")->setText(output);
        QTest::keyClick(box("txtOfile"), key);
        QVERIFY(!QFile::exists(output));
        QTest::keyClick(window->findChild<QPushButton*>("Cmdgo"), key);
        QCOMPARE(get(output), "A");
    }
}

void tst_Frmmain::failureIsReportedAndTheWindowStaysUsable() {
    const QString input = scratch("in.txt");
    convert(input, scratch("ok.txt"));

    // The system's reason is worded by the system; the file layer's tests check it.
    const QString start = "Velmora: Error 2: Cannot open \"" + input + "\" for reading: ";
    QCOMPARE(reports.size(), 2);
    QVERIFY2(reports[0].startsWith(start) && reports[0].size() > start.size(),
             qPrintable(reports[0]));
    QVERIFY(okAndPlain);
    // A screen reader hears an alert titled "Velmora" with the whole message.
    QCOMPARE(reports[1], "AlertMessage \"Velmora\": " + reports[0].mid(qstrlen("Velmora: ")));

    put(input, "4F4B");
    convert(input, scratch("ok.txt"));
    QCOMPARE(reports.size(), 2);
    QCOMPARE(get(scratch("ok.txt")), "OK");
}

// Failures of the conversion carry their own numbers; anything else is failure 3.
void tst_Frmmain::unexpectedFailuresAreNumberedThree() {
    QCOMPARE(DescribeFailure(std::make_exception_ptr(std::bad_alloc())), "Error 3: Out of memory");
    QCOMPARE(DescribeFailure(std::make_exception_ptr(std::runtime_error("odd"))),
             "Error 3: Unexpected failure: odd");
    QCOMPARE(DescribeFailure(std::make_exception_ptr(42)), "Error 3: Unexpected failure");
}

void tst_Frmmain::screenReadersSeeAWindowNamedMainAndItsControls() {
    QAccessibleInterface* main = QAccessible::queryAccessibleInterface(window.get());
    QVERIFY(QAccessible::queryAccessibleInterface(qApp)->indexOfChild(main) >= 0);
    QStringList seen{spoken(main)};
    for (int i = 0; i < main->childCount(); ++i) {
        if (!main->child(i)->state().invisible) {
            seen << spoken(main->child(i));
        }
    }
    QCOMPARE(seen, QStringList({R"(Window "Main")", R"(StaticText "INPUT")",
                                R"(EditableText "INPUT")", R"(StaticText "OUTPUT")",
                                R"(EditableText "OUTPUT")", R"(Button "FILE CONVERT")"}));
}

QTEST_MAIN(tst_Frmmain)
#include "tst_frmmain.moc"
