// SPDX-License-Identifier: MIT
#include "frmmain.h"

#include "failure_report.h"
#include "grow_to_font.h"
#include "path_completion.h"
#include "path_drops.h"
#include "ui_frmmain.h"
#include "velmora/convert_file.h"

#include <QAccessibleWidget>
#include <QKeyEvent>

#include <exception>
#include <filesystem>

namespace {

// A path with every character that was typed: UTF-16 goes to the wide path
// on Windows unchanged, and becomes UTF-8 elsewhere.
std::filesystem::path PathFromText(const QString& text) {
    return std::filesystem::path(text.toStdU16String());
}

// Presses the push button it watches on Return or Enter, as Space does: what
// a focused push button does on Windows. Only keys sent to the button itself
// count, so it is still no default button.
class PressOnReturn : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) {
                static_cast<QAbstractButton*>(watched)->click();
                return true;
            }
        }
        return false;
    }
};

// The window as screen readers should see it: a window named by its title.
// Qt describes a plain top-level widget as a "filler" (Client), which they do
// not announce as a window. Qt's accessibility cache owns what this returns.
QAccessibleInterface* DescribeWindow(const QString& className, QObject* object) {
    if (className == QLatin1String(Frmmain::staticMetaObject.className()) &&
        object->isWidgetType()) {
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    }
    return nullptr;
}

} // namespace

Frmmain::Frmmain(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::Frmmain>()) {
    // Once for the program: Qt keeps every factory it is given.
    static const bool described = (QAccessible::installFactory(DescribeWindow), true);
    (void)described;
    ui->setupUi(this);
    // Every text whole at the desktop's font, however large.
    GrowToFont(this);
    // A fixed window: a title with close box and system menu, but no minimize
    // or maximize box, and on Windows a thin border with no sizing frame.
    // Flags cannot be set in the description itself.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    ui->Cmdgo->setFocus(); // first in the tab order
    connect(ui->Cmdgo, &QPushButton::clicked, this, &Frmmain::Convert);
    // Return or Enter presses FILE CONVERT while it has focus.
    ui->Cmdgo->installEventFilter(new PressOnReturn(ui->Cmdgo));
    // The path boxes take a dropped file and complete typed paths; nothing
    // else takes drops.
    for (QLineEdit* box : {ui->txtIfile, ui->txtOfile}) {
        TakeDroppedFiles(box);
        new PathCompletion(box);
    }
}

Frmmain::~Frmmain() = default;

void Frmmain::Convert() {
    try {
        velmora::ConvertFile(PathFromText(ui->txtIfile->text()),
                             PathFromText(ui->txtOfile->text()));
    } catch (...) {
        ReportFailure(this, std::current_exception());
    }
}
