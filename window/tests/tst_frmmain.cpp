// SPDX-License-Identifier: MIT
// The window "Main" as a user meets it. The conversion itself is tested in
// convert/; here, that the window passes on what was typed or dropped,
// completes paths, reports failures, and shows all this to screen readers.

#include "failure_report.h"
#include "frmmain.h"
#include "ui_frmmain.h"

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
    void returnConvertsOnlyOnTheButton();
    void failureIsReportedThenAClickConvertsThePathsAsTyped();
    void unexpectedFailuresAreNumberedThree();
    void dropOnAPathBox_data();
    void dropOnAPathBox();
    void completionOffersTheFolderAndChangesOnlyWhatIsTaken();
    void everyTextIsWholeAtTheDesktopsFont();
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
    // The names offered by the list that completes a path; none while it is hidden.
    static QStringList offered() {
        QStringList names;
        for (QWidget* shown : QApplication::topLevelWidgets()) {
            auto* list = qobject_cast<QAbstractItemView*>(shown);
            for (int row = 0; list && list->isVisible() && row < list->model()->rowCount(); ++row) {
                names << list->model()->index(row, 0).data().toString();
            }
        }
        return names;
    }
    // The size of a control's text as shown: of the pixels that it changes.
    static QSize ink(QWidget* control) {
        const QString text = control->property("text").toString();
        const QImage with = control->grab().toImage();
        control->setProperty("text", QString());
        const QImage without = control->grab().toImage();
        control->setProperty("text", text);
        QRect changed;
        for (int at = 0; at < with.width() * with.height(); ++at) {
            const QPoint pixel(at % with.width(), at / with.width());
            if (with.pixel(pixel) != without.pixel(pixel)) {
                changed |= QRect(pixel, QSize(1, 1));
            }
        }
        return changed.size();
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

void tst_Frmmain::failureIsReportedThenAClickConvertsThePathsAsTyped() {
    const QString input = scratch(QStringLiteral(u"entrée 文字.txt"));
    const QString output = scratch(QStringLiteral(u"sortie ß.bin"));
    convert(input, output);

    // The system's reason is worded by the system; the file layer's tests check it.
    const QString start = "Velmora: Error 2: Cannot open \"" + input + "\" for reading: ";
    QCOMPARE(reports.size(), 2);
    QVERIFY2(reports[0].startsWith(start) && reports[0].size() > start.size(),
             qPrintable(reports[0]));
    QVERIFY(okAndPlain);
    // A screen reader hears an alert titled "Velmora" with the whole message.
    QCOMPARE(reports[1], "AlertMessage \"Velmora\": " + reports[0].mid(qstrlen("Velmora: ")));

    put(input, "48656C6C6F");
    convert("  " + input + " ", " " + output + "  ");
    QCOMPARE(reports.size(), 2);
    QCOMPARE(get(output), "Hello");
    QCOMPARE(box("txtOfile")->text(), " " + output + "  "); // the boxes keep what was typed
}

// Failures of the conversion carry their own numbers; anything else is failure 3.
void tst_Frmmain::unexpectedFailuresAreNumberedThree() {
    QCOMPARE(DescribeFailure(std::make_exception_ptr(std::bad_alloc())), "Error 3: Out of memory");
    QCOMPARE(DescribeFailure(std::make_exception_ptr(std::runtime_error("odd"))),
             "Error 3: Unexpected failure: odd");
    QCOMPARE(DescribeFailure(std::make_exception_ptr(42)), "Error 3: Unexpected failure");
}

// What each path box does with a drop; an empty expectation is a refused drop
// (the "no drop" cursor), after which the box holds its text as before.
void tst_Frmmain::dropOnAPathBox_data() {
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("urls");
    QTest::addColumn<QString>("text");
    QTest::addColumn<Qt::DropActions>("actions");
    QTest::addColumn<QString>("expected"); // %1: the text before
    const Qt::DropActions any = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    const auto row = [](const char* name, const QString& urls, const QString& text,
                        Qt::DropActions actions, const QString& expected) {
        for (const char* box : {"txtIfile", "txtOfile"}) {
            QTest::addRow("%s on %s", name, box)
                << QString(box) << urls << text << actions << expected;
        }
    };
#ifdef Q_OS_WIN
    const QString unixStyle = QStringLiteral("\\tmp\\w\\in put 文.txt"),
                  windows = "C:\\Users\\in put.txt";
    const QString localhost = "\\\\localhost\\tmp\\a", share = "\\\\server\\share\\a";
#else
    const QString unixStyle = QStringLiteral("/tmp/w/in put 文.txt"),
                  windows = "/C:/Users/in put.txt";
    const QString localhost = "/tmp/a", share; // another machine's file: none here
#endif
    // A file manager offers the URL as text too; the box takes the path.
    row("file", "file:///tmp/w/in%20put%20%E6%96%87.txt", "file:///tmp/w/in%20put%20%E6%96%87.txt",
        any, unixStyle);
    row("Explorer's file list", "file:///C:/Users/in%20put.txt", {}, any, windows);
    row("file on this machine by name", "file://localhost/tmp/a", {}, any, localhost);
    row("file on a share", "file://server/share/a", {}, any, share);
    // Never taken as a move: the file manager would remove the file.
    row("file that may only move", "file:///tmp/a", {}, Qt::MoveAction, {});
    row("remote URL", "https://example.com/in.txt", "https://example.com/in.txt", any, {});
    row("two files", "file:///tmp/a file:///tmp/b", {}, any, {});
    row("text alone, inserted", {}, "abc", any, "abc%1");
}

void tst_Frmmain::dropOnAPathBox() {
    QFETCH(QString, box);
    QFETCH(QString, urls);
    QFETCH(QString, text);
    QFETCH(Qt::DropActions, actions);
    QFETCH(QString, expected);
    QLineEdit* target = window->findChild<QLineEdit*>(box);
    const QString before = target->text();
    QMimeData offer;
    if (!urls.isEmpty()) {
        offer.setUrls(QUrl::fromStringList(urls.split(' ')));
    }
    if (!text.isNull()) {
        offer.setText(text);
    }
    const QPoint start(0, target->height() / 2); // the drop point for text
    // With Shift held, as file managers have it, a move is proposed.
    QDragEnterEvent enter(start, actions, &offer, Qt::LeftButton, Qt::ShiftModifier);
    QDropEvent drop(start, actions, &offer, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(target, &enter);
    QApplication::sendEvent(target, &drop);

    QCOMPARE(target->text(), expected.isEmpty() ? before : QString(expected).replace("%1", before));
    QCOMPARE(enter.isAccepted() && drop.isAccepted(), !expected.isEmpty());
    QVERIFY(urls.isEmpty() || expected.isEmpty() || drop.dropAction() == Qt::CopyAction);
    target->undo();
    QCOMPARE(target->text(), before); // replaced as if typed
}

// The folder is one the test makes; the popup is the one a user sees.
void tst_Frmmain::completionOffersTheFolderAndChangesOnlyWhatIsTaken() {
    for (const char* name : {"alpha.txt", "Beta.txt", ".alpha"}) {
        put(scratch(name), "41");
    }
    QVERIFY(QDir(folder->path()).mkdir("alpine"));
    QLineEdit* input = box("txtIfile");
    box("txtOfile")->setText(scratch("out.bin"));
    input->setFocus();
    input->clear();
    // No hidden name unless asked for; folders marked as such; in order whatever the case.
    QTest::keyClicks(input, folder->path() + "/");
    QTRY_COMPARE(offered(), QStringList({"alpha.txt", "alpine/", "Beta.txt"}));
    QTest::keyClicks(input, "al");
    QTRY_COMPARE(offered(), QStringList({"alpha.txt", "alpine/"}));
    QTest::keyClick(input, Qt::Key_Down);
    QTest::keyClick(input, Qt::Key_Escape);
    QTest::qWait(300); // the folder read again meanwhile does not open it again
    QVERIFY(offered().isEmpty());
    QCOMPARE(input->text(), folder->path() + "/al"); // highlighting changed nothing

    // Tab or Return takes the highlighted name; with none, Return closes the list, Tab moves on.
    for (const bool highlighted : {true, false}) {
        for (const auto key : {Qt::Key_Return, Qt::Key_Tab}) {
            input->setText(folder->path() + "/al");
            QTest::keyClicks(input, "p");
            QTRY_COMPARE(offered().size(), 2);
            if (highlighted) {
                QTest::keyClick(input, Qt::Key_Down);
            }
            QTest::keyClick(input, key);
            QVERIFY(offered().isEmpty());
            QCOMPARE(input->text(), folder->path() + (highlighted ? "/alpha.txt" : "/alp"));
        }
    }
    QCOMPARE(QApplication::focusWidget(), box("txtOfile"));
    QVERIFY(!QFile::exists(scratch("out.bin"))); // and nothing was converted

    // Relative text names no folder the user can see: nothing is offered.
    const QString home = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder->path()));
    QTest::keyClicks(box("txtOfile"), "./al");
    QTest::qWait(300);
    QVERIFY(offered().isEmpty());
    QDir::setCurrent(home);

    // Of 1,001 names that match, the first 1,000.
    for (int number = 1000; number <= 2000; ++number) {
        put(scratch("n" + QString::number(number)), "");
    }
    input->setFocus();
    input->setText(folder->path() + "/");
    QTest::keyClicks(input, "n");
    QTRY_COMPARE(offered().size(), 1000);
    QCOMPARE(offered().back(), "n1999");
}

