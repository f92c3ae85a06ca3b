#include "frmmain.h"

#include "failure_report.h"
#include "ui_frmmain.h"
#include "velmora/convert_file.h"

#include <exception>
#include <filesystem>

namespace {

// A path with every character that was typed: UTF-16 goes to the wide path
// on Windows unchanged, and becomes UTF-8 elsewhere.
std::filesystem::path PathFromText(const QString& text) {
    return std::filesystem::path(text.toStdU16String());
}

} // namespace

Frmmain::Frmmain(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::Frmmain>()) {
    ui->setupUi(this);
    // A fixed window: a title with close box and system menu, but no minimize
    // or maximize box. Flags cannot be set in the description itself.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    ui->Cmdgo->setFocus(); // first in the tab order
    connect(ui->Cmdgo, &QPushButton::clicked, this, &Frmmain::Convert);
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