// A larger font makes the whole window larger, each edge in proportion to
// within a pixel, so that every text is whole; at the desktop's own font, or
// a smaller one, it stays as its description lays it out.
void tst_Frmmain::everyTextIsWholeAtTheDesktopsFont() {
    const QFont desktop = QApplication::font();
    const auto restore = qScopeGuard([&] { QApplication::setFont(desktop); });
    QWidget described;
    Ui::Frmmain().setupUi(&described);
    // At 12 points, of fixed width too: FILE CONVERT then needs more room than a label.
    QFont font = desktop;
    for (const qreal points : {desktop.pointSizeF(), 6.0, 9.0, 10.0, 11.0, 16.0, 12.0}) {
        font.setFamily(points == 12 ? QStringLiteral("DejaVu Sans Mono") : desktop.family());
        font.setPointSizeF(points);
        QApplication::setFont(font);
        Frmmain grown;
        const double factor = grown.width() / double(described.width());
        QVERIFY(factor == 1 || (factor > 1 && points > desktop.pointSizeF()));
        QVERIFY(qAbs(grown.height() - described.height() * factor) <= 1);
        for (const QWidget* laidOut : described.findChildren<QWidget*>()) {
            QWidget* control = grown.findChild<QWidget*>(laidOut->objectName());
            const QRectF expected(QPointF(laidOut->pos()) * factor,
                                  QSizeF(laidOut->size()) * factor);
            QVERIFY2(QRectF(control->geometry()).marginsAdded({1, 1, 1, 1}).contains(expected) &&
                         expected.marginsAdded({1, 1, 1, 1}).contains(control->geometry()),
                     qPrintable(laidOut->objectName()));
            if (!control->isHidden()) {
                const QSize seen = ink(control);
                // Room for any text, which moves by whole pixels at any scale in quarters.
                control->resize(control->size() + QSize(200, 200));
                QVERIFY2(ink(control) == seen, qPrintable(control->property("text").toString()));
            }
        }
    }
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
